// src/common/py.cpp: the Python interop every corvane module shares.
#include "common/py.hpp"

#include <map>
#include <string>

namespace corvane::py {

nb::handle module(const char* name) {
    // Held with a strong reference that is never released: C++ static destructors may run after
    // the interpreter has been finalised, and modules live as long as the process anyway.
    static auto* cache = new std::map<std::string, PyObject*>();
    auto it = cache->find(name);
    if (it != cache->end()) {
        return it->second;
    }
    nb::object mod = nb::module_::import_(name);
    PyObject* raw = mod.release().ptr();
    cache->emplace(name, raw);
    return raw;
}

nb::object attr(const char* module_name, const char* attr_name) {
    return module(module_name).attr(attr_name);
}

void print(std::string_view text, bool flush) {
    attr("builtins", "print")(nb::str(text.data(), text.size()), nb::arg("flush") = flush);
}

void flush_stdout() {
    attr("sys", "stdout").attr("flush")();
}

nb::object path(nb::handle value) {
    return attr("pathlib", "Path")(value);
}

std::string str(nb::handle value) {
    nb::str text(value);
    Py_ssize_t size = 0;
    // Text that UTF-8 cannot hold (lone surrogates) raises the interpreter's UnicodeEncodeError.
    const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
    if (data == nullptr) {
        throw nb::python_error();
    }
    return std::string(data, static_cast<size_t>(size));
}

std::optional<std::string> getenv(const char* name) {
    nb::object value = attr("os", "environ").attr("get")(name);
    if (value.is_none()) {
        return std::nullopt;
    }
    return str(value);
}

void setenv(const char* name, std::string_view value) {
    attr("os", "environ")[name] = nb::str(value.data(), value.size());
}

void unsetenv(const char* name) {
    attr("os", "environ").attr("pop")(name, nb::none());
}

bool truthy(nb::handle value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) {
        throw nb::python_error();
    }
    return result != 0;
}

nb::object steal_checked(PyObject* result) {
    if (result == nullptr) {
        throw nb::python_error();
    }
    return nb::steal(result);
}

std::vector<nb::object> unpack(nb::handle value, size_t count) {
    // Only a type that cannot iterate at all gets the unpacking text (named by its bare type
    // name); a TypeError raised by its own __iter__ passes unchanged, as in Python.
    PyTypeObject* type = Py_TYPE(value.ptr());
    if (type->tp_iter == nullptr && !PySequence_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %s object", type->tp_name);
        throw nb::python_error();
    }
    nb::object items = steal_checked(PyObject_GetIter(value.ptr()));
    std::vector<nb::object> targets;
    targets.reserve(count);
    while (targets.size() < count) {
        nb::object item = nb::steal(PyIter_Next(items.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred() == nullptr) {
                PyErr_Format(PyExc_ValueError,
                             "not enough values to unpack (expected %zu, got %zu)", count,
                             targets.size());
            }
            throw nb::python_error();
        }
        targets.push_back(std::move(item));
    }
    nb::object extra = nb::steal(PyIter_Next(items.ptr()));
    if (extra.is_valid()) {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zu)", count);
    }
    if (PyErr_Occurred() != nullptr) {
        throw nb::python_error();
    }
    return targets;
}

bool isinstance(nb::handle value, const char* module_name, const char* attr_name) {
    return nb::isinstance(value, attr(module_name, attr_name));
}

}  // namespace corvane::py

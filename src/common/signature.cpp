// src/common/signature.cpp: real inspect.signature() for functions and classes bound in C++.
//
// The wrapper is a plain CPython heap type (like the coroutine bridge's) made on first use; it
// is not added to any module, so stubs and `dir()` never show it. Slot functions are thin
// shims; errors are Python errors throughout.
#include "common/signature.hpp"

#include <cstring>
#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::sig {

namespace {

struct SignedObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    PyObject* function;   // the wrapped callable
    PyObject* signature;  // inspect.Signature, built on first use
};

SignedObject* as_signed(PyObject* self) {
    return reinterpret_cast<SignedObject*>(self);
}

PyObject* forward(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return PyObject_Vectorcall(as_signed(self)->function, args, nargsf, kwnames);
}

/// `inspect.Parameter` for one argument node of the parsed signature text.
nb::object parameter(nb::handle arg, nb::handle kind, nb::handle default_node,
                     nb::handle defaults) {
    nb::object Parameter = py::attr("inspect", "Parameter");
    nb::dict options;
    nb::object annotation = arg.attr("annotation");
    if (!annotation.is_none()) {
        options["annotation"] = py::attr("ast", "unparse")(annotation);
    }
    if (default_node.is_valid() && !default_node.is_none()) {
        // nanobind writes a default it cannot spell as \N, taken from its defaults tuple.
        nb::object name = nb::getattr(default_node, "id", nb::none());
        if (!name.is_none() && py::str(name).rfind("_nb_default_", 0) == 0) {
            const long index = std::stol(py::str(name).substr(std::strlen("_nb_default_")));
            options["default"] = defaults[index];
        } else {
            options["default"] = py::attr("ast", "literal_eval")(default_node);
        }
    }
    return Parameter(arg.attr("arg"), kind, **options);
}

/// The signature nanobind's text gives `function`, or None (overloads, no text).
nb::object build_signature(nb::handle function) {
    nb::object overloads = nb::getattr(function, "__nb_signature__", nb::none());
    if (overloads.is_none() || nb::len(overloads) != 1) {
        return nb::none();
    }
    nb::object entry = overloads[0];
    nb::object text = entry[0];
    nb::object defaults = entry[2];
    // The text may carry decorator lines; the definition is its last line.
    std::string definition = py::str(text.attr("rsplit")("\n", 1)[-1]);
    nb::str pattern(R"(\\(\d+))"), replacement("_nb_default_\\1");
    nb::str program((definition + ": ...").c_str());
    nb::object source = py::attr("re", "sub")(pattern, replacement, program);
    nb::object node = py::attr("ast", "parse")(source).attr("body")[0];
    nb::object args = node.attr("args");
    nb::object Parameter = py::attr("inspect", "Parameter");
    nb::list parameters;

    nb::list positional = nb::list(args.attr("posonlyargs"));
    const std::size_t posonly = nb::len(positional);
    for (nb::handle arg : args.attr("args")) {
        positional.append(arg);
    }
    nb::object positional_defaults = args.attr("defaults");
    const std::size_t first_default = nb::len(positional) - nb::len(positional_defaults);
    for (std::size_t i = 0; i < nb::len(positional); ++i) {
        nb::object kind = Parameter.attr(i < posonly ? "POSITIONAL_ONLY" : "POSITIONAL_OR_KEYWORD");
        nb::object default_node =
            i >= first_default ? nb::object(positional_defaults[i - first_default]) : nb::none();
        parameters.append(parameter(positional[i], kind, default_node, defaults));
    }
    nb::object vararg = args.attr("vararg");
    if (!vararg.is_none()) {
        parameters.append(
            parameter(vararg, Parameter.attr("VAR_POSITIONAL"), nb::none(), defaults));
    }
    nb::object keyword_defaults = args.attr("kw_defaults");
    nb::object keywords = args.attr("kwonlyargs");
    for (std::size_t i = 0; i < nb::len(keywords); ++i) {
        parameters.append(
            parameter(keywords[i], Parameter.attr("KEYWORD_ONLY"), keyword_defaults[i], defaults));
    }
    nb::object kwarg = args.attr("kwarg");
    if (!kwarg.is_none()) {
        parameters.append(parameter(kwarg, Parameter.attr("VAR_KEYWORD"), nb::none(), defaults));
    }
    nb::object returns = node.attr("returns");
    nb::dict options;
    if (!returns.is_none()) {
        options["return_annotation"] = py::attr("ast", "unparse")(returns);
    }
    return py::attr("inspect", "Signature")(parameters, **options);
}

PyObject* get_signature(PyObject* self, void*) {
    try {
        SignedObject* wrapper = as_signed(self);
        if (wrapper->signature == nullptr) {
            wrapper->signature = build_signature(wrapper->function).release().ptr();
        }
        return Py_NewRef(wrapper->signature);
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    }
    return nullptr;
}

PyObject* getattro(PyObject* self, PyObject* name) {
    // The wrapped function's names and text, so help(), pydoc and tracebacks read as before.
    for (const char* forwarded : {"__name__", "__qualname__", "__doc__", "__module__"}) {
        if (PyUnicode_CompareWithASCIIString(name, forwarded) == 0) {
            return PyObject_GetAttr(as_signed(self)->function, name);
        }
    }
    return PyObject_GenericGetAttr(self, name);
}

PyObject* descr_get(PyObject* self, PyObject* instance, PyObject*) {
    if (instance == nullptr || instance == Py_None) {
        return Py_NewRef(self);
    }
    return PyMethod_New(self, instance);
}

PyObject* repr(PyObject* self) {
    PyObject* qualname = PyObject_GetAttrString(as_signed(self)->function, "__qualname__");
    if (qualname == nullptr) {
        return nullptr;
    }
    PyObject* text = PyUnicode_FromFormat("<function %U>", qualname);
    Py_DECREF(qualname);
    return text;
}

int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(as_signed(self)->function);
    Py_VISIT(as_signed(self)->signature);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject* self) {
    Py_CLEAR(as_signed(self)->function);
    Py_CLEAR(as_signed(self)->signature);
    return 0;
}

void dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    clear(self);
    PyObject_GC_Del(self);
    Py_DECREF(type);
}

PyMemberDef members[] = {{"__vectorcalloffset__", Py_T_PYSSIZET, offsetof(SignedObject, vectorcall),
                          Py_READONLY, nullptr},
                         {"__wrapped__", Py_T_OBJECT_EX, offsetof(SignedObject, function),
                          Py_READONLY, "The function bound in C++."},
                         {nullptr, 0, 0, 0, nullptr}};

PyGetSetDef getset[] = {{"__signature__", get_signature, nullptr,
                         "inspect.Signature of the wrapped function.", nullptr},
                        {nullptr, nullptr, nullptr, nullptr, nullptr}};

PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
                       {Py_tp_getattro, reinterpret_cast<void*>(getattro)},
                       {Py_tp_descr_get, reinterpret_cast<void*>(descr_get)},
                       {Py_tp_repr, reinterpret_cast<void*>(repr)},
                       {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
                       {Py_tp_clear, reinterpret_cast<void*>(clear)},
                       {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
                       {Py_tp_members, members},
                       {Py_tp_getset, getset},
                       {0, nullptr}};

PyType_Spec type_spec = {"corvane._SignedFunction", sizeof(SignedObject), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                             Py_TPFLAGS_METHOD_DESCRIPTOR | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                         slots};

/// The wrapper type of this module, made on first use and kept for the process's life.
PyTypeObject* signed_type() {
    static PyTypeObject* type = nullptr;
    if (type == nullptr) {
        type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&type_spec));
        if (type == nullptr) {
            throw nb::python_error();
        }
    }
    return type;
}

/// A nanobind function or method object (not a bound method, property or class).
bool is_nanobind_function(nb::handle value) {
    PyTypeObject* type = Py_TYPE(value.ptr());
    return std::strcmp(type->tp_name, "nanobind.nb_func") == 0 ||
           std::strcmp(type->tp_name, "nanobind.nb_method") == 0;
}

}  // namespace

nb::object signed_function(nb::handle function) {
    SignedObject* self = PyObject_GC_New(SignedObject, signed_type());
    if (self == nullptr) {
        throw nb::python_error();
    }
    self->vectorcall = forward;
    self->function = Py_NewRef(function.ptr());
    self->signature = nullptr;
    PyObject_GC_Track(self);
    return nb::steal(reinterpret_cast<PyObject*>(self));
}

void sign_class(nb::handle cls) {
    // A copy: members are replaced while they are walked.
    nb::dict members = nb::borrow<nb::dict>(py::attr("builtins", "dict")(cls.attr("__dict__")));
    for (auto [key, value] : members) {
        const std::string name = py::str(key);
        if (name.empty() || name[0] == '_') {
            continue;
        }
        if (is_nanobind_function(value)) {
            cls.attr(key) = signed_function(value);
        } else if (nb::isinstance(value, py::attr("builtins", "classmethod")) ||
                   nb::isinstance(value, py::attr("builtins", "staticmethod"))) {
            nb::object inner = value.attr("__func__");
            if (is_nanobind_function(inner)) {
                cls.attr(key) = nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(value.ptr())))(
                    signed_function(inner));
            }
        }
    }
    nb::object init = nb::getattr(cls, "__init__", nb::none());
    if (is_nanobind_function(init)) {
        nb::object signature = build_signature(init);
        if (!signature.is_none()) {
            // inspect.signature(cls) describes the call of the class: without `self`.
            nb::list rest;
            bool first = true;
            for (nb::handle parameter : signature.attr("parameters").attr("values")()) {
                if (!first) {
                    rest.append(parameter);
                }
                first = false;
            }
            cls.attr("__signature__") = signature.attr("replace")(
                nb::arg("parameters") = rest,
                nb::arg("return_annotation") = py::attr("inspect", "Signature").attr("empty"));
        }
    }
}

void declare_attributes(nb::handle cls,
                        std::initializer_list<std::pair<const char*, const char*>> attributes) {
    nb::dict annotations;
    for (const auto& [name, type] : attributes) {
        annotations[name] = type;
    }
    cls.attr("__annotations__") = annotations;
}

}  // namespace corvane::sig

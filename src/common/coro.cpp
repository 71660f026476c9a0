// src/common/coro.cpp: the Python coroutine type that drives C++20 coroutine frames.
//
// The type is a plain CPython heap type rather than a nanobind class: every module compiles
// this file and registers its own `_CppCoroutine`, and nanobind's shared type registry would
// merge those registrations across modules. Slot functions are thin shims; the logic works on
// RAII objects and reports errors as C++ exceptions, which the shims turn back into Python
// errors.
#include "common/coro.hpp"

#include "common/errors.hpp"

#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <typeinfo>

namespace corvane::coro {

namespace {

/// The type object of this module's `_CppCoroutine`, set by register_type.
PyTypeObject* coroutine_type = nullptr;

struct CoroObject {
    PyObject_HEAD Coroutine::handle_type frame;  // null once finished, failed, closed or cleared
    PyObject* name;
    PyObject* qualname;
    bool started;
    bool running;
};

CoroObject* as_coro(PyObject* self) {
    return reinterpret_cast<CoroObject*>(self);
}

/// Destroy the frame (locals release what they hold); safe against re-entry from destructors.
void destroy_frame(CoroObject* self) {
    if (auto frame = std::exchange(self->frame, {})) {
        frame.destroy();
    }
}

/// Turn an exception that left a C++ body into the matching Python error indicator.
void restore_exception(std::exception_ptr failure) {
    try {
        std::rethrow_exception(failure);
    } catch (nb::python_error& error) {
        error.restore();
    } catch (const nb::builtin_exception& error) {
        PyObject* type = PyExc_RuntimeError;
        switch (error.type()) {
            case nb::exception_type::stop_iteration:
                type = PyExc_StopIteration;
                break;
            case nb::exception_type::index_error:
                type = PyExc_IndexError;
                break;
            case nb::exception_type::key_error:
                type = PyExc_KeyError;
                break;
            case nb::exception_type::value_error:
                type = PyExc_ValueError;
                break;
            case nb::exception_type::type_error:
                type = PyExc_TypeError;
                break;
            case nb::exception_type::buffer_error:
                type = PyExc_BufferError;
                break;
            case nb::exception_type::import_error:
                type = PyExc_ImportError;
                break;
            case nb::exception_type::attribute_error:
                type = PyExc_AttributeError;
                break;
            default:
                break;
        }
        PyErr_SetString(type, error.what());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::bad_cast& error) {  // nb::cast of a value of the wrong type
        PyErr_SetString(PyExc_TypeError, error.what());
    } catch (const std::invalid_argument& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::domain_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::length_error& error) {
        PyErr_SetString(PyExc_ValueError, error.what());
    } catch (const std::out_of_range& error) {
        PyErr_SetString(PyExc_IndexError, error.what());
    } catch (const std::overflow_error& error) {
        PyErr_SetString(PyExc_OverflowError, error.what());
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_RuntimeError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception left a coroutine");
    }
}

/// What one step of the coroutine produced.
struct Step {
    enum Kind { yielded, returned } kind;
    nb::object value;
};

/// Resume the frame until it suspends at a co_await or finishes.
Step run_frame(CoroObject* self) {
    Promise& promise = self->frame.promise();
    self->running = true;
    self->frame.resume();
    self->running = false;
    if (!self->frame.done()) {
        return {Step::yielded, std::move(promise.yielded)};
    }
    std::exception_ptr failure = std::move(promise.failure);
    nb::object result = std::move(promise.result);
    destroy_frame(self);
    if (failure) {
        restore_exception(failure);
        if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
            // A StopIteration leaving the body would read as a normal return to the driver
            // (cocotb would call a failed engine finished); Python turns it into RuntimeError.
            PyObject* stop = PyErr_GetRaisedException();
            PyErr_SetString(PyExc_RuntimeError, "coroutine raised StopIteration");
            PyObject* error = PyErr_GetRaisedException();
            PyException_SetCause(error, Py_NewRef(stop));
            PyException_SetContext(error, stop);
            PyErr_SetRaisedException(error);
        }
        throw nb::python_error();
    }
    return {Step::returned, result.is_valid() ? result : nb::none()};
}

/// The error indicator as an exception for the pending co_await of the frame.
void fail_await(CoroObject* self) {
    self->frame.promise().error.emplace();
}

void check_not_running(CoroObject* self) {
    if (self->running) {
        raise(PyExc_ValueError, "coroutine already executing");
    }
}

Step send(CoroObject* self, nb::handle value) {
    check_not_running(self);
    if (!self->frame) {
        raise(PyExc_RuntimeError, "cannot reuse already awaited coroutine");
    }
    if (!self->started) {
        if (!value.is_none()) {
            raise(PyExc_TypeError, "can't send non-None value to a just-started coroutine");
        }
        self->started = true;
        return run_frame(self);
    }
    Promise& promise = self->frame.promise();
    PyObject* raw = nullptr;
    self->running = true;
    PySendResult status = PyIter_Send(promise.inner.ptr(), value.ptr(), &raw);
    if (status == PYGEN_NEXT) {
        self->running = false;
        return {Step::yielded, nb::steal(raw)};
    }
    if (status == PYGEN_RETURN) {
        promise.sent = nb::steal(raw);
    } else {
        fail_await(self);
    }
    // Released while still marked running, as Python's await does: a finalizer of the finished
    // iterator that reaches back for this coroutine is refused instead of tearing the frame down
    // under our feet.
    promise.inner.reset();
    self->running = false;
    return run_frame(self);
}

/// Throw `exception` (an instance) in at the current co_await, like `yield from` does.
Step throw_in(CoroObject* self, nb::handle exception) {
    check_not_running(self);
    if (!self->frame || !self->started) {
        // Like a Python coroutine: an unstarted one is closed by the throw and raises it.
        destroy_frame(self);
        raise_instance(exception);
    }
    Promise& promise = self->frame.promise();
    nb::object inner = std::move(promise.inner);
    self->running = true;
    if (PyErr_GivenExceptionMatches(exception.ptr(), PyExc_GeneratorExit)) {
        // The inner iterator is closed, then GeneratorExit is raised at the co_await.
        PyObject* close = nullptr;
        int found = PyObject_GetOptionalAttrString(inner.ptr(), "close", &close);
        nb::object closer = nb::steal(close);
        bool failed = found < 0 || (found > 0 && !nb::steal(PyObject_CallNoArgs(close)).is_valid());
        if (!failed) {
            PyErr_SetObject(PyExc_GeneratorExit, exception.ptr());
        }
        fail_await(self);
        // Released while still marked running, like the finished iterator in send().
        closer.reset();
        inner.reset();
        self->running = false;
        return run_frame(self);
    }
    PyObject* thrower = nullptr;
    int found = PyObject_GetOptionalAttrString(inner.ptr(), "throw", &thrower);
    nb::object method = nb::steal(thrower);
    if (found == 0) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exception.ptr())), exception.ptr());
    }
    nb::object value =
        found > 0 ? nb::steal(PyObject_CallOneArg(thrower, exception.ptr())) : nb::object();
    method.reset();
    if (value.is_valid()) {
        promise.inner = std::move(inner);
        self->running = false;
        return {Step::yielded, std::move(value)};
    }
    if (PyErr_ExceptionMatches(PyExc_StopIteration)) {
        nb::object stop = nb::steal(PyErr_GetRaisedException());
        promise.sent = stop.attr("value");
    } else {
        fail_await(self);
    }
    inner.reset();
    self->running = false;
    return run_frame(self);
}

/// Normalise the arguments of throw(type[, value[, traceback]]) to an exception instance.
nb::object make_exception(nb::handle type, nb::handle value, nb::handle traceback) {
    nb::object exception;
    if (PyExceptionInstance_Check(type.ptr())) {
        if (value.is_valid() && !value.is_none()) {
            raise(PyExc_TypeError, "instance exception may not have a separate value");
        }
        exception = nb::borrow(type);
    } else if (PyExceptionClass_Check(type.ptr())) {
        if (!value.is_valid() || value.is_none()) {
            exception = type();
        } else if (PyObject_IsInstance(value.ptr(), type.ptr()) == 1) {
            exception = nb::borrow(value);
        } else if (PyTuple_Check(value.ptr())) {
            exception = type(*value);
        } else {
            exception = type(value);
        }
    } else {
        raise(PyExc_TypeError,
              "exceptions must be classes or instances deriving from BaseException");
    }
    if (traceback.is_valid() && !traceback.is_none()) {
        if (!PyTraceBack_Check(traceback.ptr())) {
            raise(PyExc_TypeError, "throw() third argument must be a traceback object");
        }
        PyException_SetTraceback(exception.ptr(), traceback.ptr());
    }
    return exception;
}

/// close(): GeneratorExit in; returns the co_return value or None.
nb::object close(CoroObject* self) {
    check_not_running(self);
    if (!self->frame || !self->started) {
        destroy_frame(self);
        return nb::none();
    }
    nb::object exit = nb::steal(PyObject_CallNoArgs(PyExc_GeneratorExit));
    try {
        Step step = throw_in(self, exit);
        if (step.kind == Step::returned) {
            return step.value;
        }
    } catch (nb::python_error& error) {
        if (error.matches(PyExc_GeneratorExit)) {
            return nb::none();
        }
        throw;
    }
    destroy_frame(self);
    raise(PyExc_RuntimeError, "coroutine ignored GeneratorExit");
}

/// StopIteration(value) as the error indicator, whatever the value's type (a tuple stays one).
void set_stop_iteration(nb::handle value) {
    PyObject* stop = PyObject_CallOneArg(PyExc_StopIteration, value.ptr());
    if (stop != nullptr) {
        PyErr_SetObject(PyExc_StopIteration, stop);
        Py_DECREF(stop);
    }
}

/// Run `body` and turn a C++ exception into the Python error indicator (returns null then).
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        restore_exception(std::current_exception());
        return nullptr;
    }
}

PyObject* step_to_python(Step step) {
    if (step.kind == Step::yielded) {
        return step.value.release().ptr();
    }
    set_stop_iteration(step.value);
    return nullptr;
}

// ---- slots and methods --------------------------------------------------------------------

PyObject* coro_send(PyObject* self, PyObject* value) {
    return guarded([&] { return step_to_python(send(as_coro(self), value)); });
}

PyObject* coro_throw(PyObject* self, PyObject* const* args, Py_ssize_t nargs) {
    if (nargs < 1 || nargs > 3) {
        PyErr_SetString(PyExc_TypeError, "throw expected at least 1 argument and at most 3");
        return nullptr;
    }
    return guarded([&] {
        nb::object exception =
            make_exception(args[0], nargs > 1 ? args[1] : nullptr, nargs > 2 ? args[2] : nullptr);
        return step_to_python(throw_in(as_coro(self), exception));
    });
}

PyObject* coro_close(PyObject* self, PyObject*) {
    return guarded([&] { return close(as_coro(self)).release().ptr(); });
}

PyObject* coro_iternext(PyObject* self) {
    return guarded([&]() -> PyObject* {
        Step step = send(as_coro(self), Py_None);
        if (step.kind == Step::returned && step.value.is_none()) {
            return nullptr;  // plain StopIteration, as tp_iternext allows
        }
        return step_to_python(std::move(step));
    });
}

PySendResult coro_am_send(PyObject* self, PyObject* value, PyObject** result) {
    try {
        Step step = send(as_coro(self), value);
        *result = step.value.release().ptr();
        return step.kind == Step::yielded ? PYGEN_NEXT : PYGEN_RETURN;
    } catch (...) {
        restore_exception(std::current_exception());
        *result = nullptr;
        return PYGEN_ERROR;
    }
}

PyObject* coro_self(PyObject* self) {
    return Py_NewRef(self);
}

PyObject* coro_repr(PyObject* self) {
    return PyUnicode_FromFormat("<_CppCoroutine object %U at %p>", as_coro(self)->qualname, self);
}

int coro_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    CoroObject* coro = as_coro(self);
    Py_VISIT(coro->name);
    Py_VISIT(coro->qualname);
    if (coro->frame) {
        Promise& promise = coro->frame.promise();
        Py_VISIT(promise.inner.ptr());
        Py_VISIT(promise.yielded.ptr());
        Py_VISIT(promise.sent.ptr());
        Py_VISIT(promise.result.ptr());
        for (const nb::object* root : promise.roots) {
            Py_VISIT(root->ptr());
        }
    }
    return 0;
}

int coro_clear(PyObject* self) {
    CoroObject* coro = as_coro(self);
    if (!coro->running) {
        destroy_frame(coro);
    }
    return 0;
}

void coro_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    CoroObject* coro = as_coro(self);
    destroy_frame(coro);
    Py_CLEAR(coro->name);
    Py_CLEAR(coro->qualname);
    std::destroy_at(&coro->frame);
    type->tp_free(self);
    Py_DECREF(type);
}

PyMethodDef coro_methods[] = {
    {"send", coro_send, METH_O, "send(value) -> the next yielded value, or StopIteration."},
    {"throw", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(coro_throw)),
     METH_FASTCALL, "throw(value) -> raise an exception at the current await."},
    {"close", coro_close, METH_NOARGS, "close() -> raise GeneratorExit at the current await."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot coro_slots[] = {
    {Py_tp_dealloc, reinterpret_cast<void*>(coro_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(coro_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(coro_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(coro_clear)},
    {Py_tp_iter, reinterpret_cast<void*>(coro_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(coro_iternext)},
    {Py_am_await, reinterpret_cast<void*>(coro_self)},
    {Py_am_send, reinterpret_cast<void*>(coro_am_send)},
    {Py_tp_methods, coro_methods},
    {Py_tp_doc, const_cast<char*>("A C++ coroutine, driven like a Python coroutine.")},
    {0, nullptr},
};

/// The awaitable's iterator, as `yield from` / `await` would pick it.
nb::object awaitable_iterator(nb::handle awaitable) {
    if (PyGen_Check(awaitable.ptr()) || PyCoro_CheckExact(awaitable.ptr())) {
        return nb::borrow(awaitable);
    }
    PyAsyncMethods* async = Py_TYPE(awaitable.ptr())->tp_as_async;
    if (async == nullptr || async->am_await == nullptr) {
        PyErr_Format(PyExc_TypeError, "'%s' object can't be awaited",
                     Py_TYPE(awaitable.ptr())->tp_name);
        throw nb::python_error();
    }
    nb::object iterator = nb::steal(async->am_await(awaitable.ptr()));
    if (!iterator.is_valid()) {
        throw nb::python_error();
    }
    if (!PyIter_Check(iterator.ptr())) {
        PyErr_Format(PyExc_TypeError, "__await__() returned non-iterator of type '%s'",
                     Py_TYPE(iterator.ptr())->tp_name);
        throw nb::python_error();
    }
    return iterator;
}

}  // namespace

bool Promise::Awaiter::await_ready() {
    nb::object iterator = awaitable_iterator(awaitable);
    awaitable.reset();  // only the iterator stays referenced, as after Python's GET_AWAITABLE
    PyObject* raw = nullptr;
    PySendResult status = PyIter_Send(iterator.ptr(), Py_None, &raw);
    if (status == PYGEN_ERROR) {
        throw nb::python_error();
    }
    if (status == PYGEN_RETURN) {
        promise.sent = nb::steal(raw);
        return true;
    }
    promise.inner = std::move(iterator);
    promise.yielded = nb::steal(raw);
    return false;
}

nb::object Promise::Awaiter::await_resume() {
    if (promise.error) {
        nb::python_error error = std::move(*promise.error);
        promise.error.reset();
        throw error;
    }
    return std::move(promise.sent);
}

namespace {

/// The coroutine object behind `self`, for the read-only attributes.
CoroObject* checked(nb::handle self) {
    if (coroutine_type == nullptr || !PyObject_TypeCheck(self.ptr(), coroutine_type)) {
        raise(PyExc_TypeError, "descriptor requires a '_CppCoroutine' object");
    }
    return as_coro(self.ptr());
}

/// Read-only attributes as typed properties (so stubs name their types), placed in the type's
/// dictionary directly: `__name__` set through the type itself would rename the type.
void add_properties(nb::handle type) {
    nb::object property = nb::module_::import_("builtins").attr("property");
    nb::object dict = nb::steal(PyType_GetDict(reinterpret_cast<PyTypeObject*>(type.ptr())));
    auto add = [&](const char* name, nb::object getter) {
        if (PyDict_SetItemString(dict.ptr(), name, property(getter).ptr()) != 0) {
            throw nb::python_error();
        }
    };
    add("__name__",
        nb::cpp_function([](nb::handle self) { return nb::borrow(checked(self)->name); },
                         nb::is_method(), nb::sig("def __name__(self) -> str")));
    add("__qualname__",
        nb::cpp_function([](nb::handle self) { return nb::borrow(checked(self)->qualname); },
                         nb::is_method(), nb::sig("def __qualname__(self) -> str")));
    add("cr_running", nb::cpp_function([](nb::handle self) { return checked(self)->running; },
                                       nb::is_method(), nb::sig("def cr_running(self) -> bool"),
                                       "True while the coroutine is executing."));
    add("cr_await", nb::cpp_function(
                        [](nb::handle self) -> nb::object {
                            CoroObject* coro = checked(self);
                            if (!coro->frame || !coro->frame.promise().inner.is_valid()) {
                                return nb::none();
                            }
                            return coro->frame.promise().inner;
                        },
                        nb::is_method(), nb::sig("def cr_await(self) -> typing.Any"),
                        "The iterator the coroutine is suspended on, or None."));
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type.ptr()));
}

}  // namespace

void register_type(nb::module_& module) {
    // The type's name must outlive the type; one module registers one type.
    static std::string type_name;
    type_name = std::string(nb::str(module.attr("__name__")).c_str()) + "._CppCoroutine";
    static PyType_Spec type_spec = {
        type_name.c_str(), sizeof(CoroObject), 0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION, coro_slots};
    type_spec.name = type_name.c_str();
    nb::object type = nb::steal(PyType_FromModuleAndSpec(module.ptr(), &type_spec, nullptr));
    if (!type.is_valid()) {
        throw nb::python_error();
    }
    coroutine_type = reinterpret_cast<PyTypeObject*>(type.ptr());
    add_properties(type);
    module.attr("_CppCoroutine") = type;
    // The module keeps the type alive; this pointer only borrows it.
}

nb::object to_python(Coroutine&& coroutine, const char* qualname) {
    if (coroutine_type == nullptr) {
        raise(PyExc_SystemError, "corvane::coro::register_type was not called");
    }
    Coroutine::handle_type frame = coroutine.release();
    CoroObject* self = PyObject_GC_New(CoroObject, coroutine_type);
    if (self == nullptr) {
        frame.destroy();
        throw nb::python_error();
    }
    new (&self->frame) Coroutine::handle_type(frame);
    std::string_view full(qualname);
    std::string_view last =
        full.substr(full.rfind('.') == std::string_view::npos ? 0 : full.rfind('.') + 1);
    self->name = PyUnicode_FromStringAndSize(last.data(), static_cast<Py_ssize_t>(last.size()));
    self->qualname = PyUnicode_FromString(qualname);
    self->started = false;
    self->running = false;
    nb::object result = nb::steal(reinterpret_cast<PyObject*>(self));
    if (self->name == nullptr || self->qualname == nullptr) {
        throw nb::python_error();
    }
    PyObject_GC_Track(self);
    return result;
}

}  // namespace corvane::coro

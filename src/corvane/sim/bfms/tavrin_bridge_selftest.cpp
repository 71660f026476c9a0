// src/corvane/sim/bfms/tavrin_bridge_selftest.cpp: small C++ coroutines that exercise the bridge.
//
// They are bound under private names so host tests can drive the coroutine bridge without a
// simulator: values and exceptions both ways, cleanup on cancel, chains through Python.
#include "tavrin_bridge_selftest.hpp"

#include "common/coro.hpp"
#include "common/errors.hpp"

#include <stdexcept>
#include <string>
#include <utility>

#include <nanobind/stl/string.h>

namespace corvane::tavrin {

namespace {

using coro::Coroutine;

/// Calls `callback()` when destroyed: shows whether a frame released its locals.
struct OnDestroy {
    nb::object callback;
    ~OnDestroy() {
        if (callback.is_valid() && !callback.is_none()) {
            // A destructor must not throw; a failing probe is reported as unraisable.
            PyObject* result = PyObject_CallNoArgs(callback.ptr());
            if (result == nullptr) {
                PyErr_WriteUnraisable(callback.ptr());
            }
            Py_XDECREF(result);
        }
    }
};

/// Awaits `factory()` `count` times and returns the sum of the results.
Coroutine await_sum(nb::object factory, long count, nb::object on_destroy) {
    OnDestroy probe{std::move(on_destroy)};
    nb::object total = nb::int_(0);
    for (long i = 0; i < count; ++i) {
        nb::object value = co_await factory();
        total = total + value;
    }
    co_return total;
}

/// Awaits `factory()` `count` times; every exception raised at an await is caught and recorded,
/// so cancellation and GeneratorExit are ignored on purpose. Returns the caught exceptions.
Coroutine await_catching(nb::object factory, long count) {
    nb::list caught;
    for (long i = 0; i < count; ++i) {
        try {
            co_await factory();
        } catch (nb::python_error& error) {
            caught.append(error.value());
        }
    }
    co_return caught;
}

/// Awaits `awaitable`, then raises `exception` (when not None) or returns the await's value.
Coroutine await_then_raise(nb::object awaitable, nb::object exception) {
    nb::object value = co_await awaitable;
    if (!exception.is_none()) {
        raise_instance(exception);
    }
    co_return value;
}

/// Fails with a plain C++ exception of the given kind before its first await.
Coroutine fail_cpp(std::string kind) {
    if (kind == "value") {
        throw nb::value_error("value from C++");
    }
    if (kind == "runtime") {
        throw std::runtime_error("runtime from C++");
    }
    if (kind == "range") {
        throw std::out_of_range("range from C++");
    }
    co_return nb::none();
}

}  // namespace

void bind_bridge_selftest(nb::module_& m) {
    m.def(
        "_bridge_selftest_sum",
        [](nb::object factory, long count, nb::object on_destroy) {
            return coro::to_python(await_sum(std::move(factory), count, std::move(on_destroy)),
                                   "_bridge_selftest.await_sum");
        },
        nb::arg("factory"), nb::arg("count"), nb::arg("on_destroy") = nb::none(),
        "Coroutine: await factory() count times and return the sum of the results.");
    m.def(
        "_bridge_selftest_catching",
        [](nb::object factory, long count) {
            return coro::to_python(await_catching(std::move(factory), count),
                                   "_bridge_selftest.await_catching");
        },
        nb::arg("factory"), nb::arg("count"),
        "Coroutine: await factory() count times, swallowing and collecting every exception.");
    m.def(
        "_bridge_selftest_raise",
        [](nb::object awaitable, nb::object exception) {
            return coro::to_python(await_then_raise(std::move(awaitable), std::move(exception)),
                                   "_bridge_selftest.await_then_raise");
        },
        nb::arg("awaitable"), nb::arg("exception") = nb::none(),
        "Coroutine: await awaitable, then raise exception or return the awaited value.");
    m.def(
        "_bridge_selftest_fail",
        [](std::string kind) {
            return coro::to_python(fail_cpp(std::move(kind)), "_bridge_selftest.fail_cpp");
        },
        nb::arg("kind"), "Coroutine that throws a C++ exception ('value', 'runtime', 'range').");
}

}  // namespace corvane::tavrin

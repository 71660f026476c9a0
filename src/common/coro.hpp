// src/common/coro.hpp: C++20 coroutines that Python and cocotb drive as ordinary coroutines.
//
// Contract
// --------
// A function returning `corvane::coro::Coroutine` is a C++20 coroutine. Wrapped with
// `to_python`, it becomes an object of the module's private type `_CppCoroutine` that satisfies
// `collections.abc.Coroutine` (send, throw, close, __await__, plus __iter__/__next__), so
// `cocotb.start_soon(obj)`, `await obj` and `Task(obj)` all accept it.
//
// * `co_await x` (x an nb::handle/nb::object) behaves exactly like `yield from x.__await__()`
//   (a generator object is used as is): what the inner iterator yields (cocotb triggers) goes
//   out unchanged, what is sent in goes down (None -> next(), else .send), an exception thrown
//   in goes into the inner iterator's throw(); GeneratorExit closes the inner iterator. The
//   value of the co_await is the inner iterator's StopIteration value, an nb::object. An
//   exception leaving the inner iterator is raised at the co_await as nb::python_error.
//   An awaitable that finishes without yielding (cocotb's Queue.put on an unbounded queue,
//   ClockCycles(clk, 0)) never suspends the C++ frame.
// * `co_return v;` finishes with StopIteration(v) (nanobind object; `co_return nb::none();` for
//   nothing). Falling off the end of the body is undefined: always co_return.
// * A C++ exception leaving the body is raised in Python: nb::python_error as the Python
//   exception it carries, nb::value_error & co. as their types, other std exceptions as
//   RuntimeError (std::invalid_argument/domain_error/length_error ValueError, out_of_range
//   IndexError, overflow_error OverflowError, bad_alloc MemoryError, a failed nb::cast
//   TypeError). A StopIteration leaving
//   the body becomes RuntimeError("coroutine raised StopIteration"), as in Python, so that a
//   failure never reads as a normal return.
// * cocotb cancels with throw(CancelledError), also before the first send. Let the
//   nb::python_error propagate (or rethrow it): the frame unwinds, RAII releases what it holds,
//   the frame is destroyed and the exception leaves throw(). Catch-all handlers must rethrow.
// * The frame is destroyed as soon as the coroutine finishes, fails, is cancelled, closed,
//   cleared by the garbage collector or deallocated; nothing outlives it.
// * close() throws GeneratorExit in; if the body keeps running into another co_await, the frame
//   is destroyed and RuntimeError("coroutine ignored GeneratorExit") is raised.
// * Re-entering a running coroutine raises ValueError("coroutine already executing"); sending to
//   a finished one RuntimeError("cannot reuse already awaited coroutine").
// * Hidden references: temporaries of a co_await expression live in the frame until the
//   expression ends, and locals are invisible to the cyclic GC. An rvalue nb::object given to
//   co_await is moved from, and the awaitable itself is dropped once its iterator exists (as
//   Python's await does). `co_await obj.attr("m")(args)` is a vectorcall method call that keeps
//   no bound method; but an accessor chain `obj.attr("a").attr("m")()` keeps `obj.a` alive in
//   the frame while suspended, which matters only if `obj.a` refers back to the coroutine.
// * Parameters: take Python objects by value (nb::object or a subclass), never nb::handle or a
//   reference: the caller's arguments are gone once the wrapper returns. Parameters of type
//   nb::object (and subclasses) are visible to the cyclic garbage collector, so a cycle
//   model -> task -> coroutine -> frame -> model is collectable; locals are not traversed.
// * Everything runs with the GIL held, in cocotb's scheduler thread.
//
// Example
// -------
//     corvane::coro::Coroutine count_beats(nb::object sink, long n) {
//         long total = 0;
//         for (long i = 0; i < n; ++i) {
//             nb::object beat = co_await sink.attr("recv_beat")();
//             total += nb::cast<long>(beat.attr("data"));
//         }
//         co_return nb::int_(total);
//     }
//     NB_MODULE(mod, m) {
//         corvane::coro::register_type(m);  // once per module, before any to_python
//         m.def("count_beats", [](nb::object sink, long n) {
//             return corvane::coro::to_python(count_beats(std::move(sink), n), "count_beats");
//         });
//     }
#pragma once

#include <nanobind/nanobind.h>

#include <coroutine>
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::coro {

namespace nb = nanobind;

class Coroutine;

/// Promise of a corvane coroutine: the state shared by the C++ frame and its Python driver.
struct Promise {
    template <class... Args>
    explicit Promise(Args&... args) {
        (collect(args), ...);
    }
    Promise() = default;

    Coroutine get_return_object() noexcept;
    std::suspend_always initial_suspend() noexcept { return {}; }
    std::suspend_always final_suspend() noexcept { return {}; }
    void return_value(nb::handle value) { result = nb::borrow(value); }
    void unhandled_exception() noexcept { failure = std::current_exception(); }

    /// The awaiter of `co_await awaitable`: runs the inner iterator's first step at once.
    struct Awaiter {
        Promise& promise;
        nb::object awaitable;
        bool await_ready();
        void await_suspend(std::coroutine_handle<>) noexcept {}
        nb::object await_resume();
    };
    template <class T>
    Awaiter await_transform(T&& awaitable) {
        using U = std::remove_cvref_t<T>;
        if constexpr (std::is_base_of_v<nb::object, U> && !std::is_lvalue_reference_v<T>) {
            // A temporary is moved from, so the frame does not hide a reference to it.
            return {*this, std::move(awaitable)};
        } else if constexpr (std::is_base_of_v<nb::handle, U>) {
            return {*this, nb::borrow(awaitable)};
        } else {
            return {*this, nb::object(awaitable)};  // an accessor such as obj.attr("x")
        }
    }

    nb::object inner;                       ///< iterator delegated to while suspended
    nb::object yielded;                     ///< what the frame hands out at its suspension
    nb::object sent;                        ///< value of the pending co_await
    std::optional<nb::python_error> error;  ///< or the error raised at it
    nb::object result;                      ///< co_return value
    std::exception_ptr failure;             ///< exception that left the body
    std::vector<const nb::object*> roots;   ///< parameter copies, for the cyclic GC

  private:
    template <class T>
    void collect(T& arg) {
        if constexpr (std::is_base_of_v<nb::object, std::remove_cv_t<T>>) {
            roots.push_back(&arg);
        }
    }
};

/// Owning handle of a not yet wrapped C++ coroutine frame (move-only).
class [[nodiscard]] Coroutine {
  public:
    using promise_type = Promise;
    using handle_type = std::coroutine_handle<Promise>;

    explicit Coroutine(handle_type frame) noexcept : frame_(frame) {}
    Coroutine(Coroutine&& other) noexcept : frame_(std::exchange(other.frame_, {})) {}
    Coroutine& operator=(Coroutine&&) = delete;
    Coroutine(const Coroutine&) = delete;
    ~Coroutine() {
        if (frame_) {
            frame_.destroy();
        }
    }
    /// Give up ownership of the frame.
    handle_type release() noexcept { return std::exchange(frame_, {}); }

  private:
    handle_type frame_;
};

inline Coroutine Promise::get_return_object() noexcept {
    return Coroutine(Coroutine::handle_type::from_promise(*this));
}

/// Create the Python type `_CppCoroutine` and add it to `module` (once per module).
void register_type(nb::module_& module);

/// Wrap a coroutine as a Python coroutine object named `qualname` (its __name__ is the part
/// after the last "."). The body starts at the first send().
nb::object to_python(Coroutine&& coroutine, const char* qualname);

}  // namespace corvane::coro

"""The C++ coroutine bridge, driven by hand the way cocotb's Task drives it.

The C++ coroutines under test are the private `_bridge_selftest_*` factories of the tavrin module:
`sum` awaits factory() n times and returns the sum, `catching` swallows every exception raised
at its awaits, `raise` awaits once then raises, `fail` throws a C++ exception.
"""

import asyncio
import collections.abc
import gc
import subprocess
import sys
import tracemalloc
import types
import weakref

import pytest

from corvane.sim.bfms import tavrin


class Tick:
    """An awaitable whose iterator yields `token` once and returns what was sent in (times 2)."""

    def __init__(self, token="tick"):
        self.token = token

    def __await__(self):
        value = yield self.token
        return value * 2


class Ready:
    """An awaitable that finishes without yielding, like cocotb's Queue.put on a free queue."""

    def __init__(self, value):
        self.value = value

    def __await__(self):
        return self.value
        yield  # pragma: no cover - makes this a generator


class Catcher:
    """Yields once; an exception thrown in is turned into its text as the await's value."""

    def __await__(self):
        try:
            yield "catcher"
        except ValueError as error:
            return str(error)
        return "no error"


def finish(coro, value=None):
    """Send `value` and return the StopIteration value, failing if the coroutine yields."""
    with pytest.raises(StopIteration) as stop:
        coro.send(value)
    return stop.value.value


class Probe:
    def __init__(self):
        self.destroyed = 0

    def __call__(self):
        self.destroyed += 1


def test_protocol_name_and_identity():
    coro = tavrin._bridge_selftest_sum(lambda: Tick(), 1)
    assert isinstance(coro, collections.abc.Coroutine)
    assert isinstance(coro, collections.abc.Iterator)
    assert type(coro).__name__ == "_CppCoroutine"
    assert coro.__name__ == "await_sum"
    assert coro.__qualname__ == "_bridge_selftest.await_sum"
    assert repr(coro).startswith("<_CppCoroutine object _bridge_selftest.await_sum at 0x")
    assert coro.__await__() is coro and iter(coro) is coro
    assert coro.cr_await is None and coro.cr_running is False
    coro.close()


@pytest.mark.parametrize(
    "factory",
    [
        pytest.param(lambda: Tick(), id="awaitable-with-generator"),
        pytest.param(lambda: Tick().__await__(), id="plain-generator"),
        pytest.param(lambda: (lambda t: (yield from t.__await__()))(Tick()), id="yield-from"),
        pytest.param(lambda: native(Tick()), id="native-async"),
        pytest.param(lambda: types.coroutine(lambda: (yield from Tick().__await__()))(),
                     id="types.coroutine"),
    ],
)
def test_values_pass_both_ways(factory):
    """Yielded values come out unchanged, sent values go down; the result is the sum."""
    coro = tavrin._bridge_selftest_sum(factory, 3)
    assert coro.send(None) == "tick"
    assert coro.cr_await is not None
    assert coro.send(1) == "tick"
    assert coro.send(2) == "tick"
    assert finish(coro, 3) == 2 * (1 + 2 + 3)
    with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
        coro.send(None)


async def native(awaitable):
    return await awaitable


def test_next_drives_like_send_none():
    coro = tavrin._bridge_selftest_sum(lambda: Ready(5), 1)
    with pytest.raises(StopIteration) as stop:
        next(coro)
    assert stop.value.value == 5


def test_awaits_that_never_yield_do_not_suspend():
    coro = tavrin._bridge_selftest_sum(lambda: Ready(4), 3)
    assert finish(coro) == 12


@pytest.mark.parametrize("value", [None, (1, 2), ValueError("as value"), [3]])
def test_return_value_is_stop_iteration_value(value):
    """Tuples and exceptions are returned as values, not unpacked or raised."""
    coro = tavrin._bridge_selftest_raise(Ready(value))
    assert finish(coro) == value
    assert asyncio.run(native(tavrin._bridge_selftest_raise(Ready(value)))) == value


def test_exception_from_inner_reaches_caller_and_frees_frame():
    probe = Probe()

    def factory():
        yield "once"
        raise KeyError("inner")

    coro = tavrin._bridge_selftest_sum(factory, 2, probe)
    assert coro.send(None) == "once"
    with pytest.raises(KeyError, match="inner"):
        coro.send(None)
    assert probe.destroyed == 1
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


@pytest.mark.parametrize(
    "throw_args, text",
    [
        ((ValueError("boom"),), "boom"),
        ((ValueError, "typed"), "typed"),
        ((ValueError,), ""),
    ],
)
def test_thrown_exception_goes_to_inner_iterator(throw_args, text):
    """The inner iterator may handle the thrown exception; its return is the await's value."""
    coro = tavrin._bridge_selftest_raise(Catcher())
    assert coro.send(None) == "catcher"
    assert finish_throw(coro, *throw_args) == text


def finish_throw(coro, *args):
    with pytest.raises(StopIteration) as stop:
        coro.throw(*args)
    return stop.value.value


class Bare:
    """An iterator with neither throw() nor close(), as a hand-written __await__ may return."""

    def __iter__(self):
        return self

    def __next__(self):
        return "bare"


class BareAwaitable:
    def __await__(self):
        return Bare()


def test_inner_iterator_without_throw_or_close():
    """Like `yield from`: the exception is raised at the await itself, close() still closes."""
    probe = Probe()
    coro = tavrin._bridge_selftest_sum(BareAwaitable, 2, probe)
    assert coro.send(None) == "bare"
    with pytest.raises(KeyError, match="at the await"):
        coro.throw(KeyError("at the await"))
    assert probe.destroyed == 1

    coro = tavrin._bridge_selftest_catching(BareAwaitable, 2)
    assert coro.send(None) == "bare"
    assert coro.throw(ValueError("caught")) == "bare"  # the body caught it and awaited again
    caught = coro.close()  # GeneratorExit reached the body, which caught it and returned
    assert [type(e) for e in caught] == [ValueError, GeneratorExit]


def test_thrown_exception_unwinds_cpp_frame():
    """cocotb's cancel path: throw(CancelledError) comes back out and the frame is gone."""
    probe = Probe()
    coro = tavrin._bridge_selftest_sum(lambda: Tick(), 3, probe)
    coro.send(None)
    cancel = asyncio.CancelledError("bye")
    with pytest.raises(asyncio.CancelledError) as raised:
        coro.throw(cancel)
    assert raised.value is cancel
    assert probe.destroyed == 1
    # Throwing into a finished coroutine re-raises, like Python's coroutines.
    with pytest.raises(KeyError):
        coro.throw(KeyError("late"))


def test_throw_before_start_closes_and_reraises():
    probe = Probe()
    refs = sys.getrefcount(probe)
    coro = tavrin._bridge_selftest_sum(lambda: Tick(), 3, probe)
    assert sys.getrefcount(probe) == refs + 1
    with pytest.raises(asyncio.CancelledError):
        coro.throw(asyncio.CancelledError())
    assert sys.getrefcount(probe) == refs  # the parameters are gone with the frame
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_caught_exceptions_let_the_cpp_frame_continue():
    coro = tavrin._bridge_selftest_catching(lambda: Tick(), 3)
    assert coro.send(None) == "tick"
    assert coro.throw(ValueError("one")) == "tick"
    assert coro.throw(asyncio.CancelledError("two")) == "tick"
    caught = finish(coro, 0)
    assert [type(e) for e in caught] == [ValueError, asyncio.CancelledError]
    assert [str(e) for e in caught] == ["one", "two"]


@pytest.mark.parametrize(
    "kind, error, text",
    [
        ("value", ValueError, "value from C++"),
        ("runtime", RuntimeError, "runtime from C++"),
        ("range", IndexError, "range from C++"),
    ],
)
def test_cpp_exceptions_become_python_ones(kind, error, text):
    coro = tavrin._bridge_selftest_fail(kind)
    with pytest.raises(error, match=text):
        coro.send(None)


@pytest.mark.parametrize("drive", ["send", "next", "await"])
def test_stop_iteration_leaving_the_body_is_not_a_return(drive):
    """Like Python's coroutines: a stray StopIteration must not pass for a normal finish."""
    coro = tavrin._bridge_selftest_raise(Ready(1), StopIteration(5))
    with pytest.raises(RuntimeError, match="coroutine raised StopIteration") as raised:
        if drive == "send":
            coro.send(None)
        elif drive == "next":
            next(coro)
        else:
            asyncio.run(native(coro))
    assert isinstance(raised.value.__cause__, StopIteration)


def test_raise_after_await_and_bad_awaitable():
    coro = tavrin._bridge_selftest_raise(Tick(), LookupError("after"))
    coro.send(None)
    with pytest.raises(LookupError, match="after"):
        coro.send(1)
    with pytest.raises(TypeError, match="can't be awaited"):
        tavrin._bridge_selftest_raise(42).send(None)
    with pytest.raises(TypeError, match="non-None value"):
        tavrin._bridge_selftest_raise(Tick()).send(1)


@pytest.mark.parametrize("started", [False, True])
def test_close_frees_the_frame(started):
    probe = Probe()
    closed = []

    def factory():
        try:
            yield "waiting"
        finally:
            closed.append(True)

    refs = sys.getrefcount(probe)
    coro = tavrin._bridge_selftest_sum(factory, 2, probe)
    if started:
        assert coro.send(None) == "waiting"
    assert coro.close() is None
    assert probe.destroyed == int(started)  # the body's locals exist only once started
    assert sys.getrefcount(probe) == refs
    assert closed == ([True] if started else [])
    assert coro.close() is None  # closing twice is harmless
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


def test_close_of_a_coroutine_that_ignores_generator_exit():
    coro = tavrin._bridge_selftest_catching(lambda: Tick(), 3)
    coro.send(None)
    with pytest.raises(RuntimeError, match="coroutine ignored GeneratorExit"):
        coro.close()
    with pytest.raises(RuntimeError, match="cannot reuse"):
        coro.send(None)


class ReentersWhenDropped:
    """An inner iterator that yields once, then returns 1 or, when thrown into, raises; its
    finalizer reaches back for the outer coroutine (as a cleanup callback might)."""

    def __init__(self, holder):
        self.holder, self.steps = holder, 0

    def __await__(self):
        return self

    def __next__(self):
        self.steps += 1
        if self.steps > 1:
            raise StopIteration(1)
        return "inner"

    def throw(self, error):
        del self  # the traceback must not keep the iterator alive
        raise error

    def __del__(self):
        try:
            self.holder["coro"].close()
        except ValueError as error:
            self.holder["refused"] = str(error)


def test_reentrant_resume_is_refused():
    holder = {}

    def factory():
        holder["coro"].send(None)
        yield  # pragma: no cover

    coro = holder["coro"] = tavrin._bridge_selftest_sum(factory, 1)
    with pytest.raises(ValueError, match="coroutine already executing"):
        coro.send(None)
    holder.clear()


@pytest.mark.parametrize("ending", ["return", "throw"])
def test_finalizer_of_a_finished_inner_iterator_cannot_reenter(ending):
    """The finished iterator is released while the coroutine still runs, as under Python's
    await: re-entry is refused, where it would otherwise tear down the running frame."""
    holder = {}
    coro = holder["coro"] = tavrin._bridge_selftest_catching(
        lambda: ReentersWhenDropped(holder), 2)
    assert coro.send(None) == "inner"
    assert (coro.send(None) if ending == "return" else coro.throw(KeyError("k"))) == "inner"
    assert holder.pop("refused") == "coroutine already executing"
    caught = finish(coro)
    assert holder.pop("refused") == "coroutine already executing"
    assert [type(e) for e in caught] == ([] if ending == "return" else [KeyError])
    holder.clear()


@pytest.mark.parametrize("depth", [1, 40])
def test_deep_chain_of_cpp_and_python(depth):
    """C++ awaits Python awaits C++ ...: yields, sends and throws cross every level."""

    def chain(level):
        if level == 0:
            return Catcher()
        return tavrin._bridge_selftest_raise(native(chain(level - 1)))

    coro = chain(depth)
    assert coro.send(None) == "catcher"
    assert finish_throw(coro, ValueError("deep")) == "deep"

    coro = chain(depth)
    coro.send(None)
    with pytest.raises(KeyError, match="through"):
        coro.throw(KeyError("through"))


def test_runs_as_asyncio_task():
    """A real event loop drives it through await and am_send."""

    async def main():
        return await tavrin._bridge_selftest_sum(lambda: asyncio.sleep(0, result=3), 4)

    assert asyncio.run(main()) == 12


@pytest.mark.parametrize("started", [False, True])
def test_reference_cycle_through_the_frame_is_collected(started):
    """model -> coroutine -> frame (parameter, awaited iterator) -> model: the GC breaks it."""
    probe = Probe()

    class Model:
        def tick(self):
            return Tick(self)

    model = Model()
    model.task = tavrin._bridge_selftest_sum(model.tick, 1, probe)
    if started:
        assert model.task.send(None) is model
    alive = weakref.ref(model)
    del model
    gc.collect()
    assert alive() is None
    assert probe.destroyed == int(started)


def drive_cancelled(payload):
    coro = tavrin._bridge_selftest_sum(lambda: Tick(payload), 5)
    coro.send(None)
    coro.send(1)
    try:
        coro.throw(asyncio.CancelledError())
    except asyncio.CancelledError:
        pass


def drive_finished(payload):
    coro = tavrin._bridge_selftest_sum(lambda: native(Tick(payload)), 2)
    coro.send(None)
    coro.send(1)
    try:
        coro.send(2)
    except StopIteration:
        pass


def drive_unstarted(payload):
    tavrin._bridge_selftest_sum(lambda: Tick(payload), 1).close()
    try:
        tavrin._bridge_selftest_raise(Tick(payload)).throw(asyncio.CancelledError())
    except asyncio.CancelledError:
        pass


def drive_error(payload):
    coro = tavrin._bridge_selftest_raise(Tick(payload), KeyError(payload))
    coro.send(None)
    try:
        coro.send(1)
    except KeyError:
        pass


@pytest.mark.parametrize("drive", [drive_cancelled, drive_finished, drive_unstarted, drive_error])
def test_no_references_or_memory_leak(drive):
    payload = object()
    for _ in range(50):
        drive(payload)
    gc.collect()
    refs = sys.getrefcount(payload)
    tracemalloc.start()
    try:
        for _ in range(200):
            drive(payload)
        gc.collect()
        before, _ = tracemalloc.get_traced_memory()
        for _ in range(2000):
            drive(payload)
        gc.collect()
        after, _ = tracemalloc.get_traced_memory()
    finally:
        tracemalloc.stop()
    assert sys.getrefcount(payload) == refs
    assert after - before < 16 * 1024


def test_suspended_coroutines_at_interpreter_exit(tmp_path):
    """Frames still suspended when the interpreter shuts down are torn down without a crash."""
    script = tmp_path / "exit.py"
    script.write_text(
        "import sys\n"
        "from corvane.sim.bfms import tavrin\n"
        "class Tick:\n"
        "    def __await__(self):\n"
        "        return (yield 't')\n"
        "async def native(x):\n"
        "    return await x\n"
        "class Model:\n"
        "    pass\n"
        "model = Model()\n"
        "model.engine = tavrin._bridge_selftest_sum(\n"
        "    lambda: native(tavrin._bridge_selftest_raise(Tick())), 3)\n"
        "model.engine.send(None)\n"
        "loose = tavrin._bridge_selftest_sum(Tick, 3)\n"
        "loose.send(None)\n"
        "unstarted = tavrin._bridge_selftest_sum(Tick, 3)\n"
        "sys.corvane_kept = tavrin._bridge_selftest_catching(Tick, 5)\n"
        "sys.corvane_kept.send(None)\n"
    )
    done = subprocess.run([sys.executable, "-X", "dev", str(script)], capture_output=True,
                          text=True, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")

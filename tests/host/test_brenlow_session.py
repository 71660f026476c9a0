"""System Console session life cycle: start, handshake, restart, close, exit hook, threads."""

import os
import pathlib
import queue
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest
import tqdm

from brenlow_support import CONSOLE, SCRIPTED, children, logged, write_plan
from corvane.hil.intel.brenlow import IntelBrenlowSession, JtagSession

REAL_POPEN = subprocess.Popen


@pytest.fixture
def session(tmp_path):
    s = IntelBrenlowSession(CONSOLE, startup_timeout=5.0, work_dir=tmp_path)
    yield s
    s.close()


def assert_idle(s):
    assert (s._proc, s._output, s._reader_thread) == (None, None, None)
    assert (s._script_context, s._script_path) == (None, None)


def test_constructor_converts_settings_and_starts_nothing(tmp_path, monkeypatch):
    log = write_plan(tmp_path, monkeypatch)
    s = JtagSession(SCRIPTED, master_index="2", uart_index=1.0, startup_timeout=1, work_dir="w")
    # In the documented order, and each declared in the stubs.
    assert list(vars(s)) == [
        "brenlow", "master_index", "uart_index", "startup_timeout", "work_dir", "_lock",
        "_proc", "_output", "_reader_thread", "_script_context", "_script_path",
    ] == list(JtagSession.__annotations__)  # fmt: skip
    assert (s.master_index, s.uart_index, s.startup_timeout) == (2, 1, 1.0)
    assert type(s.startup_timeout) is float and s.work_dir == pathlib.Path("w")
    s.close()
    assert_idle(s)
    assert not log.exists()  # nothing was started

    s.open()
    argv, _ = logged(log)
    assert argv[0] == "--script" and argv[2:] == ["2", "1"]
    assert argv[1].endswith("jtag_session.tcl") and os.path.isfile(argv[1])
    s.close()


def test_open_reuses_the_running_child_and_close_quits_it(session):
    with session as s:
        assert s is session
        proc, reader = s._proc, s._reader_thread
        assert s.open() is s and s._proc is proc
        assert reader.daemon and reader.is_alive()
    assert proc.returncode == 0  # left on QUIT, not terminated
    assert_idle(session)
    session.close()

    session.open()  # a closed session opens again with a new child and reader
    assert session._proc is not proc and session._reader_thread is not reader


def test_with_block_closes_and_passes_the_exception_on(session):
    with pytest.raises(KeyError, match="inside"):
        with session:
            proc = session._proc
            raise KeyError("inside")
    assert proc.returncode == 0
    assert_idle(session)


@pytest.mark.parametrize(
    "env, master_index, message",
    [
        ({"FAKE_SC_MASTERS": "0"}, 0, "no Avalon-MM master with index 0 (0 found)"),
        ({"FAKE_SC_MASTERS": "2"}, 3, "no Avalon-MM master with index 3 (2 found)"),
        ({"FAKE_SC_UARTS": "0", "FAKE_SC_BANNER": "3"}, 0, "no JTAG UART with index 0 (0 found)"),
    ],
)
def test_script_refusing_to_start_leaves_the_session_idle(session, monkeypatch, env, master_index,
                                                          message):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    session.master_index = master_index
    with pytest.raises(RuntimeError) as raised:
        session.open()
    assert str(raised.value) == message  # without the JTAG_FATAL keyword
    assert_idle(session)


@pytest.mark.parametrize(
    "startup, fatal",
    [
        (["JTAG_FATAL", "JTAG_FATALITY\tx", "JTAG_READY ", "Info: JTAG_READY", "JTAG_READY"], None),
        (["Info: x", "JTAG_FATAL\tno cable\tUSB-Blaster [1-1]"], "no cable\tUSB-Blaster [1-1]"),
        (["JTAG_FATAL\t"], ""),
        (["@stderr JTAG_FATAL\tsaid on standard error"], "said on standard error"),
    ],
    ids=["near-misses-ignored", "message-after-first-tab", "empty-message", "stderr-merged"],
)
def test_handshake_answers_only_its_own_lines(tmp_path, monkeypatch, startup, fatal):
    write_plan(tmp_path, monkeypatch, startup=startup)
    s = IntelBrenlowSession(SCRIPTED, startup_timeout=5.0)
    if fatal is None:
        assert s.open()._proc.poll() is None
        s.close()
    else:
        with pytest.raises(RuntimeError) as raised:
            s.open()
        assert str(raised.value) == fatal
    assert_idle(s)


@pytest.mark.parametrize("env", [{"FAKE_SC_BANNER": "20"}, {"FAKE_SC_CRLF": "1"},
                                 {"FAKE_SC_BANNER": "2", "FAKE_SC_BANNER_ENCODING": "iso8859-1"}])
def test_banner_noise_and_crlf_line_ends_do_not_disturb_the_handshake(session, monkeypatch, env):
    for name, value in env.items():
        monkeypatch.setenv(name, value)
    assert session.open()._proc.poll() is None
    assert session.command("ver") == "corvane fake Nios monitor 1.4.2"


def test_silent_console_times_out_and_is_terminated(session, monkeypatch):
    monkeypatch.setenv("FAKE_SC_SILENT", "1")
    monkeypatch.setenv("FAKE_SC_IGNORE_QUIT", "1")
    session.startup_timeout = 0.3
    proc = []

    def recording_popen(*args, **kwargs):
        proc.append(REAL_POPEN(*args, **kwargs))
        return proc[-1]

    monkeypatch.setattr(subprocess, "Popen", recording_popen)
    started = time.monotonic()
    with pytest.raises(TimeoutError, match="^Timeout waiting for system-console response$") as e:
        session.open()
    assert isinstance(e.value.__cause__, queue.Empty)
    assert time.monotonic() - started >= 0.3 + 3.0  # QUIT ignored for 3 s, then terminated
    assert proc[0].returncode == -signal.SIGTERM
    assert_idle(session)


@pytest.mark.parametrize("status", ["0", "7"])
def test_child_ending_during_the_handshake(tmp_path, monkeypatch, status):
    write_plan(tmp_path, monkeypatch, startup=["Info: starting", f"@exit {status}"])
    s = IntelBrenlowSession(SCRIPTED, startup_timeout=5.0)
    with pytest.raises(RuntimeError, match=rf"^system-console stopped unexpectedly with code "
                                           rf"{status}$"):
        s.open()
    assert_idle(s)


def test_end_of_output_is_reported_to_every_later_wait():
    s = IntelBrenlowSession()
    s._output = queue.Queue()
    s._output.put(None)
    for _ in range(2):  # the reader has gone: a second wait must not block
        with pytest.raises(RuntimeError, match="^system-console stopped unexpectedly with code "
                                               "None$"):
            s._next_line(timeout=1.0)


def test_missing_executable_raises_the_start_error(tmp_path):
    s = IntelBrenlowSession(str(tmp_path / "no-such-console"))
    with pytest.raises(FileNotFoundError):
        s.open()
    s.close()
    assert_idle(s)


def test_next_operation_restarts_a_child_that_died(session):
    session.open()
    old = session._proc
    old.kill()
    old.wait()
    assert session.command("ver") == "corvane fake Nios monitor 1.4.2"
    assert session._proc is not old and session._proc.poll() is None


def test_child_dying_mid_transfer_fails_that_transfer_only(session, monkeypatch):
    monkeypatch.setenv("FAKE_SC_DIE_AFTER", str(16 * 4096))
    data = np.arange(64 * 1024, dtype=np.uint16)
    stopped = r"^system-console stopped unexpectedly with code 3$"
    with pytest.raises(RuntimeError, match=stopped):
        session.write_memory(data, 0)
    assert session._proc is not None  # not closed: the next operation replaces the child
    session.write_memory(data[:1000], 0x40)
    assert np.array_equal(session.read_memory((10, 100), 0x40).ravel(), data[:1000])


class FakeChild:
    """A running child that records what close() does to it; wait() follows a list of outcomes."""

    stdin = None

    def __init__(self, calls, waits):
        self.calls, self.waits = calls, list(waits)

    def poll(self):
        return None

    def wait(self, timeout=None):
        self.calls.append(("wait", timeout))
        if self.waits.pop(0):
            raise subprocess.TimeoutExpired("system-console", timeout)
        return 0

    def terminate(self):
        self.calls.append("terminate")

    def kill(self):
        self.calls.append("kill")


QUIT, WAIT, FOREVER = ("send", "QUIT"), ("wait", 3.0), ("wait", None)


@pytest.mark.parametrize(
    "send_error, waits, calls",
    [
        (None, [False], [QUIT, WAIT]),
        (None, [True, False], [QUIT, WAIT, "terminate", WAIT]),
        (None, [True, True, False], [QUIT, WAIT, "terminate", WAIT, "kill", FOREVER]),
        (BrokenPipeError(32, "Broken pipe"), [False], [QUIT, "terminate", WAIT]),
        (OSError(5, "EIO"), [True, False], [QUIT, "terminate", WAIT, "kill", FOREVER]),
        (RuntimeError("still running"), [], [QUIT]),
    ],
    ids=["quits", "terminated", "killed", "broken-pipe", "os-error", "other-error-passes-on"],
)
def test_close_escalates_from_quit_to_terminate_to_kill(send_error, waits, calls):
    s = IntelBrenlowSession()
    done = []
    proc = s._proc = FakeChild(done, waits)

    def send(*fields):
        done.append(("send", *fields))
        if send_error:
            raise send_error

    s._send = send
    if isinstance(send_error, RuntimeError):
        with pytest.raises(RuntimeError, match="still running"):
            s.close()
        assert s._proc is proc  # nothing cleared: the caller sees the child as it is
        s._proc = None
    else:
        s.close()
    assert done == calls
    assert_idle(s)


class DiesBeforeQuit(IntelBrenlowSession):
    """The child exits after close() saw it running and before QUIT goes out."""

    def _send(self, *fields):
        if fields == ("QUIT",):
            self._proc.kill()
            self._proc.wait()
        super()._send(*fields)


def test_close_finishes_when_the_child_exits_just_before_quit(tmp_path):
    s = DiesBeforeQuit(CONSOLE, work_dir=tmp_path)
    s.open()
    proc = s._proc
    s.close()
    assert proc.returncode == -signal.SIGKILL
    assert_idle(s)
    s.close()


HOOK_PROGRAM = """
import sys
sys.path.insert(0, {tests!r})
from test_brenlow_session import DiesBeforeQuit
from corvane.hil.intel.brenlow import IntelBrenlowSession
cls = DiesBeforeQuit if sys.argv[1] == "dies" else IntelBrenlowSession
s = cls(sys.argv[2])
s.open()
print(s._proc.pid, flush=True)
"""


@pytest.mark.parametrize("variant", ["plain", "dies"])
def test_exit_hook_closes_sessions_left_open(tmp_path, monkeypatch, variant):
    program = textwrap.dedent(HOOK_PROGRAM).format(tests=os.path.dirname(__file__))
    for run in range(3):  # the reader may still be finishing while the interpreter exits
        folder = tmp_path / str(run)
        folder.mkdir()
        log = write_plan(folder, monkeypatch)
        done = subprocess.run([sys.executable, "-c", program, variant, SCRIPTED],
                              capture_output=True, text=True, timeout=30)
        assert done.returncode == 0 and done.stderr == ""
        assert not os.path.exists(f"/proc/{int(done.stdout)}")
        if variant == "plain":
            assert logged(log)[1] == ["QUIT"]  # closed by the hook, not by end of input


def test_two_threads_share_one_session_without_interleaving(session):
    errors = []

    def worker(tag):
        try:
            for round_ in range(4):
                words = np.full(20000, tag * 100 + round_, dtype=np.uint16)
                session.write_memory(words, tag * 0x100000, chunk_size=1024)
                back = session.read_memory((100, 200), tag * 0x100000, chunk_size=1024)
                assert np.array_equal(back.ravel(), words)
                assert session.command(f"echo t{tag}-{round_}") == f"t{tag}-{round_}"
        except BaseException as error:  # reported to the main thread
            errors.append(error)

    # Both threads use the same data_in.bin / data_out.bin: only the session lock, held for a
    # whole operation, keeps one thread's file from being overwritten by the other mid-transfer.
    threads = [threading.Thread(target=worker, args=(tag,)) for tag in (1, 2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(60)
    assert errors == [] and not any(thread.is_alive() for thread in threads)


def test_no_children_threads_or_descriptors_leak_over_100_cycles(tmp_path):
    def leaked():
        # At most what there was before: a reader of an earlier test may still have been ending.
        kids, threads, fds = children(), threading.active_count(), len(os.listdir("/proc/self/fd"))
        return kids - before[0], max(0, threads - before[1]), max(0, fds - before[2])

    before = children(), threading.active_count(), len(os.listdir("/proc/self/fd"))
    for cycle in range(100):
        s = IntelBrenlowSession(CONSOLE, work_dir=tmp_path)
        with s:
            pass
        if cycle % 2:
            s.open()
            s.close()
    deadline = time.monotonic() + 5.0
    while leaked() != (set(), 0, 0) and time.monotonic() < deadline:
        time.sleep(0.05)  # the last readers finish once their child's output has closed
    assert leaked() == (set(), 0, 0)


class ReaderEndsOnce(IntelBrenlowSession):
    """The first child's reader stops after the handshake while the child lives on."""

    def _stdout_reader(self, proc, output):
        if self.master_index:
            return IntelBrenlowSession._stdout_reader(proc, output)
        self.master_index = 1  # the fake has one master a device: keep it at index 0 below
        while (line := proc.stdout.readline().rstrip("\n")) != "JTAG_READY":
            output.put(line)
        output.put(line)
        output.put(None)


def test_a_reader_that_ends_while_the_child_lives_is_reported_and_replaced(tmp_path, monkeypatch):
    monkeypatch.setenv("FAKE_SC_MASTERS", "2")
    s = ReaderEndsOnce(CONSOLE, work_dir=tmp_path)
    with s:
        first = s._proc
        s._reader_thread.join(5)
        with pytest.raises(RuntimeError, match="^lost the output of system-console while it is "
                                               "still running; the next operation restarts it$"):
            s._next_line(timeout=1.0)
        assert first.poll() is None
        assert s.command("ver") == "corvane fake Nios monitor 1.4.2"
        assert s._proc is not first and first.returncode == 0  # asked to QUIT, and it did


def test_settings_of_the_keyword_only_arguments():
    s = IntelBrenlowSession()
    assert (s.stall_timeout, s.device) == (120.0, None)
    s = IntelBrenlowSession(stall_timeout=1, device="USB-2")
    assert (s.stall_timeout, s.device) == (1.0, "USB-2") and type(s.stall_timeout) is float
    assert IntelBrenlowSession(stall_timeout=float("inf")).stall_timeout is None
    for bad in (0, -1.0, float("nan")):
        with pytest.raises(ValueError, match="^stall_timeout must be a positive number of "
                                             "seconds or None$"):
            IntelBrenlowSession(stall_timeout=bad)
    with pytest.raises(TypeError, match="^device must be a str or None$"):
        IntelBrenlowSession(device=2)
    with pytest.raises(TypeError):  # keyword-only
        IntelBrenlowSession("system-console", 0, 0, 30.0, None, 5.0)


DEVICE_1 = "/devices/10M50DA(.|ES)|10M50DC@1#USB-1 (DE10-Lite)"
DEVICE_2 = "/devices/10M50DA(.|ES)|10M50DC@1#USB-2 (DE10-Lite)"


@pytest.mark.parametrize(
    "device, master_index, outcome",
    [
        (None, 1, (DEVICE_2, DEVICE_1)),  # indices over the services of all devices
        ("@1#USB-2", 0, (DEVICE_2, DEVICE_2)),
        (DEVICE_1, 0, (DEVICE_1, DEVICE_1)),
        ("", 1, (DEVICE_2, DEVICE_1)),
        ("DE10-Lite", 0, f'cannot choose the device: "DE10-Lite" matches 2 devices: {DEVICE_1}; '
                         f"{DEVICE_2}"),
        ("USB-3", 0, f'cannot choose the device: no device matches "USB-3" (devices: {DEVICE_1}; '
                     f"{DEVICE_2})"),
        ("USB-2", 1, f"no Avalon-MM master with index 1 (1 found on {DEVICE_2})"),
    ],
)
def test_device_chooses_the_board_whose_services_are_claimed(tmp_path, monkeypatch, device,
                                                             master_index, outcome):
    claims = tmp_path / "claims"
    monkeypatch.setenv("FAKE_SC_DEVICES", "2")
    monkeypatch.setenv("FAKE_SC_CLAIM_LOG", str(claims))
    s = IntelBrenlowSession(CONSOLE, master_index, device=device)
    if isinstance(outcome, str):
        with pytest.raises(RuntimeError) as raised:
            s.open()
        assert str(raised.value) == outcome
        return
    with s:
        assert s.command("ver").startswith("corvane")
    master, uart = (line.split("\t") for line in claims.read_text().splitlines())
    assert master[0] == "master" and master[1].startswith(outcome[0] + "/")
    assert uart[0] == "bytestream" and uart[1].startswith(outcome[1] + "/")


def test_late_uart_answer_is_drained_and_the_next_command_gets_its_own(tmp_path, monkeypatch,
                                                                        caplog):
    log = write_plan(tmp_path, monkeypatch, replies=[
        ["@sleep 1500", "UART_RESULT\t" + b"idle\n".hex()],  # after the host gave up (1 s)
        ["UART_RESULT\t" + b"reset done\n".hex()],
    ])
    with IntelBrenlowSession(SCRIPTED, startup_timeout=5.0) as s:
        proc = s._proc
        with pytest.raises(TimeoutError):
            s.command("status", timeout=0.0001)
        with caplog.at_level("DEBUG", logger="corvane.hil.intel.brenlow"):
            assert s.command("reset", timeout=0.0001) == "reset done"
        assert s._proc is proc  # drained, not restarted
    assert logged(log)[1] == ["UART\t737461747573\t1", "UART\t7265736574\t1", "QUIT"]
    assert caplog.messages == [
        "Discarded the late answer of an abandoned UART request: 'UART_RESULT\\t69646c650a' "
        "(after 0 other lines of it)"]


class InterruptingBar(tqdm.tqdm):
    """Ctrl-C at the first progress line of a transfer."""

    def update(self, n=1):
        raise KeyboardInterrupt


@pytest.mark.parametrize("abandon", ["interrupted", "stalled"])
def test_abandoned_read_keeps_its_answer_from_the_next_requests(session, monkeypatch, caplog,
                                                                abandon):
    monkeypatch.setenv("FAKE_SC_DELAY_MS", "20")
    monkeypatch.setenv("FAKE_SC_STALL_AFTER", str(2 * 8192 + 2048))  # the third chunk below
    monkeypatch.setenv("FAKE_SC_STALL_MS", "1200" if abandon == "stalled" else "0")
    rng = np.random.default_rng(3)
    first, second = rng.integers(0, 1 << 16, size=(2, 4096), dtype=np.uint16)
    session.write_memory(first, 0x1000)
    session.write_memory(second, 0x20000)
    proc = session._proc
    if abandon == "interrupted":
        monkeypatch.setattr(tqdm, "tqdm", InterruptingBar)
        with pytest.raises(KeyboardInterrupt):
            session.read_memory((8, 512), 0x1000, chunk_size=1024)
        monkeypatch.setattr(tqdm, "tqdm", InterruptingBar.__base__)
    else:
        session.stall_timeout = 0.8  # the stall ends 0.4 s into the next request's wait
        with pytest.raises(TimeoutError, match="^READ at 0x1000 stalled after 2048 of 8192 bytes: "
                                               r"no progress from system-console for 0.8 s "
                                               r"\(stall_timeout\)$"):
            session.read_memory((8, 512), 0x1000, chunk_size=1024)
    with caplog.at_level("DEBUG", logger="corvane.hil.intel.brenlow"):
        assert np.array_equal(session.read_memory((8, 512), 0x20000).ravel(), second)
    assert session.command("echo mine") == "mine"
    assert session._proc is proc
    assert caplog.messages[0].startswith("Discarded the late answer of an abandoned READ "
                                         "request: 'JTAG_DONE\\tREAD'")


GROUP_PROGRAM = """
import signal, sys
signal.signal(signal.SIGINT, signal.default_int_handler)  # also when started in the background
from corvane.hil.intel.brenlow import IntelBrenlowSession
how, console, folder = sys.argv[1:]
s = IntelBrenlowSession(console, work_dir=folder, stall_timeout=None if how == "sigint" else 0.2)
s.open()
try:
    s.read_memory((1, 4096), 0)  # stalls: the console's program is busy and reads no QUIT
except TimeoutError:
    print(s.command("ver") if how == "timeout" else s.close())
"""


def alive(pid):
    try:
        stat = pathlib.Path(f"/proc/{pid}/stat").read_text()
    except FileNotFoundError:
        return False
    return stat.rsplit(")", 1)[1].split()[0] != "Z"  # a zombie is gone, but for its entry


@pytest.mark.parametrize("how", ["close", "timeout", "sigint"])
def test_the_program_behind_a_wrapping_console_ends_with_the_session(tmp_path, how):
    pids = tmp_path / "pids"
    env = dict(os.environ, FAKE_SC_WRAPPER_FORKS="1", FAKE_SC_PID_FILE=str(pids),
               FAKE_SC_STALL_MS="60000")
    program = subprocess.Popen([sys.executable, "-c", GROUP_PROGRAM, how, CONSOLE, str(tmp_path)],
                               env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if how == "sigint":
        deadline = time.monotonic() + 20
        while not (tmp_path / "data_out.bin").exists() and time.monotonic() < deadline:
            time.sleep(0.02)  # the READ is being served
        program.send_signal(signal.SIGINT)  # to the interpreter alone, not to its group
    out, err = program.communicate(timeout=30)
    assert ("KeyboardInterrupt" in err) == (how == "sigint")
    assert out == {"close": "None\n", "timeout": "corvane fake Nios monitor 1.4.2\n"}.get(how, "")
    started = [int(pid) for pid in pids.read_text().split()]
    assert len(started) == (2 if how == "timeout" else 1)
    deadline = time.monotonic() + 5
    while any(map(alive, started)) and time.monotonic() < deadline:
        time.sleep(0.02)
    assert not any(map(alive, started))

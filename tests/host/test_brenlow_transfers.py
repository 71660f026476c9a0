"""Memory transfers and JTAG UART commands through the fake and the scripted consoles."""

import pathlib
import threading
import time

import numpy as np
import pytest
import tqdm

from brenlow_support import CONSOLE, SCRIPTED, logged, write_plan
from corvane.hil.intel.brenlow import IntelBrenlowSession


@pytest.fixture
def session(tmp_path):
    s = IntelBrenlowSession(CONSOLE, startup_timeout=5.0, work_dir=tmp_path)
    yield s
    s.close()


@pytest.fixture
def bars(monkeypatch):
    """Every progress bar a transfer opens, with what was done to it."""
    made = []

    class RecordingBar(tqdm.tqdm):
        def __init__(self, **kwargs):
            super().__init__(**kwargs)
            self.kwargs, self.steps, self.postfixes, self.was_closed = kwargs, [], [], False
            made.append(self)

        def update(self, n=1):
            self.steps.append(n)
            return super().update(n)

        def set_postfix_str(self, s="", refresh=True):
            self.postfixes.append((s, refresh))
            return super().set_postfix_str(s, refresh)

        def close(self):
            self.was_closed = True
            return super().close()

    monkeypatch.setattr(tqdm, "tqdm", RecordingBar)
    return made


def scripted_session(tmp_path, monkeypatch, *replies):
    log = write_plan(tmp_path, monkeypatch, replies=replies)
    return IntelBrenlowSession(SCRIPTED, startup_timeout=5.0, work_dir=tmp_path), log


def test_large_block_round_trip_and_board_view(session, tmp_path):
    session.work_dir = tmp_path / "a dir ü"  # the script takes the path as one field
    session.work_dir.mkdir()
    data = np.random.default_rng(7).integers(0, 1 << 16, size=2 * 1024 * 1024, dtype=np.uint16)
    session.write_memory(data, 0x100000)
    assert (session.work_dir / "data_in.bin").stat().st_size == 4 * 1024 * 1024
    back = session.read_memory((1024, 2048), 0x100000)
    assert back.dtype == np.dtype("<u2") and back.shape == (1024, 2048)
    assert np.array_equal(back.ravel(), data)
    # The board's own monitor sees the same memory, little-endian.
    assert session.command("peek 0x100002") == f"0x{data[1]:04x}"


@pytest.mark.parametrize(
    "data, expected",
    [
        (np.arange(250, 256, dtype=np.uint8).reshape(2, 3), [250, 251, 252, 253, 254, 255]),
        (np.array([-1, 65536, 65537, 2], dtype=np.int32), [0xFFFF, 0, 1, 2]),  # unchecked cast
        ([[1, 2], [3, 4]], [1, 2, 3, 4]),
        (np.asfortranarray(np.arange(6, dtype=np.uint16).reshape(2, 3)), [0, 1, 2, 3, 4, 5]),
        (np.array([0x1234], dtype=">u2"), [0x1234]),
    ],
    ids=["uint8-widened", "int32-cast", "list", "fortran-order", "big-endian"],
)
def test_write_converts_elements_to_little_endian_words(session, tmp_path, bars, data, expected):
    session.write_memory(data, 0x2001)  # odd address: words straddle the fake's pages too
    raw = (tmp_path / "data_in.bin").read_bytes()
    assert raw == np.array(expected, dtype="<u2").tobytes()
    assert bars[0].kwargs["total"] == 2 * len(expected)
    assert session.read_memory((1, len(expected)), 0x2001).tolist() == [expected]


def test_read_through_hex_formatted_byte_answers(session, monkeypatch):
    monkeypatch.setenv("FAKE_SC_HEX_BYTES", "1")
    session.write_memory(np.arange(3000, dtype=np.uint16), 0x10, chunk_size=1000)
    assert np.array_equal(session.read_memory((30, 100), 0x10).ravel(), np.arange(3000))


def test_progress_bar_settings_and_updates(session, bars):
    session.write_memory(np.zeros(5000, dtype=np.uint16), 0x100)
    (bar,) = bars
    assert bar.kwargs == dict(total=10000, desc="JTAG write", unit="B", unit_scale=True,
                              dynamic_ncols=True, leave=True)
    assert bar.steps == [4096, 4096, 1808] and bar.n == 10000 and bar.was_closed
    assert bar.postfixes[-1] == ("addr=0x2100, chunk=1808", True)
    session.read_memory((2, 3), 0)
    assert bars[1].kwargs["desc"] == "JTAG read" and bars[1].steps == [12]


def test_board_error_fails_the_transfer_and_keeps_the_child(session, monkeypatch, bars):
    monkeypatch.setenv("FAKE_SC_MEMORY_SIZE", str(0x3000))
    session.open()
    proc = session._proc
    with pytest.raises(RuntimeError) as raised:
        session.write_memory(np.zeros(8192, dtype=np.uint16), 0)
    assert str(raised.value) == "JTAG_ERROR\tWRITE: bus error: no slave answers at 0x3000"
    assert bars[0].steps == [4096, 4096, 4096] and bars[0].was_closed
    assert session._proc is proc and session.command("ver").startswith("corvane")


def test_requests_carry_resolved_paths_hex_addresses_and_sizes(tmp_path, monkeypatch, bars):
    real = tmp_path / "real dir ü"
    real.mkdir()
    (tmp_path / "link").symlink_to(real)
    s, log = scripted_session(
        tmp_path, monkeypatch,
        ["PROGRESS_BYTES\t4096\ta\tb\t4096\t0x1000", "PROGRESS_BYTES\t8192\ta\tb\t4096\t0x2000",
         "PROGRESS_BYTES\t8192\ta\tb\t0\t0x3000", "noise", "JTAG_DONE\tWRITE"],
        ["JTAG_DONE\tWRITE", "@write 12", "JTAG_DONE\tREAD"],
        ["@write 10", "JTAG_DONE\tREAD"],
        ["@write 2", "JTAG_DONE\tREAD"],
    )
    s.work_dir = tmp_path / "link"
    here = tmp_path / "cwd"
    here.mkdir()
    with s:
        s.write_memory(np.zeros(4096, dtype=np.uint16), 4096)
        assert bars[0].steps == [4096, 4096, 0]
        assert s.read_memory((2, 3), 0x100).tolist() == [[0x100, 0x302, 0x504],
                                                          [0x706, 0x908, 0xB0A]]
        with pytest.raises(RuntimeError, match="^Read size mismatch: got 5 words, expected 6$"):
            s.read_memory([2.0, 3], 0x100, chunk_size=2.0)
        s.work_dir = None  # the current directory, read at each transfer
        monkeypatch.chdir(here)
        assert s.read_memory((1, 1), 0).tolist() == [[0x100]]
    folder = real.resolve().as_posix()
    assert logged(log)[1] == [
        f"WRITE\t{folder}/data_in.bin\t0x1000\t4096",
        f"READ\t{folder}/data_out.bin\t0x100\t12\t4096",
        f"READ\t{folder}/data_out.bin\t0x100\t12\t2",
        f"READ\t{here.resolve().as_posix()}/data_out.bin\t0x0\t2\t4096",
        "QUIT",
    ]


@pytest.mark.parametrize(
    "line, message",
    [
        ("PROGRESS_BYTES\t1\t2\t3", r"^not enough values to unpack \(expected 6, got 4\)$"),
        ("PROGRESS_BYTES\t1\t2\t3\t4\t5\t6", r"^too many values to unpack \(expected 6\)$"),
        ("PROGRESS_BYTES\tlots\t2\t3\t4\t5", "invalid literal for int"),
    ],
)
def test_malformed_progress_lines_raise_value_error(tmp_path, monkeypatch, line, message):
    # The malformed request's late end must not pass for the next READ's answer.
    s, _ = scripted_session(tmp_path, monkeypatch, [line, "JTAG_DONE\tREAD"],
                            ["JTAG_ERROR\tREAD\tits own"], ["UART_RESULT\t6f6b"])
    with s:
        with pytest.raises(ValueError, match=message):
            s.read_memory((1, 1), 0)
        with pytest.raises(RuntimeError, match="its own"):
            s.read_memory((1, 1), 0)
        assert s.command("x") == "ok"  # the child stays and serves the next request


def test_protocol_fields_with_line_breaks_are_refused_before_sending(tmp_path, monkeypatch):
    s, log = scripted_session(tmp_path, monkeypatch)
    with s:
        s.work_dir = tmp_path / "two\nlines"
        s.work_dir.mkdir()
        with pytest.raises(ValueError, match="^System Console protocol fields must not contain "
                                             "tabs or newlines$"):
            s.write_memory([1, 2], 0)
        for field in ("a\tb", "a\rb", pathlib.PurePosixPath("a\nb")):  # checked on str(field)
            with pytest.raises(ValueError):
                s._send("UART", field)
    assert logged(log)[1] == ["QUIT"]
    with pytest.raises(RuntimeError, match="^system-console session is not running$"):
        s._send("UART")


@pytest.mark.parametrize(
    "command, answer",
    [
        ("ver", "corvane fake Nios monitor 1.4.2"),
        ("echo héllo wörld ✓ 日本", "héllo wörld ✓ 日本"),
        ("pad", "ok"),
        ("bogus\n", "ERR unknown command 'bogus'"),
    ],
)
def test_uart_commands_answer_their_first_non_blank_line(session, monkeypatch, command, answer):
    monkeypatch.setenv("FAKE_SC_CRLF", "1")
    assert session.command(command) == answer


@pytest.mark.parametrize("command", ["blank", "silent"])
def test_uart_without_an_answer_reports_an_empty_response(session, command):
    with pytest.raises(RuntimeError, match="^Nios returned an empty response$"):
        session.command(command, timeout=0.2)


class Untruthful:
    def __bool__(self):
        raise ZeroDivisionError("no truth value")


@pytest.mark.parametrize(
    "args, error",
    [
        (("",), ValueError),
        ((type("Text", (str,), {})("ver"),), TypeError),
        ((b"ver",), TypeError),
        (("ver", "soon"), ValueError),
        (("ver", 3.0, Untruthful()), ZeroDivisionError),
    ],
    ids=["empty", "str-subclass", "bytes", "timeout", "debug-truth"],
)
def test_uart_argument_errors_come_before_the_lock_and_any_start(session, args, error):
    raised = []

    def call():
        try:
            session.command(*args)
        except Exception as exception:
            raised.append(exception)

    with session._lock:  # held elsewhere: a check made under the lock would wait here
        worker = threading.Thread(target=call)
        worker.start()
        worker.join(10)
        assert not worker.is_alive()
    assert [type(exception) for exception in raised] == [error]
    assert session._proc is None


def test_uart_debug_prints_every_line_received(tmp_path, monkeypatch, capsys):
    s, _ = scripted_session(tmp_path, monkeypatch, ["Info: x", "UART_RESULT\t0a206f6b0a"])
    with s:
        assert s.command("ver", debug=True) == "ok"
    assert capsys.readouterr().out == (
        "SYSTEM-CONSOLE: 'Info: x'\nSYSTEM-CONSOLE: 'UART_RESULT\\t0a206f6b0a'\n")


@pytest.mark.parametrize(
    "reply, outcome",
    [
        (["JTAG_ERROR\tUART: link lost"], RuntimeError("JTAG_ERROR\tUART: link lost")),
        (["UART_RESULT\t6zz"], ValueError("non-hexadecimal number")),
        (["UART_RESULT\tff0a6f6b"], "\ufffd"),
        ([], TimeoutError("Timeout waiting for system-console response")),
    ],
)
def test_uart_answers_from_the_console(tmp_path, monkeypatch, reply, outcome):
    s, log = scripted_session(tmp_path, monkeypatch, reply)
    with s:
        if isinstance(outcome, str):
            assert s.command("ver", timeout=0.0001) == outcome
        else:
            started = time.monotonic()
            with pytest.raises(type(outcome), match=str(outcome)):
                s.command("ver", timeout=0.0001)
            if not reply:  # a second beyond the script's own limit
                assert time.monotonic() - started >= 1.0
    assert logged(log)[1][0] == "UART\t766572\t1"


def test_stalled_transfer_ends_by_stall_timeout_and_the_child_is_replaced(session, monkeypatch,
                                                                          caplog):
    monkeypatch.setenv("FAKE_SC_STALL_AFTER", "8192")
    monkeypatch.setenv("FAKE_SC_STALL_MS", "60000")  # a cable that stops answering
    session.stall_timeout = 0.2
    session.open()
    stuck = session._proc
    with pytest.raises(TimeoutError, match=r"^WRITE at 0x1000 stalled after 8192 of 12288 bytes: "
                                           r"no progress from system-console for 0.2 s "
                                           r"\(stall_timeout\)$") as raised:
        session.write_memory(np.zeros(6144, dtype=np.uint16), 0x1000)
    assert isinstance(raised.value.__cause__, TimeoutError)
    assert session.command("ver") == "corvane fake Nios monitor 1.4.2"
    assert session._proc is not stuck and stuck.poll() is not None
    assert "did not finish an abandoned WRITE request within its limit" in caplog.text


@pytest.mark.parametrize(
    "dtype, values",
    [
        ("<u1", [0x01, 0xFF, 0x80]),
        (np.uint32, [0xDEADBEEF, 1]),
        ("u8", np.array([(1 << 64) - 1, 0x0123456789ABCDEF], dtype=np.uint64)),
        ("<u8", [(1 << 64) - 1, 1 << 63, 5]),  # NumPy alone would infer floats
        (">u4", "not >u4"),
        ("<i2", "not int16"),
        (np.float32, "not float32"),
    ],
)
def test_words_of_every_width_travel_as_little_endian_bytes(session, tmp_path, dtype, values):
    if isinstance(values, str):  # refused before a console is started
        with pytest.raises(ValueError, match="^dtype must be a little-endian unsigned integer "
                                             r"type of 8, 16, 32 or 64 bits \('<u1', '<u2', "
                                             f"'<u4' or '<u8'\\), {values}$"):
            session.read_memory((1, 1), 0, dtype=dtype)
        with pytest.raises(ValueError):
            session.write_memory([1], 0, dtype=dtype)
        assert session._proc is None
        return
    width = np.dtype(dtype).itemsize
    session.write_memory(values, 0x41, dtype=dtype)
    raw = (tmp_path / "data_in.bin").read_bytes()
    assert raw == b"".join(int(value).to_bytes(width, "little") for value in values)
    back = session.read_memory((1, len(values)), 0x41, dtype=dtype)
    assert back.dtype == np.dtype(f"<u{width}") and back.tolist() == [list(values)]
    assert session.read_memory((1, len(raw)), 0x41, dtype="<u1").tobytes() == raw

"""
A persistent Intel System Console session: Avalon-MM memory transfers and JTAG UART
commands through a Tcl session script and a tab-separated line protocol.
"""

import contextlib
import threading
from collections.abc import Iterable, Sequence
import os
import pathlib
import queue
import subprocess
from typing import Self, TypeAlias

import numpy
import numpy.typing


class IntelBrenlowSession:
    """Persistent System Console session for Avalon-MM and JTAG UART access."""

    brenlow: str
    master_index: int
    uart_index: int
    startup_timeout: float
    work_dir: pathlib.Path | None
    _lock: threading.RLock
    _proc: subprocess.Popen[str] | None
    _output: queue.Queue[str | None] | None
    _reader_thread: threading.Thread | None
    _script_context: contextlib.AbstractContextManager[pathlib.Path] | None
    _script_path: pathlib.Path | None

    def __init__(self, brenlow: str = 'system-console', master_index: int = 0, uart_index: int = 0, startup_timeout: float = 30.0, work_dir: str | os.PathLike[str] | None = None, *, stall_timeout: float | None = 120.0, device: str | None = None) -> None:
        """
        Store the settings (indices as int, time-out as float, work_dir as a Path) and register
        close() as an interpreter-exit hook. Starts nothing: the child starts on first use.

        stall_timeout: longest silence, in seconds, between progress lines of a memory
        transfer (None or inf: no limit). device: the board, as System Console names the
        device its services belong to (get_service_paths device), or a part of that name
        that only one device has, such as '@1#USB-2'; the service indices then count the
        services of that device only. None: all devices.
        """

    @property
    def stall_timeout(self) -> float | None:
        """
        Longest silence between progress lines of a transfer, in seconds
        (None: no limit).
        """

    @stall_timeout.setter
    def stall_timeout(self, value: float | None, /) -> None: ...

    @property
    def device(self) -> str | None:
        """The board whose services the next start claims (None: all devices)."""

    @device.setter
    def device(self, value: str | None, /) -> None: ...

    def open(self) -> Self:
        """
        Start System Console (if it is not running) and wait for the session script's
        JTAG_READY line; return the session.
        """

    def close(self) -> None:
        """
        Ask the script to QUIT (terminate, then kill, a child that does not leave within
        3 s), end whatever the child started, and release the session script. Safe to
        call any number of times.
        """

    def __enter__(self) -> Self:
        """open() the session."""

    def __exit__(self, exc_type: object, exc_value: object, traceback: object) -> None:
        """close() the session; an exception of the block passes on."""

    def _start(self) -> None:
        """
        Start the child unless one is running (replacing one that exited or lost its
        reader) and wait for JTAG_READY, at most startup_timeout seconds for each
        line. A running child first hands over the late answer of an abandoned request;
        one that cannot within that request's own limit is replaced.
        """

    def _send(self, *fields: object) -> None:
        """
        Write one request: the fields as text, tab-separated, newline-terminated.
        """

    def _next_line(self, timeout: float | None = None) -> str:
        """The next output line of the child, waiting at most `timeout` seconds."""

    @staticmethod
    def _stdout_reader(proc: subprocess.Popen[str], output: queue.Queue[str | None]) -> None:
        """
        Reader thread body: queue each output line without its line end, then
        None when the output ends.
        """

    def _session_script_path(self) -> pathlib.Path:
        """
        The session script resource as a real file, materialised on first call.
        """

    def _release_session_script(self) -> None:
        """End the materialisation of the session script."""

    def _data_dir(self) -> pathlib.Path:
        """work_dir, or the current working directory when it is None."""

    def write_memory(self, data: object, address: int, chunk_size: int = 4096, *, dtype: numpy.typing.DTypeLike = '<u2') -> None:
        """
        Write `data` as little-endian words of `dtype` ('<u1', '<u2', '<u4' or '<u8';
        other element types cast) to board memory from `address`, through
        data_in.bin, with a progress bar.
        """

    def read_memory(self, shape: Sequence[int], address: int, chunk_size: int = 4096, *, dtype: numpy.typing.DTypeLike = '<u2') -> numpy.ndarray:
        """
        Read shape[0] * shape[1] little-endian words of `dtype` ('<u1', '<u2', '<u4'
        or '<u8') from board memory at `address`, through data_out.bin, with a
        progress bar; return an array of that type and shape.
        """

    def command(self, command: str, timeout: float = 3.0, debug: bool = False) -> str:
        """
        Send `command` over the JTAG UART and return the first non-blank line of the
        answer collected within `timeout` seconds; with `debug`, print every line
        received from System Console.
        """

    def _transfer(self, operation: str, fields: Iterable[object], total_bytes: int, desc: str) -> None:
        """
        Send one READ or WRITE request and follow its progress to JTAG_DONE, at most
        stall_timeout seconds from one progress line to the next.
        """

JtagSession: TypeAlias = IntelBrenlowSession

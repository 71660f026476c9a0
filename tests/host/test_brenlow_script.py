"""The Tcl session script on its own, fed raw request lines through the fake System Console."""

import importlib.resources
import subprocess

import pytest

from brenlow_support import CONSOLE

SCRIPT = str(importlib.resources.files("corvane.hil.intel") / "resources" / "jtag_session.tcl")


def serve(*requests, args=("0", "0")):
    done = subprocess.run([CONSOLE, "--script", SCRIPT, *args], input="\n".join(requests) + "\n",
                          capture_output=True, text=True, timeout=30)
    return done.returncode, done.stdout.splitlines()


@pytest.mark.parametrize(
    "args, reason",
    [
        (("0",), "usage: jtag_session.tcl MASTER_INDEX UART_INDEX"),
        (("[exit 0]", "0"), 'master index is not a non-negative integer: "[exit 0]"'),
        (("0", "-1"), 'UART index is not a non-negative integer: "-1"'),
    ],
)
def test_bad_arguments_end_the_script_with_a_fatal_line(args, reason):
    assert serve("QUIT", args=args) == (1, [f"JTAG_FATAL\t{reason}"])


def test_request_fields_are_data_and_failures_keep_the_script_serving(tmp_path):
    marker, data, out = tmp_path / "marker", tmp_path / "in.bin", tmp_path / "out.bin"
    data.write_bytes(bytes(range(1, 7)))
    status, lines = serve(
        f"READ\t|touch {marker}\t0\t4\t4",
        "READ\t~corvane-no-such-user/out.bin\t0\t4\t4",  # Tcl would expand it to a home
        f"WRITE\t{data}\t[exit 9]\t4096",
        "UART\t[exit]\t10",
        "UART\t766572\t$x",
        f"READ\t{out}\t0\t4\t0",
        "READ\tonly\ttwo",
        "NOPE\tx\ty",
        "",
        f"WRITE\t{data}\t010\t4",  # decimal ten, not octal eight
        f"READ\t{out}\t0x8\t8\t8",
        "UART\t766572\t500",
        "QUIT",
        "UART\t766572\t500",  # never read: the script has ended
    )
    assert status == 0 and not marker.exists()
    assert lines == [
        "JTAG_READY",
        f'JTAG_ERROR\tREAD: transfer file path must be absolute: "|touch {marker}"',
        'JTAG_ERROR\tREAD: transfer file path must be absolute: "~corvane-no-such-user/out.bin"',
        'JTAG_ERROR\tWRITE: address is not a non-negative integer: "[exit 9]"',
        "JTAG_ERROR\tUART: command is not hexadecimal text",
        'JTAG_ERROR\tUART: time limit is not a non-negative integer: "$x"',
        "JTAG_ERROR\tREAD: chunk size must be at least 1",
        "JTAG_ERROR\tREAD: expected READ path address total chunk",
        "JTAG_ERROR\tNOPE: unknown request",
        "PROGRESS_BYTES\t4\t6\t1\t4\t0xa",
        "PROGRESS_BYTES\t6\t6\t2\t2\t0xe",
        "JTAG_DONE\tWRITE",
        "PROGRESS_BYTES\t8\t8\t1\t8\t0x8",
        "JTAG_DONE\tREAD",
        "UART_RESULT\t" + b"corvane fake Nios monitor 1.4.2\r\n".hex(),
    ]
    assert out.read_bytes() == bytes([0, 0, 1, 2, 3, 4, 5, 6])


def test_missing_transfer_file_is_reported_and_no_file_is_left(tmp_path):
    status, lines = serve(f"WRITE\t{tmp_path}/absent.bin\t0\t4096",
                          f"READ\t{tmp_path}/no/such/dir/out.bin\t0\t2\t2", "QUIT")
    assert [line.split(":")[0] for line in lines] == ["JTAG_READY", "JTAG_ERROR\tWRITE",
                                                      "JTAG_ERROR\tREAD"]
    assert list(tmp_path.iterdir()) == []

// src/corvane/hil/intel/brenlow.cpp: bindings of the System Console hardware-in-the-loop session.
#include <nanobind/nanobind.h>

#include "brenlow_session.hpp"
#include "brenlow_transfer.hpp"
#include "common/py.hpp"
#include "common/signature.hpp"

namespace nb = nanobind;
namespace br = corvane::brenlow;

NB_MODULE(brenlow, m) {
    m.doc() =
        "A persistent Intel System Console session: Avalon-MM memory transfers and JTAG UART\n"
        "commands through a Tcl session script and a tab-separated line protocol.";

    nb::class_<br::Session> session(
        m, "IntelBrenlowSession", nb::dynamic_attr(),
        "Persistent System Console session for Avalon-MM and JTAG UART access.");

    session.def(
        "__init__",
        [](nb::pointer_and_handle<br::Session> self, nb::handle brenlow, nb::handle master_index,
           nb::handle uart_index, nb::handle startup_timeout, nb::handle work_dir,
           nb::handle stall_timeout, nb::handle device) {
            new (self.p) br::Session{};
            br::init(*self.p, self.h, brenlow, master_index, uart_index, startup_timeout, work_dir,
                     stall_timeout, device);
        },
        nb::arg("brenlow") = "system-console", nb::arg("master_index") = 0,
        nb::arg("uart_index") = 0, nb::arg("startup_timeout") = 30.0,
        nb::arg("work_dir").none() = nb::none(), nb::kw_only(),
        nb::arg("stall_timeout").none() = 120.0, nb::arg("device").none() = nb::none(),
        nb::sig("def __init__(self, brenlow: str = 'system-console', master_index: int = 0, "
                "uart_index: int = 0, startup_timeout: float = 30.0, "
                "work_dir: str | os.PathLike[str] | None = None, *, "
                "stall_timeout: float | None = 120.0, device: str | None = None) -> None"),
        "Store the settings (indices as int, time-out as float, work_dir as a Path) and register\n"
        "close() as an interpreter-exit hook. Starts nothing: the child starts on first use.\n"
        "\n"
        "stall_timeout: longest silence, in seconds, between progress lines of a memory\n"
        "transfer (None or inf: no limit). device: the board, as System Console names the\n"
        "device its services belong to (get_service_paths device), or a part of that name\n"
        "that only one device has, such as '@1#USB-2'; the service indices then count the\n"
        "services of that device only. None: all devices.");
    session.def_prop_rw("stall_timeout", &br::get_stall_timeout, &br::set_stall_timeout,
                        nb::for_getter(nb::sig("def stall_timeout(self) -> float | None")),
                        nb::for_setter(nb::sig("def stall_timeout(self, value: float | None, /) "
                                               "-> None")),
                        "Longest silence between progress lines of a transfer, in seconds\n"
                        "(None: no limit).");
    session.def_prop_rw("device", &br::get_device, &br::set_device,
                        nb::for_getter(nb::sig("def device(self) -> str | None")),
                        nb::for_setter(nb::sig("def device(self, value: str | None, /) -> None")),
                        "The board whose services the next start claims (None: all devices).");

    session.def("open", &br::open, nb::sig("def open(self) -> typing.Self"),
                "Start System Console (if it is not running) and wait for the session script's\n"
                "JTAG_READY line; return the session.");
    session.def("close", &br::close, nb::sig("def close(self) -> None"),
                "Ask the script to QUIT (terminate, then kill, a child that does not leave within\n"
                "3 s), end whatever the child started, and release the session script. Safe to\n"
                "call any number of times.");
    session.def("__enter__", &br::enter, nb::sig("def __enter__(self) -> typing.Self"),
                "open() the session.");
    session.def("__exit__", &br::exit, nb::arg("exc_type").none(), nb::arg("exc_value").none(),
                nb::arg("traceback").none(),
                nb::sig("def __exit__(self, exc_type: object, exc_value: object, "
                        "traceback: object) -> None"),
                "close() the session; an exception of the block passes on.");

    session.def("_start", &br::start, nb::sig("def _start(self) -> None"),
                "Start the child unless one is running (replacing one that exited or lost its\n"
                "reader) and wait for JTAG_READY, at most startup_timeout seconds for each\n"
                "line. A running child first hands over the late answer of an abandoned request;\n"
                "one that cannot within that request's own limit is replaced.");
    session.def("_send", &br::send, nb::sig("def _send(self, *fields: object) -> None"),
                "Write one request: the fields as text, tab-separated, newline-terminated.");
    session.def("_next_line", &br::next_line, nb::arg("timeout").none() = nb::none(),
                nb::sig("def _next_line(self, timeout: float | None = None) -> str"),
                "The next output line of the child, waiting at most `timeout` seconds.");
    session.def_static("_stdout_reader", &br::stdout_reader, nb::arg("proc"), nb::arg("output"),
                       nb::sig("def _stdout_reader(proc: subprocess.Popen[str], "
                               "output: queue.Queue[str | None]) -> None"),
                       "Reader thread body: queue each output line without its line end, then\n"
                       "None when the output ends.");
    session.def("_session_script_path", &br::session_script_path,
                nb::sig("def _session_script_path(self) -> pathlib.Path"),
                "The session script resource as a real file, materialised on first call.");
    session.def("_release_session_script", &br::release_session_script,
                nb::sig("def _release_session_script(self) -> None"),
                "End the materialisation of the session script.");

    session.def("_data_dir", &br::data_dir, nb::sig("def _data_dir(self) -> pathlib.Path"),
                "work_dir, or the current working directory when it is None.");
    session.def("write_memory", &br::write_memory, nb::arg("data"), nb::arg("address"),
                nb::arg("chunk_size") = 4096, nb::kw_only(), nb::arg("dtype") = "<u2",
                nb::sig("def write_memory(self, data: object, address: int, "
                        "chunk_size: int = 4096, *, dtype: numpy.typing.DTypeLike = '<u2') "
                        "-> None"),
                "Write `data` as little-endian words of `dtype` ('<u1', '<u2', '<u4' or '<u8';\n"
                "other element types cast) to board memory from `address`, through\n"
                "data_in.bin, with a progress bar.");
    session.def("read_memory", &br::read_memory, nb::arg("shape"), nb::arg("address"),
                nb::arg("chunk_size") = 4096, nb::kw_only(), nb::arg("dtype") = "<u2",
                nb::sig("def read_memory(self, shape: collections.abc.Sequence[int], "
                        "address: int, chunk_size: int = 4096, *, "
                        "dtype: numpy.typing.DTypeLike = '<u2') -> numpy.ndarray"),
                "Read shape[0] * shape[1] little-endian words of `dtype` ('<u1', '<u2', '<u4'\n"
                "or '<u8') from board memory at `address`, through data_out.bin, with a\n"
                "progress bar; return an array of that type and shape.");
    session.def("command", &br::command, nb::arg("command"), nb::arg("timeout") = 3.0,
                nb::arg("debug") = false,
                nb::sig("def command(self, command: str, timeout: float = 3.0, "
                        "debug: bool = False) -> str"),
                "Send `command` over the JTAG UART and return the first non-blank line of the\n"
                "answer collected within `timeout` seconds; with `debug`, print every line\n"
                "received from System Console.");
    session.def("_transfer", &br::transfer, nb::arg("operation"), nb::arg("fields"),
                nb::arg("total_bytes"), nb::arg("desc"),
                nb::sig("def _transfer(self, operation: str, fields: "
                        "collections.abc.Iterable[object], total_bytes: int, desc: str) -> None"),
                "Send one READ or WRITE request and follow its progress to JTAG_DONE, at most\n"
                "stall_timeout seconds from one progress line to the next.");

    corvane::sig::declare_attributes(
        session, {{"brenlow", "str"},
                  {"master_index", "int"},
                  {"uart_index", "int"},
                  {"startup_timeout", "float"},
                  {"work_dir", "pathlib.Path | None"},
                  {"_lock", "threading.RLock"},
                  {"_proc", "subprocess.Popen[str] | None"},
                  {"_output", "queue.Queue[str | None] | None"},
                  {"_reader_thread", "threading.Thread | None"},
                  {"_script_context", "contextlib.AbstractContextManager[pathlib.Path] | None"},
                  {"_script_path", "pathlib.Path | None"}});
    m.attr("JtagSession") = session;

    // Registered now, before any session's close hook, so that it runs after all of them.
    corvane::py::attr("atexit", "register")(nb::cpp_function(&br::wait_for_readers));
}

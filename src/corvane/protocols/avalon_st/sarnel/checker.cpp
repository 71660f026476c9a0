// src/corvane/protocols/avalon_st/sarnel/checker.cpp: bindings of the VIP protocol checker.
#include <nanobind/nanobind.h>

#include "checker_state.hpp"
#include "common/signature.hpp"

namespace nb = nanobind;
namespace chk = corvane::sarnel::checker;

NB_MODULE(checker, m) {
    m.doc() = "Stateful protocol checks for an Intel Avalon-ST Video packet stream.";
    chk::import_collaborators(m);
    m.attr("VIPProtocolError") = chk::make_protocol_error(m);

    nb::class_<chk::Checker> cls(
        m, "VIPProtocolChecker", nb::dynamic_attr(), nb::is_weak_referenceable(),
        "Validate control/video ordering without converting packets to frames.\n\n"
        "One instance watches one packet stream: feed it every packet in stream order\n"
        "(`packet = checker.observe(packet)`). A control packet must declare a valid frame\n"
        "size before video data, and each video packet must carry the symbol count that the\n"
        "active size implies. A size mismatch is logged as a warning on `log`, or raised as\n"
        "VIPProtocolError when `check_video_packet_size` is true.");
    cls.def("__init__", &chk::init, nb::arg("fmt").none(),
            nb::sig("def __init__(self, fmt: corvane.video.VideoFormat) -> None"))
        .def_prop_ro("control_size", &chk::control_size,
                     nb::sig("def control_size(self) -> corvane.video.FrameSize | None"),
                     "Frame size declared by the last accepted control packet, or None.")
        .def("reset", &chk::reset, "Forget the active frame size.")
        .def("expected_video_symbols", &chk::expected_video_symbols,
             nb::arg("size").none() = nb::none(),
             nb::sig("def expected_video_symbols(self, size: corvane.video.FrameSize | None = "
                     "None) -> int"),
             "Payload symbols of one video packet for `size` (default: the active size).\n"
             "Raises TypeError when there is no usable size.")
        .def("observe", &chk::observe, nb::arg("packet").none(),
             nb::sig("def observe(self, packet: "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPPacket) -> "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPPacket"),
             "Check one packet, update the active size, and return the packet.\n"
             "Raises VIPProtocolError on an invalid control packet, on video before any\n"
             "control packet, and on a size mismatch when `check_video_packet_size` is true.")
        .def("__getstate__", &chk::getstate, nb::sig("def __getstate__(self) -> dict[str, object]"))
        .def("__setstate__", &chk::setstate, nb::arg("state"),
             nb::sig("def __setstate__(self, state: dict[str, object]) -> None"));
    namespace sig = corvane::sig;
    sig::sign_class(cls);
    sig::declare_attributes(cls, {{"fmt", "corvane.video.VideoFormat"},
                                  {"_control_size", "corvane.video.FrameSize | None"},
                                  {"check_video_packet_size", "bool"},
                                  {"log", "logging.Logger"}});
}

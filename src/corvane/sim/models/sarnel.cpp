// src/corvane/sim/models/sarnel.cpp: bindings of the Intel VIP predictor base.
#include <nanobind/nanobind.h>

#include "common/signature.hpp"
#include "sarnel_predictor.hpp"

namespace nb = nanobind;
namespace pred = corvane::sarnel::predictor;

NB_MODULE(sarnel, m) {
    m.doc() = "Base of reference models (predictors) for Intel VIP video IP.";
    pred::import_collaborators(m);
    m.attr("PacketExpectation") = pred::make_packet_expectation(m);

    auto cls = nb::class_<pred::Predictor>(m, "BaseVIPPredictor", nb::dynamic_attr(),
                                           nb::is_weak_referenceable());
    cls.attr("IpMode") = pred::make_ip_mode(m, cls);
    cls.def("__init__", &pred::init, nb::arg("model").none(), nb::arg("input_codec").none(),
            nb::arg("output_codec").none(), nb::arg("support_passthrough").none() = false,
            nb::arg("default_ip_mode").none() = nb::none(),
            nb::sig("def __init__(self, model: object, input_codec: "
                    "corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec, output_codec: "
                    "corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec, "
                    "support_passthrough: bool = False, default_ip_mode: int | None "
                    "= None) -> None"))
        .def("set_mode", &pred::set_mode, nb::arg("mode").none(),
             nb::sig("def set_mode(self, mode: int) -> None"),
             "Switch to `IpMode(mode)`. Raises ValueError for passthrough on an IP without it.")
        .def("process_packet", &pred::process_packet, nb::arg("packet").none(),
             nb::sig("def process_packet(self, packet: object) -> PacketExpectation | None"),
             "The expectation for one input packet, by its kind; None for a non-packet.")
        .def("process_frame", &pred::process_frame, nb::arg("frame").none(), nb::arg("size").none(),
             nb::sig("def process_frame(self, frame: object, size: corvane.video.FrameSize) -> "
                     "object | None"),
             "The expected output frame: `frame` itself in passthrough mode, else\n"
             "`self.model.process(frame)` (None while the model has no output yet).")
        .def("expected_output_size", &pred::expected_output_size, nb::arg("input_size").none(),
             nb::sig("def expected_output_size(self, input_size: corvane.video.FrameSize) -> "
                     "corvane.video.FrameSize"),
             "Output frame size for an input size; the base keeps it (a scaler overrides).")
        .def("is_supported_frame_size", &pred::is_supported_frame_size, nb::arg("size").none(),
             nb::sig("def is_supported_frame_size(self, size: corvane.video.FrameSize) -> bool"),
             "Whether the model handles frames of `size`; the base accepts all.")
        .def("unsupported_frame_expectation", &pred::unsupported_frame_expectation,
             nb::arg("frame").none(), nb::arg("size").none(),
             nb::sig("def unsupported_frame_expectation(self, frame: object, size: "
                     "corvane.video.FrameSize) -> PacketExpectation"),
             "The expectation for a frame of unsupported size: nothing to compare.")
        .def("get_tolerance", &pred::get_tolerance, nb::sig("def get_tolerance(self) -> int"),
             "Tolerance per value for expected video packets; a model must supply it.")
        .def("_process_user_packet", &pred::process_user_packet, nb::arg("packet").none(),
             nb::sig("def _process_user_packet(self, packet: "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPUserPacket) -> "
                     "PacketExpectation"),
             "The expectation for a user packet; a model must supply it.")
        .def("_process_control_packet", &pred::process_control_packet, nb::arg("packet").none(),
             nb::sig("def _process_control_packet(self, packet: "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPControlPacket) -> "
                     "PacketExpectation"),
             "Record the declared input size and expect the output control packet.")
        .def("_input_video_matches_control", &pred::input_video_matches_control,
             nb::arg("packet").none(),
             nb::sig("def _input_video_matches_control(self, packet: "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket) -> bool"),
             "Whether the payload length fits the last declared input size.")
        .def("_process_video_packet", &pred::process_video_packet, nb::arg("packet").none(),
             nb::sig("def _process_video_packet(self, packet: "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket) -> "
                     "PacketExpectation"),
             "Convert, process and re-encode one video packet into its expectation.")
        .def("__getstate__", &pred::getstate,
             nb::sig("def __getstate__(self) -> dict[str, object]"))
        .def("__setstate__", &pred::setstate, nb::arg("state"),
             nb::sig("def __setstate__(self, state: dict[str, object]) -> None"));
    namespace sig = corvane::sig;
    sig::sign_class(cls);
    sig::declare_attributes(
        cls, {{"model", "typing.Any"},
              {"input_codec", "corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec"},
              {"output_codec", "corvane.protocols.avalon_st.sarnel.codec.IntelVIPFrameCodec"},
              {"last_input_size", "corvane.video.FrameSize | None"},
              {"support_passthrough", "bool"},
              {"ip_mode", "BaseVIPPredictor.IpMode"}});
}

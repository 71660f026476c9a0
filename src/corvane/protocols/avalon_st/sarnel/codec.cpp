// src/corvane/protocols/avalon_st/sarnel/codec.cpp: bindings of the Intel VIP frame codec.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include "codec_frames.hpp"
#include "common/py.hpp"

namespace nb = nanobind;
using corvane::sarnel::FrameCodec;

NB_MODULE(codec, m) {
    m.doc() = "Stateless conversion between frames and Intel VIP control and video packets.";

    nb::class_<FrameCodec>(m, "IntelVIPFrameCodec",
                           "Convert numpy frames of shape (height, width, color_planes) to and\n"
                           "from Intel VIP video packets of one video format.")
        .def(nb::init<nb::handle>(), nb::arg("fmt").none(),
             nb::sig("def __init__(self, fmt: corvane.video.VideoFormat) -> None"))
        .def_prop_ro("fmt", &FrameCodec::fmt, nb::sig("def fmt(self) -> corvane.video.VideoFormat"),
                     "The video format of the frames and packets.")
        .def("video_packet_to_frame", &FrameCodec::video_packet_to_frame, nb::arg("packet"),
             nb::arg("size"),
             nb::sig("def video_packet_to_frame(self, packet: "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket, size: "
                     "corvane.video.FrameSize) -> numpy.ndarray"),
             "The packet's payload as a new array of shape (height, width, color_planes).\n"
             "Raises ValueError when the payload length does not fit the size.")
        .def("frame_to_video_packet", &FrameCodec::frame_to_video_packet, nb::arg("frame"),
             nb::arg("size"),
             nb::sig("def frame_to_video_packet(self, frame: numpy.typing.ArrayLike, size: "
                     "corvane.video.FrameSize) -> "
                     "corvane.protocols.avalon_st.sarnel.packets.VIPVideoPacket"),
             "A video packet carrying `frame` in raster order.\n"
             "Raises ValueError unless the frame's shape is (height, width, color_planes).")
        .def("control_packet", &FrameCodec::control_packet, nb::arg("size"),
             nb::arg("interlacing") = 0,
             nb::sig("def control_packet(self, size: corvane.video.FrameSize, interlacing: int "
                     "= 0) -> corvane.protocols.avalon_st.sarnel.packets.VIPControlPacket"),
             "A control packet declaring `size`.")
        .def("__repr__", [](const FrameCodec& codec) {
            return "IntelVIPFrameCodec(fmt=" + corvane::py::str(nb::repr(codec.fmt())) + ")";
        });
}

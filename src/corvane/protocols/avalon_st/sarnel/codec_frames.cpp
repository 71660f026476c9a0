// src/corvane/protocols/avalon_st/sarnel/codec_frames.cpp: frames <-> Intel VIP video packets.
//
// The packet classes live in the sibling `packets` extension module (a separate shared
// library), so they are reached through Python, never by linking.
#include "codec_frames.hpp"

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::sarnel {

namespace {

constexpr const char* kPackets = "corvane.protocols.avalon_st.sarnel.packets";

void require_frame_size(nb::handle size) {
    if (!py::isinstance(size, "corvane.video", "FrameSize")) {
        raise(PyExc_TypeError, "frame codec size must be a FrameSize");
    }
}

/// (height, width, color_planes): numpy's row-major order matches the raster order of the
/// payload, colour planes interleaved per pixel.
nb::object frame_shape(nb::handle fmt, nb::handle size) {
    // One lookup at a time: a getter that raises must not leave its error pending during the next.
    nb::object height = size.attr("height");
    nb::object width = size.attr("width");
    nb::object planes = fmt.attr("color_planes");
    return nb::make_tuple(height, width, planes);
}

std::string describe(nb::handle fmt, nb::handle size) {
    return "a " + py::str(size) + " frame of " + py::str(fmt.attr("color_planes")) +
           " colour planes";
}

}  // namespace

FrameCodec::FrameCodec(nb::handle fmt) {
    if (!py::isinstance(fmt, "corvane.video", "VideoFormat")) {
        raise(PyExc_TypeError, "frame codec format must be a VideoFormat");
    }
    fmt_ = nb::borrow(fmt);
}

nb::object FrameCodec::video_packet_to_frame(nb::handle packet, nb::handle size) const {
    if (!py::isinstance(packet, kPackets, "VIPVideoPacket")) {
        raise(PyExc_TypeError, "video_packet_to_frame needs a VIPVideoPacket");
    }
    require_frame_size(size);
    nb::object payload = packet.attr("payload");
    nb::object expected = fmt_.attr("frame_symbol_count")(size);
    size_t actual = nb::len(payload);
    if (!expected.equal(nb::int_(actual))) {
        raise(PyExc_ValueError, "video payload has " + std::to_string(actual) + " symbols but " +
                                    describe(fmt_, size) + " needs " + py::str(expected));
    }
    // A copy: a model that works on the frame in place must not change the packet.
    nb::object shape = frame_shape(fmt_, size);
    return py::attr("numpy", "array")(payload).attr("reshape")(shape);
}

nb::object FrameCodec::frame_to_video_packet(nb::handle frame, nb::handle size) const {
    require_frame_size(size);
    nb::object array = py::attr("numpy", "asarray")(frame);
    nb::object shape = frame_shape(fmt_, size);
    if (!array.attr("shape").equal(shape)) {
        raise(PyExc_ValueError, "frame shape " + py::str(array.attr("shape")) + " does not fit " +
                                    describe(fmt_, size) + ", expected " + py::str(shape));
    }
    nb::object flat = array.attr("reshape")(-1);
    return py::attr(kPackets, "VIPVideoPacket")(flat);
}

nb::object FrameCodec::control_packet(nb::handle size, nb::handle interlacing) const {
    require_frame_size(size);
    nb::object width = size.attr("width");
    nb::object height = size.attr("height");
    return py::attr(kPackets, "VIPControlPacket")(width, height, interlacing);
}

}  // namespace corvane::sarnel

// src/corvane/protocols/avalon_st/sarnel/codec_frames.hpp: frames <-> Intel VIP video packets.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::sarnel {

namespace nb = nanobind;

/// Stateless conversion between numpy frames of shape (height, width, color_planes) and the
/// raster-order payload of a VIP video packet, for one video format.
class FrameCodec {
  public:
    /// TypeError unless `fmt` is a corvane.video.VideoFormat.
    explicit FrameCodec(nb::handle fmt);

    nb::object fmt() const { return fmt_; }

    nb::object video_packet_to_frame(nb::handle packet, nb::handle size) const;
    nb::object frame_to_video_packet(nb::handle frame, nb::handle size) const;
    nb::object control_packet(nb::handle size, nb::handle interlacing) const;

  private:
    nb::object fmt_;
};

}  // namespace corvane::sarnel

// src/corvane/video.cpp: bindings of the video value types (frame size, video format).
#include <nanobind/nanobind.h>

#include "video_types.hpp"

namespace nb = nanobind;

NB_MODULE(video, m) {
    m.doc() = "Video value types shared by the VIP models: frame sizes and video formats.";
    nb::object name = m.attr("__name__");
    m.attr("FrameSize") = corvane::video::make_frame_size(name);
    m.attr("VideoFormat") = corvane::video::make_video_format(name);
}

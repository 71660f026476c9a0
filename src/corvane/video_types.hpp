// src/corvane/video_types.hpp: the frame size and video format records of corvane.video.
#pragma once

#include <nanobind/nanobind.h>

namespace corvane::video {

namespace nb = nanobind;

/// Build the frozen dataclass `FrameSize(width, height)` for module `module_name`.
nb::object make_frame_size(nb::handle module_name);

/// Build the frozen dataclass `VideoFormat(color_planes=3, bits_per_symbol=8)`.
nb::object make_video_format(nb::handle module_name);

}  // namespace corvane::video

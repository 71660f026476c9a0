// src/corvane/video_types.cpp: the frame size and video format records of corvane.video.
//
// Both are real frozen dataclasses, so equality, hashing, repr and FrozenInstanceError are the
// host's; the C++ here only adds the validation (`__post_init__`) and the few methods.
#include "video_types.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::video {

namespace {

/// True for a Python int that is not a bool: True/False as a frame size is always a mistake.
bool is_strict_int(nb::handle value) {
    return PyLong_Check(value.ptr()) && !PyBool_Check(value.ptr());
}

bool is_positive(nb::handle value) {
    return value > nb::int_(0);
}

void frame_size_post_init(nb::handle self) {
    nb::object width = self.attr("width");
    nb::object height = self.attr("height");
    if (!is_strict_int(width) || !is_strict_int(height)) {
        raise(PyExc_TypeError, "frame width and height must be integers");
    }
    if (!is_positive(width) || !is_positive(height)) {
        raise(PyExc_ValueError, "frame width and height must be positive");
    }
}

std::string frame_size_str(nb::handle self) {
    return py::str(self.attr("width")) + "x" + py::str(self.attr("height"));
}

void video_format_post_init(nb::handle self) {
    nb::object planes = self.attr("color_planes");
    nb::object bits = self.attr("bits_per_symbol");
    if (!is_strict_int(planes) || !is_strict_int(bits)) {
        raise(PyExc_TypeError, "color_planes and bits_per_symbol must be integers");
    }
    if (!is_positive(planes) || !is_positive(bits)) {
        raise(PyExc_ValueError, "color_planes and bits_per_symbol must be positive");
    }
}

nb::object frame_symbol_count(nb::handle self, nb::handle size) {
    // The class is looked up in our own module at call time rather than held, so a reloaded or
    // patched FrameSize is the one checked against.
    if (!py::isinstance(size, "corvane.video", "FrameSize")) {
        raise(
            PyExc_TypeError,
            "frame_symbol_count needs a FrameSize, got " +
                py::str(
                    nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(size.ptr()))).attr("__name__")));
    }
    return size.attr("width") * size.attr("height") * self.attr("color_planes");
}

/// `dataclasses.make_dataclass(name, fields, namespace=..., frozen=True, module=...)`.
nb::object make_frozen_record(const char* name, nb::list fields, nb::dict ns,
                              nb::handle module_name) {
    return py::attr("dataclasses", "make_dataclass")(name, fields, nb::arg("namespace") = ns,
                                                     nb::arg("frozen") = true,
                                                     nb::arg("module") = module_name);
}

nb::object int_type() {
    return py::attr("builtins", "int");
}

}  // namespace

nb::object make_frame_size(nb::handle module_name) {
    nb::list fields;
    fields.append(nb::make_tuple("width", int_type()));
    fields.append(nb::make_tuple("height", int_type()));
    nb::dict ns;
    ns["__doc__"] = "Frame size in pixels: a frozen value, printed as \"<width>x<height>\".";
    ns["__post_init__"] =
        nb::cpp_function(&frame_size_post_init, nb::is_method(), nb::name("__post_init__"),
                         "Reject sizes that are not positive integers (bool included).");
    ns["__str__"] = nb::cpp_function(&frame_size_str, nb::is_method(), nb::name("__str__"));
    return make_frozen_record("FrameSize", fields, ns, module_name);
}

nb::object make_video_format(nb::handle module_name) {
    nb::list fields;
    fields.append(nb::make_tuple("color_planes", int_type(), nb::int_(3)));
    fields.append(nb::make_tuple("bits_per_symbol", int_type(), nb::int_(8)));
    nb::dict ns;
    ns["__doc__"] = "Symbol layout of a video stream: colour planes per pixel and bits per symbol.";
    ns["__post_init__"] =
        nb::cpp_function(&video_format_post_init, nb::is_method(), nb::name("__post_init__"));
    ns["frame_symbol_count"] = nb::cpp_function(
        &frame_symbol_count, nb::is_method(), nb::name("frame_symbol_count"),
        nb::arg("size").none(), nb::sig("def frame_symbol_count(self, size: FrameSize) -> int"),
        "Number of payload symbols of one video packet for a frame of `size`:\n"
        "width * height * color_planes.");
    return make_frozen_record("VideoFormat", fields, ns, module_name);
}

}  // namespace corvane::video

// src/corvane/sim/models/sarnel_predictor.cpp: the base of Intel VIP reference models.
//
// The base does the stream bookkeeping (last declared input size, payload length check, frame
// conversion through the codecs, passthrough) and leaves the image processing to the derived
// model. Every step calls the next one through Python attribute lookup on `self`, so a Python
// subclass overrides any hook or internal step just by defining a method of the same name.
#include "sarnel_predictor.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::sarnel::predictor {

namespace {

nb::object collaborator(const char* name) {
    return py::attr(kModule, name);
}

/// `a == b` with its result object as Python gives it (no identity shortcut, any type).
nb::object equals(nb::handle a, nb::handle b) {
    return py::steal_checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
}

/// `self.last_input_size`, read afresh at each use.
nb::object last_input_size(nb::handle self) {
    return self.attr("last_input_size");
}

/// `PacketExpectation(compare=False, reason=reason)`: nothing to compare, and why.
nb::object no_comparison(const std::string& reason) {
    return collaborator("PacketExpectation")(nb::arg("compare") = false,
                                             nb::arg("reason") = reason);
}

/// `raise NotImplementedError` (the class, no message), for hooks a model must supply.
[[noreturn]] void not_implemented() {
    PyErr_SetNone(PyExc_NotImplementedError);
    throw nb::python_error();
}

}  // namespace

void import_collaborators(nb::module_& m) {
    nb::object enum_module = nb::module_::import_("enum");
    m.attr("IntEnum") = enum_module.attr("IntEnum");
    m.attr("auto") = enum_module.attr("auto");
    m.attr("dataclass") = nb::module_::import_("dataclasses").attr("dataclass");
    m.attr("numpy") = nb::module_::import_("numpy");
    nb::object sarnel = nb::module_::import_("corvane.protocols.avalon_st.sarnel");
    for (const char* name : {"IntelVIPFrameCodec", "VIPPacket", "VIPControlPacket",
                             "VIPVideoPacket", "VIPUserPacket"}) {
        m.attr(name) = sarnel.attr(name);
    }
    m.attr("FrameSize") = nb::module_::import_("corvane.video").attr("FrameSize");
}

nb::object make_packet_expectation(nb::module_& m) {
    nb::list fields;
    // The packet annotation is kept as text, as a postponed annotation would be.
    fields.append(nb::make_tuple("packet", "VIPPacket | None", nb::none()));
    fields.append(nb::make_tuple("compare", py::attr("builtins", "bool"), true));
    fields.append(nb::make_tuple("reason", py::attr("builtins", "str"), ""));
    fields.append(nb::make_tuple("tolerance", py::attr("builtins", "int"), 0));
    nb::dict ns;
    ns["__doc__"] =
        "What the IP should emit for one input packet: `packet` to compare within `tolerance`\n"
        "per value, or `compare` false with the `reason` why nothing can be compared.";
    return py::attr("dataclasses", "make_dataclass")("PacketExpectation", fields,
                                                     nb::arg("namespace") = ns,
                                                     nb::arg("module") = m.attr("__name__"));
}

nb::object make_ip_mode(nb::module_& m, nb::handle owner) {
    nb::list members;
    members.append(nb::make_tuple("PASSTHROUGH", 0));
    members.append(nb::make_tuple("ACTIVE", m.attr("auto")()));
    std::string qualname = nb::cast<std::string>(owner.attr("__name__")) + ".IpMode";
    return m.attr("IntEnum")("IpMode", members, nb::arg("module") = m.attr("__name__"),
                             nb::arg("qualname") = qualname);
}

void init(nb::pointer_and_handle<Predictor> self, nb::handle model, nb::handle input_codec,
          nb::handle output_codec, nb::handle support_passthrough, nb::handle default_ip_mode) {
    bool passthrough = py::truthy(support_passthrough);
    new (self.p) Predictor();
    nb::handle h = self.h;
    h.attr("model") = model;
    h.attr("input_codec") = input_codec;
    h.attr("output_codec") = output_codec;
    h.attr("last_input_size") = nb::none();
    h.attr("support_passthrough") = nb::bool_(passthrough);
    if (!default_ip_mode.is_none()) {
        h.attr("ip_mode") = default_ip_mode;
    } else {
        nb::object modes = h.attr("IpMode");
        h.attr("ip_mode") = modes.attr(passthrough ? "PASSTHROUGH" : "ACTIVE");
    }
}

void set_mode(nb::handle self, nb::handle mode) {
    nb::object modes = self.attr("IpMode");
    nb::object chosen = modes(mode);
    if (py::truthy(equals(chosen, modes.attr("PASSTHROUGH"))) &&
        !py::truthy(self.attr("support_passthrough"))) {
        raise(PyExc_ValueError, "This IP does not support passthrough mode");
    }
    self.attr("ip_mode") = chosen;
}

nb::object process_packet(nb::handle self, nb::handle packet) {
    if (nb::isinstance(packet, collaborator("VIPControlPacket"))) {
        return self.attr("_process_control_packet")(packet);
    }
    if (nb::isinstance(packet, collaborator("VIPVideoPacket"))) {
        return self.attr("_process_video_packet")(packet);
    }
    if (nb::isinstance(packet, collaborator("VIPUserPacket"))) {
        return self.attr("_process_user_packet")(packet);
    }
    return nb::none();
}

nb::object process_frame(nb::handle self, nb::handle frame, nb::handle /*size*/) {
    nb::object mode = self.attr("ip_mode");
    nb::object passthrough = self.attr("IpMode").attr("PASSTHROUGH");
    if (py::truthy(equals(mode, passthrough))) {
        return nb::borrow(frame);
    }
    return self.attr("model").attr("process")(frame);
}

nb::object expected_output_size(nb::handle /*self*/, nb::handle input_size) {
    return nb::borrow(input_size);
}

bool is_supported_frame_size(nb::handle /*self*/, nb::handle /*size*/) {
    return true;
}

nb::object unsupported_frame_expectation(nb::handle /*self*/, nb::handle /*frame*/,
                                         nb::handle size) {
    return no_comparison("unsupported frame size " + py::str(size));
}

nb::object get_tolerance(nb::handle /*self*/) {
    not_implemented();
}

nb::object process_user_packet(nb::handle /*self*/, nb::handle /*packet*/) {
    not_implemented();
}

nb::object process_control_packet(nb::handle self, nb::handle packet) {
    // Built before it is stored: a size FrameSize rejects leaves the last one in place.
    // Every attribute is read into a local before the next lookup or call: a getter that raises
    // must not leave its error pending while more Python code runs.
    nb::object width = packet.attr("width");
    nb::object height = packet.attr("height");
    nb::object size = collaborator("FrameSize")(width, height);
    self.attr("last_input_size") = size;
    nb::object expected_size = self.attr("expected_output_size")(last_input_size(self));
    nb::object interlacing = packet.attr("interlacing");
    nb::object control =
        self.attr("output_codec")
            .attr("control_packet")(expected_size, nb::arg("interlacing") = interlacing);
    return collaborator("PacketExpectation")(nb::arg("packet") = control);
}

nb::object input_video_matches_control(nb::handle self, nb::handle packet) {
    nb::object payload = packet.attr("payload");
    nb::int_ actual(nb::len(payload));
    nb::object size = last_input_size(self);
    nb::object expected = self.attr("input_codec").attr("fmt").attr("frame_symbol_count")(size);
    return equals(actual, expected);
}

nb::object process_video_packet(nb::handle self, nb::handle packet) {
    if (!py::truthy(self.attr("_input_video_matches_control")(packet))) {
        return no_comparison("corrupted frame");
    }
    // `last_input_size` is read afresh at each step: an overridden step (a deinterlacer's
    // process_frame, say) may update it on the way.
    nb::object frame =
        self.attr("input_codec").attr("video_packet_to_frame")(packet, last_input_size(self));
    if (!py::truthy(self.attr("is_supported_frame_size")(last_input_size(self)))) {
        return self.attr("unsupported_frame_expectation")(frame, last_input_size(self));
    }
    nb::object expected_frame = self.attr("process_frame")(frame, last_input_size(self));
    if (expected_frame.is_none()) {
        return no_comparison("model output is not ready");
    }
    nb::object expected_size = self.attr("expected_output_size")(last_input_size(self));
    nb::object expected_packet =
        self.attr("output_codec").attr("frame_to_video_packet")(expected_frame, expected_size);
    nb::object tolerance = self.attr("get_tolerance")();
    return collaborator("PacketExpectation")(nb::arg("packet") = expected_packet,
                                             nb::arg("tolerance") = tolerance);
}

nb::object getstate(nb::handle self) {
    return self.attr("__dict__");
}

void setstate(nb::pointer_and_handle<Predictor> self, nb::handle state) {
    new (self.p) Predictor();
    self.h.attr("__dict__").attr("update")(state);
}

}  // namespace corvane::sarnel::predictor

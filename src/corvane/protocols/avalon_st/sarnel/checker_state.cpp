// src/corvane/protocols/avalon_st/sarnel/checker_state.cpp: the VIP stream protocol checker.
//
// The checker keeps one piece of stream state, the frame size of the last accepted control
// packet, and checks each video packet's symbol count against it. Everything it calls (the
// packet classes, FrameSize, its own public methods, its logger) is looked up through Python at
// call time, so subclasses, monkeypatched collaborators and replaced loggers take effect.
#include "checker_state.hpp"

#include <nanobind/stl/string.h>

#include <string>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::sarnel::checker {

namespace {

nb::object collaborator(const char* name) {
    return py::attr(kModule, name);
}

bool is_instance_of(nb::handle value, const char* class_name) {
    return nb::isinstance(value, collaborator(class_name));
}

[[noreturn]] void raise_protocol_error(const std::string& message) {
    raise(collaborator("VIPProtocolError").ptr(), message);
}

/// Accept a control packet: its declared size becomes the active one.
void accept_control(nb::handle self, nb::handle packet) {
    nb::object size;
    try {
        // Each attribute is read on its own: a getter that raises must leave no pending error
        // behind while the next lookup runs.
        nb::object width = packet.attr("width");
        nb::object height = packet.attr("height");
        size = collaborator("FrameSize")(width, height);
    } catch (nb::python_error& error) {
        // Only a rejected size is a protocol violation; anything else is a fault of the
        // caller's objects and passes through untouched.
        if (!error.matches(PyExc_TypeError) && !error.matches(PyExc_ValueError)) {
            throw;
        }
        raise_from(collaborator("VIPProtocolError").ptr(),
                   "VIP control packet must declare a positive frame size", error.value());
    }
    self.attr("_control_size") = size;
}

/// Check a video packet's symbol count against the active size.
void check_video(nb::handle self, nb::handle packet) {
    nb::object active = self.attr("_control_size");
    if (active.is_none()) {
        raise_protocol_error("VIP video packet received before any control packet");
    }
    nb::object payload = packet.attr("payload");
    nb::int_ actual(nb::len(payload));
    // Through the public method, so that a subclass's notion of the expected count applies.
    nb::object expected = self.attr("expected_video_symbols")();
    if (!actual.not_equal(expected)) {
        return;
    }
    std::string message = "VIP video payload does not match the active control resolution " +
                          py::str(active.attr("width")) + "x" + py::str(active.attr("height")) +
                          ": got " + py::str(actual) + " symbols, expected " + py::str(expected) +
                          ". A new control packet is required before a frame-size change.";
    // Any truthy value switches raising on, as an `if` on the attribute would.
    if (py::truthy(self.attr("check_video_packet_size"))) {
        raise_protocol_error(message);
    }
    // Read at each mismatch, so a testbench may swap the logger after construction.
    self.attr("log").attr("warning")(message);
}

}  // namespace

void import_collaborators(nb::module_& m) {
    m.attr("logging") = nb::module_::import_("logging");
    nb::object video = nb::module_::import_("corvane.video");
    m.attr("FrameSize") = video.attr("FrameSize");
    m.attr("VideoFormat") = video.attr("VideoFormat");
    // Relative to our own package, as `from .packets import ...` would do.
    std::string name = nb::cast<std::string>(m.attr("__name__"));
    std::string package = name.substr(0, name.rfind('.'));
    nb::object packets = py::attr("importlib", "import_module")(".packets", package);
    m.attr("VIPControlPacket") = packets.attr("VIPControlPacket");
    m.attr("VIPPacket") = packets.attr("VIPPacket");
    m.attr("VIPVideoPacket") = packets.attr("VIPVideoPacket");
}

nb::object make_protocol_error(nb::module_& m) {
    std::string qualified = nb::cast<std::string>(m.attr("__name__")) + ".VIPProtocolError";
    PyObject* type = PyErr_NewExceptionWithDoc(
        qualified.c_str(), "Intel VIP packet ordering or declared-frame-size violation.",
        PyExc_ValueError, nullptr);
    if (type == nullptr) {
        throw nb::python_error();
    }
    return nb::steal(type);
}

void init(nb::pointer_and_handle<Checker> self, nb::handle fmt) {
    // Checked before the instance is marked constructed, so a bad format creates nothing.
    if (!is_instance_of(fmt, "VideoFormat")) {
        raise(PyExc_TypeError, "fmt must be a VideoFormat");
    }
    new (self.p) Checker();
    nb::handle h = self.h;
    h.attr("fmt") = fmt;
    h.attr("_control_size") = nb::none();
    h.attr("check_video_packet_size") = nb::bool_(false);
    h.attr("log") =
        collaborator("logging").attr("getLogger")("cocotb.corvane.vip_protocol_checker");
}

nb::object control_size(nb::handle self) {
    return self.attr("_control_size");
}

void reset(nb::handle self) {
    self.attr("_control_size") = nb::none();
}

nb::object expected_video_symbols(nb::handle self, nb::handle size) {
    nb::object chosen = size.is_none() ? nb::object(self.attr("_control_size")) : nb::borrow(size);
    if (!is_instance_of(chosen, "FrameSize")) {
        raise(PyExc_TypeError, "size must be a FrameSize");
    }
    return self.attr("fmt").attr("frame_symbol_count")(chosen);
}

nb::object observe(nb::handle self, nb::handle packet) {
    if (!is_instance_of(packet, "VIPPacket")) {
        raise(PyExc_TypeError, "packet must be a VIPPacket");
    }
    // Control first: a packet that is both kinds counts as a control packet.
    if (is_instance_of(packet, "VIPControlPacket")) {
        accept_control(self, packet);
    } else if (is_instance_of(packet, "VIPVideoPacket")) {
        check_video(self, packet);
    }
    return nb::borrow(packet);
}

nb::object getstate(nb::handle self) {
    return self.attr("__dict__");
}

void setstate(nb::pointer_and_handle<Checker> self, nb::handle state) {
    new (self.p) Checker();
    self.h.attr("__dict__").attr("update")(state);
}

}  // namespace corvane::sarnel::checker

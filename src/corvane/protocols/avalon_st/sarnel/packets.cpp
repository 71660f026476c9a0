// src/corvane/protocols/avalon_st/sarnel/packets.cpp: bindings of the Intel VIP packet kinds.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>

#include "common/py.hpp"
#include "packets_kinds.hpp"

namespace nb = nanobind;
namespace sarnel = corvane::sarnel;

namespace {

nb::object packet_eq(const sarnel::Packet& self, nb::handle other) {
    sarnel::Packet* o = nullptr;
    if (!nb::try_cast<sarnel::Packet*>(other, o) || o == nullptr) {
        return nb::borrow(Py_NotImplemented);
    }
    return nb::bool_(self.equals(*o));
}

std::string packet_repr(nb::handle self) {
    // type(self).__name__, so a Python subclass prints under its own name.
    const sarnel::Packet& packet = nb::cast<const sarnel::Packet&>(self);
    return corvane::py::str(self.type().attr("__name__")) + "(" + packet.fields_repr() + ")";
}

}  // namespace

NB_MODULE(packets, m) {
    m.doc() = "Intel VIP (Avalon-ST Video) packet kinds: control, video and user packets.";

    auto base = nb::class_<sarnel::Packet>(m, "VIPPacket",
                                           "Any Avalon-ST Video packet; the packet kinds derive "
                                           "from it.")
                    .def(nb::init<>())
                    .def("__eq__", &packet_eq, nb::arg("other").none(),
                         nb::sig("def __eq__(self, other: object, /) -> bool"))
                    .def("__repr__", &packet_repr);
    // Packets compare field-wise and their payloads are mutable arrays: not hashable.
    base.attr("__hash__") = nb::none();

    nb::class_<sarnel::ControlPacket, sarnel::Packet>(
        m, "VIPControlPacket", "Control packet declaring the frame size of the video that follows.")
        .def(nb::init<nb::handle, nb::handle, nb::handle>(), nb::arg("width").none(),
             nb::arg("height").none(), nb::arg("interlacing").none() = 0,
             nb::sig("def __init__(self, width: int, height: int, interlacing: int = 0) -> None"))
        .def_prop_ro(
            "width", [](const sarnel::ControlPacket& p) { return p.width; },
            nb::sig("def width(self) -> int"))
        .def_prop_ro(
            "height", [](const sarnel::ControlPacket& p) { return p.height; },
            nb::sig("def height(self) -> int"))
        .def_prop_ro(
            "interlacing", [](const sarnel::ControlPacket& p) { return p.interlacing; },
            nb::sig("def interlacing(self) -> int"))
        .attr("__hash__") = nb::none();

    nb::class_<sarnel::VideoPacket, sarnel::Packet>(
        m, "VIPVideoPacket",
        "Video packet: one frame's symbols in raster order, colour planes interleaved.\n"
        "The payload is stored as a one-dimensional numpy array (a copy of the argument).")
        .def(nb::init<nb::handle>(), nb::arg("payload"),
             nb::sig("def __init__(self, payload: collections.abc.Sequence[int] | "
                     "numpy.typing.ArrayLike) -> None"))
        .def_prop_ro(
            "payload", [](const sarnel::VideoPacket& p) { return p.payload; },
            nb::sig("def payload(self) -> numpy.ndarray"))
        .attr("__hash__") = nb::none();

    nb::class_<sarnel::UserPacket, sarnel::Packet>(
        m, "VIPUserPacket", "User (ancillary) packet of type 1 to 14 with its payload symbols.")
        .def(nb::init<std::int64_t, nb::handle>(), nb::arg("packet_type"), nb::arg("payload"),
             nb::sig("def __init__(self, packet_type: int, payload: "
                     "collections.abc.Sequence[int] | numpy.typing.ArrayLike) -> None"))
        .def_ro("packet_type", &sarnel::UserPacket::packet_type)
        .def_prop_ro(
            "payload", [](const sarnel::UserPacket& p) { return p.payload; },
            nb::sig("def payload(self) -> numpy.ndarray"))
        .attr("__hash__") = nb::none();
}

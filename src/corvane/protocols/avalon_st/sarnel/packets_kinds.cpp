// src/corvane/protocols/avalon_st/sarnel/packets_kinds.cpp: the Intel VIP packet kinds.
#include "packets_kinds.hpp"

#include <typeinfo>

#include "common/errors.hpp"
#include "common/py.hpp"

namespace corvane::sarnel {

namespace {

bool same_symbols(nb::handle a, nb::handle b) {
    return nb::cast<bool>(py::attr("numpy", "array_equal")(a, b));
}

std::string payload_repr(nb::handle payload) {
    return py::str(nb::repr(payload));
}

}  // namespace

nb::object symbol_array(nb::handle symbols) {
    // A copy, so that later changes to the caller's buffer (a frame a model keeps working on)
    // cannot alter a packet that is already queued as an expectation.
    nb::object array = py::attr("numpy", "array")(symbols);
    if (nb::cast<int>(array.attr("ndim")) != 1) {
        raise(PyExc_ValueError, "packet payload must be a one-dimensional sequence of symbols");
    }
    return array;
}

bool Packet::equals(const Packet& other) const {
    return typeid(*this) == typeid(other);
}

bool ControlPacket::equals(const Packet& other) const {
    if (!Packet::equals(other)) {
        return false;
    }
    const auto& o = static_cast<const ControlPacket&>(other);
    return width.equal(o.width) && height.equal(o.height) && interlacing.equal(o.interlacing);
}

std::string ControlPacket::fields_repr() const {
    return "width=" + py::str(nb::repr(width)) + ", height=" + py::str(nb::repr(height)) +
           ", interlacing=" + py::str(nb::repr(interlacing));
}

VideoPacket::VideoPacket(nb::handle symbols) : payload(symbol_array(symbols)) {}

bool VideoPacket::equals(const Packet& other) const {
    return Packet::equals(other) &&
           same_symbols(payload, static_cast<const VideoPacket&>(other).payload);
}

std::string VideoPacket::fields_repr() const {
    return "payload=" + payload_repr(payload);
}

UserPacket::UserPacket(std::int64_t packet_type, nb::handle symbols)
    : packet_type(packet_type), payload(symbol_array(symbols)) {}

bool UserPacket::equals(const Packet& other) const {
    if (!Packet::equals(other)) {
        return false;
    }
    const auto& o = static_cast<const UserPacket&>(other);
    return packet_type == o.packet_type && same_symbols(payload, o.payload);
}

std::string UserPacket::fields_repr() const {
    return "packet_type=" + std::to_string(packet_type) + ", payload=" + payload_repr(payload);
}

}  // namespace corvane::sarnel

// src/corvane/protocols/avalon_st/sarnel/packets_kinds.hpp: the Intel VIP packet kinds.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <string>

namespace corvane::sarnel {

namespace nb = nanobind;

/// Any Avalon-ST Video packet. Equality is kind-wise: a packet equals another of the same C++
/// kind with equal fields, so a Python subclass of a kind compares like the kind itself.
struct Packet {
    virtual ~Packet() = default;
    virtual bool equals(const Packet& other) const;
    virtual std::string fields_repr() const { return ""; }
};

/// Packet type 15: declares the frame that the following video packets carry. The fields are
/// kept as the Python values given, unconverted: judging a declared size (True, 0, "640") is
/// the checker's work, and a conversion here would hide what the stream declared.
struct ControlPacket : Packet {
    ControlPacket(nb::handle width, nb::handle height, nb::handle interlacing)
        : width(nb::borrow(width)),
          height(nb::borrow(height)),
          interlacing(nb::borrow(interlacing)) {}
    bool equals(const Packet& other) const override;
    std::string fields_repr() const override;

    nb::object width;
    nb::object height;
    nb::object interlacing;
};

/// Packet type 0: one frame's symbols, raster order, colour planes interleaved.
struct VideoPacket : Packet {
    explicit VideoPacket(nb::handle payload);
    bool equals(const Packet& other) const override;
    std::string fields_repr() const override;

    nb::object payload;  // one-dimensional numpy array, owned by the packet
};

/// Packet types 1 to 14: ancillary data the video models pass along or drop.
struct UserPacket : Packet {
    UserPacket(std::int64_t packet_type, nb::handle payload);
    bool equals(const Packet& other) const override;
    std::string fields_repr() const override;

    std::int64_t packet_type;
    nb::object payload;
};

/// A one-dimensional numpy copy of `symbols`; ValueError for anything of more dimensions.
nb::object symbol_array(nb::handle symbols);

}  // namespace corvane::sarnel

// src/corvane/sim/bfms/tavrin_wiring.hpp: checks of a design's DMA streams before any endpoint.
//
// The common wiring mistakes (a misspelt or missing signal, a stream without valid, a command or
// response word too narrow for the descriptor or response layout) would otherwise fail far from
// their cause or pass silently. Each check looks only at the bus object (its signals and their
// widths), so it holds whichever kind of endpoint is built on the bus afterwards, and raises
// ValueError naming the bus, the signal or the width, and the fix.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>

namespace corvane::tavrin {

namespace nb = nanobind;

/// What a stream carries, which decides the width it needs.
enum class StreamKind {
    ReadCommand,    // rdma_cmd: read descriptor words
    WriteCommand,   // wdma_cmd: write descriptor words
    ReadResponse,   // rdma_resp: read response words
    WriteResponse,  // wdma_resp: write response words
    Data,           // din, dout: byte beats (their width is checked by the byte format)
};

/// Raise ValueError unless `bus` has its data and valid signals and its data signal is wide
/// enough: for a command stream, for the descriptor fields the engines need; for a response
/// stream, for `widest`, the largest response word the model sends on it (a Python int).
void check_stream(nb::handle bus, StreamKind kind, nb::handle widest = nb::handle());

/// The narrowest command word that carries the fields the engines need: the length
/// (bits 63..32) and, for reads, generate_sop and generate_eop (bits 72 and 73).
std::size_t command_min_width(StreamKind kind);

}  // namespace corvane::tavrin

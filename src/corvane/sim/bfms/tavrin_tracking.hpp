// src/corvane/sim/bfms/tavrin_tracking.hpp: what each side of the DMA model still owes the design.
//
// Every descriptor an engine takes off a command stream is tracked until the design has taken
// its answer: for a write, the payload beats from dout, the response delay, then the response
// word on wdma_resp; for a read, the response delay and the response word on rdma_resp, and the
// read data on din. The engines update this at each step (a few integer updates per descriptor
// and one per write beat), so `outstanding()` can say what a hung test waits for and the
// watchdog can see whether anything moves. Whether a queued frame has been taken by the design
// is read from the source endpoint's own queue (frames still queued plus the one in flight), in
// the order the frames were queued.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <vector>

namespace corvane::tavrin {

namespace nb = nanobind;

enum class Stage {
    Taken,     // decoded, being served
    Refused,   // the read engine refused it (its error ended the engine)
    Payload,   // write: collecting dout beats
    Delay,     // in the response delay
    Response,  // response word queued on the response stream
};

struct Transfer {
    nb::object descriptor;
    Stage stage = Stage::Taken;
    long long beats = 0;       // write: dout beats needed; read: din beats of the data frame
    long long arrived = 0;     // write: dout beats taken so far
    nb::object delay;          // the response delay in cycles, as read for this descriptor
    nb::object response;       // once queued
    bool data_queued = false;  // read: a data frame went to din
    bool data_taken = false;   // ... and the design took all of it
    bool response_taken = false;
};

/// One modelled side (read or write).
struct Side {
    Side(const char* name, const char* sink, const char* response_source, const char* data_endpoint,
         const char* command_stream, const char* response_stream, const char* data_stream)
        : name(name),
          sink(sink),
          response_source(response_source),
          data_endpoint(data_endpoint),
          command_stream(command_stream),
          response_stream(response_stream),
          data_stream(data_stream) {}
    Side(const Side&) = delete;
    Side& operator=(const Side&) = delete;

    const char* name;             // "read" / "write"
    const char* sink;             // command sink attribute
    const char* response_source;  // response source attribute
    const char* data_endpoint;    // din_source / dout_sink
    const char* command_stream;   // rdma_cmd / wdma_cmd, for messages
    const char* response_stream;  // rdma_resp / wdma_resp
    const char* data_stream;      // din / dout

    std::list<Transfer> transfers;            // oldest first; stable addresses
    std::deque<Transfer*> data_frames;        // read: data frames on din, in queuing order
    std::deque<Transfer*> response_frames;    // responses on the response stream, in order
    Transfer* collecting = nullptr;           // write: whose payload is being collected
    std::uint64_t progress = 0;               // bumped at every step an engine makes
    nb::object wake;                          // watchdog: a cocotb Event set when work arrives
    std::optional<nb::python_error> failure;  // watchdog: the error that ended the engine

    /// Start tracking a descriptor just taken off the command stream.
    Transfer& take(nb::handle descriptor);
    /// The transfer in its response delay whose descriptor is `descriptor` (identity), if any.
    Transfer* delayed(nb::handle descriptor);
    /// A response word was queued for `transfer`.
    void queued_response(nb::handle self, Transfer& transfer, nb::handle response);
    /// A read data frame of `beats` beats was queued on din for `transfer`.
    void queued_data(nb::handle self, Transfer& transfer, long long beats);

    /// Mark what the design has taken since, and forget the transfers fully answered.
    void prune(nb::handle self);
    /// Command beats waiting in the command sink that no engine has taken yet.
    std::size_t waiting_beats(nb::handle self) const;
    /// One line per outstanding item (after `prune`); `engine_note` is appended to the line
    /// about waiting command beats.
    void describe(nb::handle self, const std::string& engine_note,
                  std::vector<std::string>& lines) const;
};

/// Frames an endpoint still has to hand over: those queued plus the one in flight.
std::size_t frames_pending(nb::handle endpoint);

}  // namespace corvane::tavrin

// src/corvane/sim/bfms/tavrin_bfm_engines.cpp: the read and write engines of TavrinBFM.
//
// The engines are C++ coroutines driven by cocotb as tasks. Every stream operation goes through
// the model's endpoints (cocotbext-avalon's or ours: the same calls) and every wait through
// ClockCycles on the model's clock; nothing polls. Attributes of the model (endpoints, delays,
// memory, class constants, hooks) are read at the moment of use, so a test may change a delay
// between transfers and a subclass may override a hook or a constant.
#include <cstdint>
#include <string>
#include <vector>

#include "common/errors.hpp"
#include "common/py.hpp"
#include "tavrin_bfm.hpp"
#include "tavrin_streams.hpp"

namespace corvane::tavrin {

namespace {

constexpr const char* kModule = "corvane.sim.bfms.tavrin";

/// Fixed status words of control descriptors.
constexpr long kReadResponseReset = 1;
constexpr long kReadResponseStop = 2;
constexpr std::uint64_t kWriteResponseReset = std::uint64_t{1} << 33;
constexpr std::uint64_t kWriteResponseStop = std::uint64_t{1} << 34;

/// `endpoint.recv_beat()` result, with the library's duplicate frame dropped (our sinks file
/// none).
nb::object take_beat(nb::handle self, nb::handle endpoint, nb::handle beat) {
    if (bfm_state(self).streams == Streams::Library) {
        drop_duplicate_frame(endpoint, beat);
    }
    return nb::borrow(beat);
}

/// A one-beat frame holding one response word.
nb::object response_frame(nb::handle response) {
    nb::list symbols;
    symbols.append(response);
    return avalon("AvalonSTFrame")(symbols);
}

/// The read engine's refusal of a descriptor it cannot serve on this din stream.
[[noreturn]] void read_error(nb::handle self, nb::handle address, nb::handle length,
                             const std::string& reason) {
    std::string label = py::str(self.attr("din_source").attr("_bus_label")());
    std::string hex_address = py::str(nb::str("%016X") % address);
    std::string time = py::str(py::attr("cocotb.utils", "get_sim_time")());
    raise(PyExc_RuntimeError, label + ": " + reason + "; address=0x" + hex_address +
                                  ", length=" + py::str(length) + ", time=" + time + " ps");
}

/// Why a read length must be a whole number of din beats, and how big a beat is.
std::string alignment_reason(nb::handle self, nb::handle per_beat) {
    std::string reason = "Read DMA BFM requires transfers aligned to the exported din beat";
    if (!bfm_state(self).din_has_empty) {
        reason += " because the component does not expose din_empty";
    }
    return reason + "; din beat is " + py::str(per_beat) + " bytes";
}

/// `numerator // denominator` of Python numbers, as a C++ count.
long long floor_div(nb::handle numerator, nb::handle denominator) {
    return nb::cast<long long>(
        py::steal_checked(PyNumber_FloorDivide(numerator.ptr(), denominator.ptr())));
}

}  // namespace

// Attributes are read into locals before they are passed on: a getter that raises must not leave
// its error pending while the next lookup runs. Each step the engines take is also recorded in
// the side's tracking (tavrin_tracking.hpp), for outstanding(), wait_idle() and the watchdog.

coro::Coroutine read_loop(nb::object self) {
    Side& side = bfm_state(self).read;
    for (;;) {
        nb::object sink = self.attr("rdma_cmd_sink");
        nb::object beat = take_beat(self, sink, co_await sink.attr("recv_beat")());
        nb::object word = beat.attr("data");
        nb::object descriptor = py::attr(kModule, "ReadDMADescriptor").attr("decode")(word);
        Transfer& transfer = side.take(descriptor);
        co_await self.attr("read_commands").attr("put")(descriptor);
        nb::object address = descriptor.attr("address");
        nb::object length = descriptor.attr("length");
        nb::object channel = descriptor.attr("channel");
        nb::object sop = descriptor.attr("generate_sop");
        nb::object eop = descriptor.attr("generate_eop");
        self.attr("_log_transaction")(
            "READ command: address=0x%016x length=%d channel=%d sop=%d eop=%d", address, length,
            channel, sop, eop);

        nb::object response;
        if (py::truthy(descriptor.attr("reset"))) {
            response = nb::int_(kReadResponseReset);
        } else if (py::truthy(descriptor.attr("stop"))) {
            response = nb::int_(kReadResponseStop);
        } else {
            response = self.attr("READ_RESPONSE_DONE");
            if (py::truthy(length)) {
                nb::object per_beat = self.attr("read_data_bytes_per_beat");
                if (py::truthy(length % per_beat)) {
                    transfer.stage = Stage::Refused;
                    read_error(self, address, length, alignment_reason(self, per_beat));
                }
                if (!py::truthy(sop) || !py::truthy(eop)) {
                    transfer.stage = Stage::Refused;
                    read_error(self, address, length,
                               "Read DMA BFM expects packetized read descriptors");
                }
                nb::object data = self.attr("memory").attr("read")(address, length);
                nb::object frame = avalon("AvalonSTFrame")(data, nb::arg("channel") = channel);
                co_await self.attr("din_source").attr("send")(frame);
                side.queued_data(self, transfer, floor_div(length, per_beat));
                self.attr("_log_transaction")(
                    "READ data queued: address=0x%016x length=%d channel=%d", address, length,
                    channel);
            }
        }
        // The response runs on its own: its delay counts from now, whenever the DUT takes din.
        transfer.stage = Stage::Delay;
        transfer.delay = self.attr("read_response_delay_cycles");
        nb::object task = self.attr("_issue_read_response")(descriptor, response);
        py::attr("cocotb", "start_soon")(task);
    }
}

namespace {

coro::Coroutine read_response(nb::object self, nb::object descriptor, nb::object response) {
    Side& side = bfm_state(self).read;
    Transfer* transfer = side.delayed(descriptor);  // none when a test calls this directly
    nb::object clock = self.attr("clock");
    nb::object delay = self.attr("read_response_delay_cycles");
    if (transfer != nullptr) {
        transfer->delay = delay;
    }
    co_await py::attr("cocotb.triggers", "ClockCycles")(clock, delay);
    nb::object frame = response_frame(response);
    co_await self.attr("rdma_resp_source").attr("send")(frame);
    if (transfer != nullptr) {
        side.queued_response(self, *transfer, response);
    }
    co_await self.attr("read_responses").attr("put")(descriptor);
    nb::object address = descriptor.attr("address");
    self.attr("_log_transaction")("READ response queued: address=0x%016x response=0x%x", address,
                                  response);
    co_return nb::none();
}

}  // namespace

coro::Coroutine write_loop(nb::object self) {
    Side& side = bfm_state(self).write;
    for (;;) {
        nb::object sink = self.attr("wdma_cmd_sink");
        nb::object beat = take_beat(self, sink, co_await sink.attr("recv_beat")());
        nb::object word = beat.attr("data");
        nb::object descriptor = py::attr(kModule, "WriteDMADescriptor").attr("decode")(word);
        Transfer& transfer = side.take(descriptor);
        co_await self.attr("write_commands").attr("put")(descriptor);
        nb::object address = descriptor.attr("address");
        nb::object length = descriptor.attr("length");
        nb::object end_on_eop = descriptor.attr("end_on_eop");
        self.attr("_log_transaction")("WRITE command: address=0x%016x length=%d end_on_eop=%d",
                                      address, length, end_on_eop);

        nb::object response;
        if (py::truthy(descriptor.attr("reset"))) {
            response = nb::int_(kWriteResponseReset);
        } else if (py::truthy(descriptor.attr("stop"))) {
            response = nb::int_(kWriteResponseStop);
        } else {
            transfer.stage = Stage::Payload;
            side.collecting = &transfer;
            nb::object payload = co_await self.attr("_receive_write_payload")(length);
            side.collecting = nullptr;
            nb::object clock = self.attr("clock");
            nb::object delay = self.attr("write_response_delay_cycles");
            transfer.stage = Stage::Delay;
            transfer.delay = delay;
            ++side.progress;
            co_await py::attr("cocotb.triggers", "ClockCycles")(clock, delay);
            self.attr("memory").attr("write")(address, payload);
            nb::object shift = self.attr("WRITE_RESPONSE_DONE_SHIFT");
            response = (nb::int_(1) << shift) | length;
            self.attr("_log_transaction")("WRITE data stored: address=0x%016x length=%d", address,
                                          nb::len(payload));
        }
        nb::object frame = response_frame(response);
        co_await self.attr("wdma_resp_source").attr("send")(frame);
        side.queued_response(self, transfer, response);
        co_await self.attr("write_responses").attr("put")(descriptor);
        self.attr("_log_transaction")("WRITE response queued: address=0x%016x response=0x%x",
                                      address, response);
    }
}

namespace {

coro::Coroutine write_payload(nb::object self, nb::object length) {
    // Whole beats only: the bytes of the last beat past `length` belong to no one and are
    // dropped; a beat of the next descriptor is never taken early. Counted in Python integers,
    // so a beat size of 0 or None that a test set fails as Python's arithmetic does.
    Side& side = bfm_state(self).write;
    Transfer* transfer = side.collecting;  // none when a test calls this directly
    nb::object per_beat = self.attr("write_data_bytes_per_beat");
    nb::object rounded_up = length + per_beat - nb::int_(1);
    const long long beats = floor_div(rounded_up, per_beat);
    const long long wanted = nb::cast<long long>(length);
    if (transfer != nullptr) {
        transfer->beats = beats;
        transfer->arrived = 0;
    }
    std::vector<std::uint8_t> payload;  // grows with the beats: a length is not a promise
    for (long long i = 0; i < beats; ++i) {
        nb::object sink = self.attr("dout_sink");
        nb::object beat = take_beat(self, sink, co_await sink.attr("recv_beat")());
        if (transfer != nullptr) {
            ++transfer->arrived;
        }
        ++side.progress;
        for (nb::handle symbol : beat.attr("symbols")) {
            long value = nb::cast<long>(symbol);
            if (value < 0 || value > 255) {
                raise(PyExc_ValueError, "byte must be in range(0, 256)");
            }
            payload.push_back(static_cast<std::uint8_t>(value));
        }
    }
    std::size_t size = wanted > 0 ? static_cast<std::size_t>(wanted) : 0;
    if (payload.size() > size) {
        payload.resize(size);
    }
    co_return nb::bytes(reinterpret_cast<const char*>(payload.data()), payload.size());
}

}  // namespace

nb::object run_reads(nb::handle self) {
    if (bfm_state(self).watchdog_cycles.is_none()) {
        return coro::to_python(read_loop(nb::borrow(self)), "TavrinBFM._run_reads");
    }
    return coro::to_python(watched_engine(nb::borrow(self), true), "TavrinBFM._run_reads");
}

nb::object issue_read_response(nb::handle self, nb::handle descriptor, nb::handle response) {
    return coro::to_python(
        read_response(nb::borrow(self), nb::borrow(descriptor), nb::borrow(response)),
        "TavrinBFM._issue_read_response");
}

nb::object run_writes(nb::handle self) {
    if (bfm_state(self).watchdog_cycles.is_none()) {
        return coro::to_python(write_loop(nb::borrow(self)), "TavrinBFM._run_writes");
    }
    return coro::to_python(watched_engine(nb::borrow(self), false), "TavrinBFM._run_writes");
}

nb::object receive_write_payload(nb::handle self, nb::handle length) {
    return coro::to_python(write_payload(nb::borrow(self), nb::borrow(length)),
                           "TavrinBFM._receive_write_payload");
}

}  // namespace corvane::tavrin

// src/corvane/sim/bfms/tavrin_tracking.cpp: what each side of the DMA model still owes the design.
#include "tavrin_tracking.hpp"

#include "common/py.hpp"
#include "tavrin_labels.hpp"

namespace corvane::tavrin {

namespace {

std::size_t as_size(nb::handle value) {
    return nb::cast<std::size_t>(value);
}

/// " (din_source paused)" when the endpoint's pause flag is set, else "".
std::string paused(nb::handle self, const char* endpoint_attr) {
    nb::object endpoint = self.attr(endpoint_attr);
    if (endpoint.is_none()) {
        return "";
    }
    nb::object pause = optional_attr(endpoint, "pause").value_or(nb::none());
    return py::truthy(pause) ? std::string(" (") + endpoint_attr + " paused)" : "";
}

/// "read address=0x1000 length=64 channel=0" (", reset" / ", stop" for control descriptors).
std::string descriptor_text(const Side& side, nb::handle descriptor, bool read) {
    // One attribute at a time: a getter that raises leaves no error pending for the next.
    nb::object address = descriptor.attr("address");
    nb::object length = descriptor.attr("length");
    std::string text = std::string(side.name) + " " +
                       py::str(nb::str("address=0x{:X} length={}").format(address, length));
    if (read) {
        nb::object channel = descriptor.attr("channel");
        text += " channel=" + py::str(channel);
    }
    nb::object reset = descriptor.attr("reset");
    nb::object stop = descriptor.attr("stop");
    if (py::truthy(reset)) {
        text += ", reset";
    } else if (py::truthy(stop)) {
        text += ", stop";
    }
    return text;
}

}  // namespace

std::size_t frames_pending(nb::handle endpoint) {
    if (endpoint.is_none()) {
        return 0;
    }
    std::size_t pending = 0;
    if (auto count = optional_attr(endpoint, "count")) {
        pending = as_size((*count)());
    }
    // The library keeps `active` set from taking a frame until the design has taken its last beat.
    if (auto active = optional_attr(endpoint, "active"); active && py::truthy(*active)) {
        ++pending;
    }
    return pending;
}

Transfer& Side::take(nb::handle descriptor) {
    Transfer& transfer = transfers.emplace_back();
    transfer.descriptor = nb::borrow(descriptor);
    ++progress;
    if (wake.is_valid()) {
        wake.attr("set")();
    }
    return transfer;
}

Transfer* Side::delayed(nb::handle descriptor) {
    for (Transfer& transfer : transfers) {
        if (transfer.stage == Stage::Delay && transfer.descriptor.is(descriptor)) {
            return &transfer;
        }
    }
    return nullptr;
}

void Side::queued_response(nb::handle self, Transfer& transfer, nb::handle response) {
    transfer.stage = Stage::Response;
    transfer.response = nb::borrow(response);
    response_frames.push_back(&transfer);
    ++progress;
    prune(self);
}

void Side::queued_data(nb::handle /*self*/, Transfer& transfer, long long frame_beats) {
    transfer.data_queued = true;
    transfer.beats = frame_beats;
    data_frames.push_back(&transfer);
    ++progress;
}

void Side::prune(nb::handle self) {
    // Frames go out in the order they were queued: all but the last `pending` are taken.
    if (!response_frames.empty()) {
        const std::size_t pending = frames_pending(self.attr(response_source));
        while (response_frames.size() > pending) {
            response_frames.front()->response_taken = true;
            response_frames.pop_front();
        }
    }
    if (!data_frames.empty()) {
        const std::size_t pending = frames_pending(self.attr(data_endpoint));
        while (data_frames.size() > pending) {
            data_frames.front()->data_taken = true;
            data_frames.pop_front();
        }
    }
    transfers.remove_if([](const Transfer& transfer) {
        return transfer.stage == Stage::Response && transfer.response_taken &&
               (!transfer.data_queued || transfer.data_taken);
    });
}

std::size_t Side::waiting_beats(nb::handle self) const {
    nb::object endpoint = self.attr(sink);
    if (endpoint.is_none()) {
        return 0;
    }
    // The library files every beat in a beat queue (and, once taken, the model drops the
    // duplicate frame), so either queue counts the beats no engine has taken.
    if (auto beats = optional_attr(endpoint, "beat_queue")) {
        return as_size(beats->attr("qsize")());
    }
    if (auto count = optional_attr(endpoint, "count")) {
        return as_size((*count)());
    }
    return 0;
}

void Side::describe(nb::handle self, const std::string& engine_note,
                    std::vector<std::string>& lines) const {
    const bool read = std::string(data_stream) == "din";
    for (const Transfer& transfer : transfers) {
        std::vector<std::string> parts;
        switch (transfer.stage) {
            case Stage::Taken:
                parts.push_back(std::string("taken off ") + command_stream + ", being served" +
                                engine_note);
                break;
            case Stage::Refused:
                parts.push_back(
                    "refused by the read engine, which stopped with an error: no data "
                    "and no response will follow");
                break;
            case Stage::Payload:
                parts.push_back(
                    "waiting for write data on dout: " + std::to_string(transfer.arrived) + " of " +
                    std::to_string(transfer.beats) + " beats arrived" +
                    paused(self, data_endpoint) + engine_note);
                break;
            case Stage::Delay:
                parts.push_back(std::string("in the ") + name + " response delay (" +
                                py::str(transfer.delay) + " clock cycles)");
                break;
            case Stage::Response:
                if (!transfer.response_taken) {
                    parts.push_back(py::str(nb::str("response 0x{:x}").format(transfer.response)) +
                                    " queued on " + response_stream +
                                    ", not yet taken by the design" +
                                    paused(self, response_source));
                }
                break;
        }
        if (transfer.data_queued && !transfer.data_taken) {
            parts.push_back("read data (" + std::to_string(transfer.beats) +
                            " beats) queued on din, not yet all taken by the design" +
                            paused(self, data_endpoint));
        }
        std::string line = descriptor_text(*this, transfer.descriptor, read) + ": ";
        for (std::size_t i = 0; i < parts.size(); ++i) {
            line += (i == 0 ? "" : "; ") + parts[i];
        }
        lines.push_back(line);
    }
    if (const std::size_t beats = waiting_beats(self)) {
        lines.push_back(std::string(name) + ": " + std::to_string(beats) + " command beat" +
                        (beats == 1 ? " waits" : "s wait") + " in " + sink +
                        ", taken by no engine" + engine_note);
    }
}

}  // namespace corvane::tavrin

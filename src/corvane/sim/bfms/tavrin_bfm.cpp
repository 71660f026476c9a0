// src/corvane/sim/bfms/tavrin_bfm.cpp: TavrinBFM construction, modes, endpoints, start and stop.
#include "tavrin_bfm.hpp"

#include <initializer_list>
#include <string>

#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/py.hpp"
#include "tavrin_labels.hpp"
#include "tavrin_streams.hpp"
#include "tavrin_wiring.hpp"

namespace corvane::tavrin {

namespace {

constexpr const char* kModule = "corvane.sim.bfms.tavrin";

/// The six endpoint attributes, in the order they are set and cancelled.
constexpr const char* kEndpoints[] = {"rdma_cmd_sink",    "rdma_resp_source", "wdma_cmd_sink",
                                      "wdma_resp_source", "din_source",       "dout_sink"};

bool negative(nb::handle value) {
    int result = PyObject_RichCompareBool(value.ptr(), nb::int_(0).ptr(), Py_LT);
    if (result < 0) {
        throw nb::python_error();
    }
    return result == 1;
}

/// The bus given by the test, or the one found on the DUT by its signal prefix.
template <class Prefix>
nb::object bus_or_lookup(nb::handle dut, Prefix prefix, nb::handle bus) {
    if (!bus.is_none()) {
        return nb::borrow(bus);
    }
    return avalon("AvalonSTBus").attr("from_prefix")(dut, prefix);
}

/// One symbol per beat as wide as the whole data bus: a beat's symbol is the whole word.
nb::object control_format(nb::handle bus) {
    return avalon("AvalonFormat")(
        nb::arg("bits_per_symbol") = nb::len(nb::object(bus.attr("data"))),
        nb::arg("symbols_per_beat") = 1);
}

/// `max(values)` of Python ints.
nb::object largest(std::initializer_list<nb::object> values) {
    nb::list all;
    for (const nb::object& value : values) {
        all.append(value);
    }
    return py::attr("builtins", "max")(all);
}

/// The largest word each response stream carries: the done words built from the class
/// constants (as the engines build them), and the fixed reset and stop words.
nb::object widest_read_response(nb::handle self) {
    return largest({nb::int_(1), nb::int_(2), self.attr("READ_RESPONSE_DONE")});
}
nb::object widest_write_response(nb::handle self) {
    nb::object shift = self.attr("WRITE_RESPONSE_DONE_SHIFT");
    nb::object done = (nb::int_(1) << shift) | nb::int_(0xFFFFFFFF);
    return largest({nb::int_(1) << nb::int_(33), nb::int_(1) << nb::int_(34), done});
}

/// `watchdog_cycles`: None, or a positive number of clock cycles.
nb::object checked_watchdog(nb::handle value) {
    if (value.is_none()) {
        return nb::none();
    }
    nb::object cycles = py::steal_checked(PyNumber_Index(value.ptr()));
    if (cycles <= nb::int_(0)) {
        raise(PyExc_ValueError,
              "watchdog_cycles must be None or a positive number of clock "
              "cycles, got " +
                  py::str(cycles));
    }
    return cycles;
}

/// The signal `name` of a bus, or an invalid handle when it has none.
nb::object bus_signal(nb::handle bus, const char* name) {
    return optional_attr(bus, name).value_or(nb::object());
}

}  // namespace

Bfm& bfm_state(nb::handle self) {
    if (!nb::isinstance<Bfm>(self)) {
        raise(PyExc_TypeError,
              "expected a TavrinBFM, got " +
                  py::str(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())))
                              .attr("__qualname__")));
    }
    return *nb::inst_ptr<Bfm>(self);
}

nb::tuple decode_mode(nb::handle mode) {
    nb::object text =
        nb::str(mode).attr("lower")().attr("replace")("-", "_").attr("replace")(" ", "_");
    // Compared as Python text: a NUL inside the mode must not cut it short, and text that has
    // no UTF-8 form (lone surrogates) is simply not a mode.
    auto is_one_of = [&](std::initializer_list<const char*> names) {
        for (const char* name : names) {
            if (PyUnicode_Check(text.ptr()) && PyUnicode_EqualToUTF8(text.ptr(), name) == 1) {
                return true;
            }
        }
        return false;
    };
    if (is_one_of({"full", "read_write", "readwrite"})) {
        return nb::make_tuple(true, true);
    }
    if (is_one_of({"read", "read_only", "readonly"})) {
        return nb::make_tuple(true, false);
    }
    if (is_one_of({"write", "write_only", "writeonly"})) {
        return nb::make_tuple(false, true);
    }
    raise(PyExc_ValueError,
          "TavrinBFM mode must be 'full', 'read', 'read_only', 'write', or 'write_only'");
}

nb::object make_byte_stream_format(nb::handle, nb::handle bus) {
    Py_ssize_t width = static_cast<Py_ssize_t>(nb::len(nb::object(bus.attr("data"))));
    if (width % 8 != 0) {
        std::string label = py::str(py::attr(kModule, "_avalon_st_label")(bus));
        raise(PyExc_ValueError, label + ": DMA data bus width must be byte-aligned");
    }
    return avalon("AvalonFormat")(nb::arg("bits_per_symbol") = 8,
                                  nb::arg("symbols_per_beat") = width / 8,
                                  nb::arg("first_symbol_in_high_order_bits") = true);
}

namespace {

/// What a command sink and a response source are built from: the bus (looked up by prefix when
/// not given), its one-word format, and the model's clock, reset and reset level.
struct ControlParts {
    nb::object bus, format, clock, reset;
    bool level;
    Streams streams;
};

ControlParts control_parts(nb::handle self, nb::handle prefix, nb::handle bus) {
    const Bfm& state = bfm_state(self);
    nb::object dut = self.attr("dut");
    nb::object resolved = bus_or_lookup(dut, prefix, bus);
    nb::object format = control_format(resolved);
    nb::object clock = self.attr("clock");
    nb::object reset = self.attr("reset");
    return {resolved, format, clock, reset, state.reset_active_level, state.streams};
}

}  // namespace

nb::object make_control_sink(nb::handle self, nb::handle prefix, nb::handle bus) {
    const ControlParts p = control_parts(self, prefix, bus);
    // The library calls its format parameter `fmt`, so it goes by position.
    return endpoint_class(p.streams, "Sink")(p.bus, p.format, p.clock, nb::arg("reset") = p.reset,
                                             nb::arg("reset_active_level") = p.level,
                                             nb::arg("packets") = false);
}

nb::object make_control_source(nb::handle self, nb::handle prefix, nb::handle bus) {
    const ControlParts p = control_parts(self, prefix, bus);
    return endpoint_class(p.streams, "Source")(p.bus, p.format, p.clock, nb::arg("reset") = p.reset,
                                               nb::arg("reset_active_level") = p.level,
                                               nb::arg("packets") = false,
                                               nb::arg("idle_value") = 0);
}

void log_transaction(nb::handle self, nb::handle message, nb::args args) {
    nb::object logger = self.attr("log");
    if (log::enabled(logger, log::DEBUG)) {
        logger.attr("log")(log::DEBUG, message, *args);
    }
}

void bfm_init(nb::handle self, const BfmArgs& a) {
    Bfm& state = bfm_state(self);
    if (negative(a.read_response_delay_cycles) || negative(a.write_response_delay_cycles)) {
        raise(PyExc_ValueError, "DMA response delays must be non-negative");
    }
    // Unpacked like `enable_read, enable_write = ...`, so an override returning another shape
    // fails the way Python would.
    std::vector<nb::object> enables = py::unpack(self.attr("_decode_mode")(a.mode), 2);
    const nb::object& enable_read = enables[0];
    const nb::object& enable_write = enables[1];
    state.watchdog_cycles = checked_watchdog(a.watchdog_cycles);
    state.reset_active_level = py::truthy(a.reset_active_level);
    state.streams = parse_streams(a.streams, "TavrinBFM");
    self.attr("enable_read") = enable_read;
    self.attr("enable_write") = enable_write;

    std::string logger_name = "cocotb." + py::str(a.dut.attr("_name")) + ".tavrin_bfm";
    self.attr("log") = log::get_logger(logger_name.c_str());
    self.attr("dut") = a.dut;
    self.attr("clock") = a.clock;
    self.attr("reset") = a.reset;
    // Identity, not truth: an empty memory the test passes in is still the one to share.
    self.attr("memory") =
        a.memory.is_none() ? py::attr(kModule, "SparseByteMemory")() : nb::borrow(a.memory);
    self.attr("read_response_delay_cycles") = a.read_response_delay_cycles;
    self.attr("write_response_delay_cycles") = a.write_response_delay_cycles;

    for (const char* queue :
         {"read_commands", "write_commands", "read_responses", "write_responses"}) {
        self.attr(queue) = py::attr("cocotb.queue", "Queue")();  // no size limit
    }
    self.attr("_tasks") = nb::list();
    for (const char* endpoint : kEndpoints) {
        self.attr(endpoint) = nb::none();
    }
    self.attr("read_data_bytes_per_beat") = nb::none();
    self.attr("write_data_bytes_per_beat") = nb::none();

    // Every stream of the modelled sides is found and checked before any endpoint exists, so
    // a wiring mistake leaves nothing running behind the ValueError.
    const bool reads = py::truthy(enable_read), writes = py::truthy(enable_write);
    nb::object rdma_cmd, rdma_resp, din, din_format, wdma_cmd, wdma_resp, dout, dout_format;
    if (reads) {
        rdma_cmd = bus_or_lookup(a.dut, "rdma_cmd", a.rdma_cmd_bus);
        check_stream(rdma_cmd, StreamKind::ReadCommand);
        rdma_resp = bus_or_lookup(a.dut, "rdma_resp", a.rdma_resp_bus);
        check_stream(rdma_resp, StreamKind::ReadResponse, widest_read_response(self));
        din = bus_or_lookup(a.dut, "din", a.din_bus);
        check_stream(din, StreamKind::Data);
        din_format = self.attr("_make_byte_stream_format")(din);
    }
    if (writes) {
        wdma_cmd = bus_or_lookup(a.dut, "wdma_cmd", a.wdma_cmd_bus);
        check_stream(wdma_cmd, StreamKind::WriteCommand);
        wdma_resp = bus_or_lookup(a.dut, "wdma_resp", a.wdma_resp_bus);
        check_stream(wdma_resp, StreamKind::WriteResponse, widest_write_response(self));
        dout = bus_or_lookup(a.dut, "dout", a.dout_bus);
        check_stream(dout, StreamKind::Data);
        dout_format = self.attr("_make_byte_stream_format")(dout);
    }

    const bool level = state.reset_active_level;
    if (reads) {
        self.attr("rdma_cmd_sink") = self.attr("_make_control_sink")("rdma_cmd", rdma_cmd);
        self.attr("rdma_resp_source") = self.attr("_make_control_source")("rdma_resp", rdma_resp);
        nb::object source = endpoint_class(state.streams, "Source")(
            din, din_format, a.clock, nb::arg("reset") = a.reset,
            nb::arg("reset_active_level") = level, nb::arg("packets") = true,
            nb::arg("idle_value") = 0);
        self.attr("din_source") = source;
        self.attr("read_data_bytes_per_beat") = source.attr("symbols_per_beat");
        nb::object empty = bus_signal(din, "empty");
        state.din_has_empty = empty.is_valid() && !empty.is_none();
        state.din_valid = bus_signal(din, "valid");
        state.din_ready = bus_signal(din, "ready");
    }
    if (writes) {
        self.attr("wdma_cmd_sink") = self.attr("_make_control_sink")("wdma_cmd", wdma_cmd);
        self.attr("wdma_resp_source") = self.attr("_make_control_source")("wdma_resp", wdma_resp);
        nb::object sink = endpoint_class(state.streams, "Sink")(
            dout, dout_format, a.clock, nb::arg("reset") = a.reset,
            nb::arg("reset_active_level") = level, nb::arg("packets") = false);
        self.attr("dout_sink") = sink;
        self.attr("write_data_bytes_per_beat") = sink.attr("symbols_per_beat");
    }
    nb::object read_beat = self.attr("read_data_bytes_per_beat");
    self.attr("data_bytes_per_beat") =
        read_beat.is_none() ? nb::object(self.attr("write_data_bytes_per_beat")) : read_beat;

    nb::object read_bytes = self.attr("read_data_bytes_per_beat");
    nb::object write_bytes = self.attr("write_data_bytes_per_beat");
    log::info(self.attr("log"),
              "Created DMA BFM: mode=%s, read_beat=%s bytes, write_beat=%s bytes, "
              "read_response_delay=%d cycles, write_response_delay=%d cycles, "
              "transaction_level=%s",
              a.mode, read_bytes, write_bytes, a.read_response_delay_cycles,
              a.write_response_delay_cycles, log::DEBUG);
}

void bfm_start(nb::handle self) {
    if (nb::len(nb::object(self.attr("_tasks"))) != 0) {
        return;
    }
    bfm_state(self).started = true;
    for (auto [enable, engine] :
         {std::pair{"enable_read", "_run_reads"}, std::pair{"enable_write", "_run_writes"}}) {
        if (py::truthy(self.attr(enable))) {
            nb::object task = py::attr("cocotb", "start_soon")(self.attr(engine)());
            self.attr("_tasks").attr("append")(task);
        }
    }
}

void bfm_stop(nb::handle self) {
    nb::object tasks = self.attr("_tasks");
    for (nb::handle task : tasks) {
        task.attr("cancel")();
    }
    self.attr("_tasks") = nb::list();
    for (const char* name : kEndpoints) {
        nb::object endpoint = self.attr(name);
        if (!endpoint.is_none()) {
            endpoint.attr("cancel")();
        }
    }
}

}  // namespace corvane::tavrin

// src/corvane/sim/bfms/tavrin_bfm.cpp: TavrinBFM construction, modes, endpoints, start and stop.
#include "tavrin_bfm.hpp"

#include <initializer_list>
#include <string>

#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/py.hpp"
#include "tavrin_streams.hpp"

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

}  // namespace

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

nb::object make_control_sink(nb::handle self, nb::handle prefix, nb::handle bus) {
    nb::object resolved = bus_or_lookup(self.attr("dut"), prefix, bus);
    // The library calls its format parameter `fmt`, so it goes by position.
    return avalon("AvalonSTSink")(resolved, control_format(resolved), self.attr("clock"),
                                  nb::arg("reset") = self.attr("reset"),
                                  nb::arg("packets") = false);
}

nb::object make_control_source(nb::handle self, nb::handle prefix, nb::handle bus) {
    nb::object resolved = bus_or_lookup(self.attr("dut"), prefix, bus);
    return avalon("AvalonSTSource")(resolved, control_format(resolved), self.attr("clock"),
                                    nb::arg("reset") = self.attr("reset"),
                                    nb::arg("packets") = false, nb::arg("idle_value") = 0);
}

void log_transaction(nb::handle self, nb::handle message, nb::args args) {
    nb::object logger = self.attr("log");
    if (log::enabled(logger, log::DEBUG)) {
        logger.attr("log")(log::DEBUG, message, *args);
    }
}

void bfm_init(nb::handle self, const BfmArgs& a) {
    if (negative(a.read_response_delay_cycles) || negative(a.write_response_delay_cycles)) {
        raise(PyExc_ValueError, "DMA response delays must be non-negative");
    }
    // Unpacked like `enable_read, enable_write = ...`, so an override returning another shape
    // fails the way Python would.
    std::vector<nb::object> enables = py::unpack(self.attr("_decode_mode")(a.mode), 2);
    const nb::object& enable_read = enables[0];
    const nb::object& enable_write = enables[1];
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

    if (py::truthy(enable_read)) {
        self.attr("rdma_cmd_sink") = self.attr("_make_control_sink")("rdma_cmd", a.rdma_cmd_bus);
        self.attr("rdma_resp_source") =
            self.attr("_make_control_source")("rdma_resp", a.rdma_resp_bus);
        nb::object din_bus = bus_or_lookup(a.dut, "din", a.din_bus);
        nb::object source = avalon("AvalonSTSource")(
            din_bus, self.attr("_make_byte_stream_format")(din_bus), a.clock,
            nb::arg("reset") = a.reset, nb::arg("packets") = true, nb::arg("idle_value") = 0);
        self.attr("din_source") = source;
        self.attr("read_data_bytes_per_beat") = source.attr("symbols_per_beat");
    }
    if (py::truthy(enable_write)) {
        self.attr("wdma_cmd_sink") = self.attr("_make_control_sink")("wdma_cmd", a.wdma_cmd_bus);
        self.attr("wdma_resp_source") =
            self.attr("_make_control_source")("wdma_resp", a.wdma_resp_bus);
        nb::object dout_bus = bus_or_lookup(a.dut, "dout", a.dout_bus);
        nb::object sink =
            avalon("AvalonSTSink")(dout_bus, self.attr("_make_byte_stream_format")(dout_bus),
                                   a.clock, nb::arg("reset") = a.reset, nb::arg("packets") = false);
        self.attr("dout_sink") = sink;
        self.attr("write_data_bytes_per_beat") = sink.attr("symbols_per_beat");
    }
    nb::object read_beat = self.attr("read_data_bytes_per_beat");
    self.attr("data_bytes_per_beat") =
        read_beat.is_none() ? self.attr("write_data_bytes_per_beat") : read_beat;

    log::info(self.attr("log"),
              "Created DMA BFM: mode=%s, read_beat=%s bytes, write_beat=%s bytes, "
              "read_response_delay=%d cycles, write_response_delay=%d cycles, "
              "transaction_level=%s",
              a.mode, self.attr("read_data_bytes_per_beat"), self.attr("write_data_bytes_per_beat"),
              a.read_response_delay_cycles, a.write_response_delay_cycles, log::DEBUG);
}

void bfm_start(nb::handle self) {
    if (nb::len(nb::object(self.attr("_tasks"))) != 0) {
        return;
    }
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

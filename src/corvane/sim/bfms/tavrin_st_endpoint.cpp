// src/corvane/sim/bfms/tavrin_st_endpoint.cpp: what the native Avalon-ST endpoints share.
//
// Construction checks, the reset watcher and the pause generator, in the order and with the
// triggers of cocotbext-avalon's base classes, so that the tasks interleave with everything
// else in the simulation exactly as the library's do.
#include <optional>
#include <string>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/log.hpp"
#include "common/py.hpp"
#include "tavrin_labels.hpp"
#include "tavrin_st.hpp"

namespace corvane::tavrin::st {

namespace {

bool reset_asserted(const Endpoint& ep) {
    if (ep.reset.is_none()) {
        return false;
    }
    // An X/Z reset counts as asserted, whatever its polarity.
    return ep.reset_line.flag(ep.gpi, ep.reset_active_level) == ep.reset_active_level;
}

coro::Coroutine reset_watcher(nb::object self, Endpoint* ep) {
    nb::object change = ep->reset.attr("value_change");
    for (;;) {
        co_await change;
        bool asserted = reset_asserted(*ep);
        if (asserted != ep->reset_state) {
            ep->reset_state = asserted;
            ep->on_reset(self, asserted);
        }
    }
}

coro::Coroutine pause_runner([[maybe_unused]] nb::object self, Endpoint* ep, nb::object generator) {
    nb::object items = py::steal_checked(PyObject_GetIter(generator.ptr()));
    for (;;) {
        nb::object item = nb::steal(PyIter_Next(items.ptr()));
        if (!item.is_valid()) {
            if (PyErr_Occurred() != nullptr) {
                throw nb::python_error();
            }
            co_return nb::none();  // the pattern ended; the flag keeps its last value
        }
        set_pause(*ep, item);
        co_await ep->edge;
    }
}

/// `hasattr(bus, name)` and the signal behind it.
Line optional_line(const Endpoint& ep, const char* name) {
    std::optional<nb::object> signal = optional_attr(ep.bus, name);
    if (!signal) {
        return {};
    }
    return Line(*signal, ep.label, name);
}

}  // namespace

nb::object start_task(nb::object coroutine) {
    return py::attr("cocotb", "start_soon")(coroutine);
}

void cancel_task(nb::object& task) {
    if (task.is_valid() && !task.is_none()) {
        nb::object running = std::move(task);
        running.attr("cancel")();
    }
    task = nb::object();
}

void init_endpoint(Endpoint& ep, const char* kind, nb::handle bus, nb::handle fmt, nb::handle clock,
                   const Options& options) {
    ep.kind = kind;
    if (!nb::isinstance(fmt, py::attr("cocotbext.avalon", "AvalonFormat"))) {
        raise(PyExc_TypeError, "fmt must be an AvalonFormat");
    }
    ep.fmt = nb::borrow(fmt);
    nb::object latency = nb::borrow(options.ready_latency);
    nb::object allowance =
        options.ready_allowance.is_none() ? latency : nb::borrow(options.ready_allowance);
    if (!latency.equal(nb::int_(0)) || !allowance.equal(nb::int_(0))) {
        raise(PyExc_NotImplementedError,
              "Native Avalon-ST endpoints support only ready_latency=0 (RL=0 RA=0), got RL=" +
                  py::str(latency) + " RA=" + py::str(allowance) +
                  "; use cocotbext.avalon's endpoints for RL=1");
    }
    ep.bus = nb::borrow(bus);
    ep.clock = nb::borrow(clock);
    ep.reset = nb::borrow(options.reset);
    ep.reset_active_level = py::truthy(options.reset_active_level);
    ep.label = py::str(avalon_st_label(bus));
    ep.log = log::get_logger(("cocotb." + ep.label + "." + kind).c_str());
    log::info(ep.log, "Avalon-ST %s on %s", kind, ep.label.c_str());

    ep.data = Line(nb::object(bus.attr("data")), ep.label, "data");
    ep.valid = optional_line(ep, "valid");
    ep.ready = optional_line(ep, "ready");
    ep.sop = optional_line(ep, "startofpacket");
    ep.eop = optional_line(ep, "endofpacket");
    ep.empty = optional_line(ep, "empty");
    ep.error = optional_line(ep, "error");
    ep.channel = optional_line(ep, "channel");
    if (!ep.reset.is_none()) {
        ep.reset_line = Line(ep.reset, ep.label, "reset");
    }

    const bool packet_signals = ep.sop && ep.eop;
    ep.packets = options.packets.is_none() ? packet_signals : py::truthy(options.packets);
    if (ep.packets && !packet_signals) {
        raise(PyExc_ValueError,
              ep.label + ": packets=True requires startofpacket and endofpacket signals");
    }
    ep.width = ep.data.width();
    ep.bits_per_symbol = nb::cast<int>(fmt.attr("bits_per_symbol"));
    ep.symbols_per_beat = nb::cast<int>(fmt.attr("symbols_per_beat"));
    ep.first_high = py::truthy(fmt.attr("first_symbol_in_high_order_bits"));
    if (ep.bits_per_symbol * ep.symbols_per_beat != ep.width) {
        raise(PyExc_ValueError,
              ep.label + ": AvalonFormat payload_width must match Avalon-ST data width (" +
                  std::to_string(ep.bits_per_symbol * ep.symbols_per_beat) +
                  " != " + std::to_string(ep.width) + ")");
    }

    ep.gpi.schedule_write = py::attr("cocotb.handle", "_schedule_write");
    ep.gpi.deposit = py::attr("cocotb.handle", "_GPISetAction").attr("DEPOSIT");
    ep.gpi.deposit_code = ep.gpi.deposit.attr("value");
    ep.gpi.direct = py::truthy(py::attr("cocotb.handle", "_trust_inertial"));
    ep.gpi.sim_time = py::attr("cocotb.simulator", "get_sim_time");
    ep.gpi.resolve_x = py::attr("cocotb.types._resolve", "RESOLVE_X");
    ep.edge = py::attr("cocotb.triggers", "RisingEdge")(clock);
    ep.wake_event = py::attr("cocotb.triggers", "Event")();
    ep.wake_trigger = ep.wake_event.attr("wait")();
}

void start_reset_control(nb::handle self, Endpoint& ep) {
    ep.reset_state = reset_asserted(ep);
    if (!ep.reset.is_none()) {
        ep.reset_task = start_task(
            coro::to_python(reset_watcher(nb::borrow(self), &ep), "TavrinST._run_reset_monitor"));
    }
    ep.on_reset(self, ep.reset_state);
}

void Endpoint::on_reset(nb::handle self, bool asserted) {
    if (asserted) {
        cancel_task(run_task);
        active = false;
    } else if (!run_task.is_valid()) {
        run_task = start_task(make_run(self));
    }
}

void set_pause(Endpoint& ep, nb::handle value) {
    bool paused = py::truthy(value);
    if (paused != ep.pause) {
        ep.on_pause_change();
    }
    ep.pause = paused;
}

void set_pause_generator(nb::handle self, Endpoint& ep, nb::handle generator) {
    clear_pause_generator(ep);
    ep.pause_generator = nb::borrow(generator);
    if (!generator.is_none()) {
        ep.pause_task = start_task(coro::to_python(
            pause_runner(nb::borrow(self), &ep, nb::borrow(generator)), "TavrinST._run_pause"));
    }
}

void clear_pause_generator(Endpoint& ep) {
    cancel_task(ep.pause_task);
    ep.pause_generator = nb::none();
}

void cancel_tasks(Endpoint& ep) {
    cancel_task(ep.reset_task);
    cancel_task(ep.run_task);
}

int Endpoint::visit(visitproc visit, void* arg) const {
    for (const nb::object* object :
         {&bus, &fmt, &clock, &reset, &log, &edge, &wake_event, &wake_trigger, &run_task,
          &reset_task, &pause_generator, &pause_task}) {
        Py_VISIT(object->ptr());
    }
    return 0;
}

void Endpoint::clear() {
    for (nb::object* object : {&run_task, &reset_task, &pause_generator, &pause_task, &wake_trigger,
                               &wake_event, &edge, &log, &reset, &clock, &fmt, &bus}) {
        object->reset();
    }
}

}  // namespace corvane::tavrin::st

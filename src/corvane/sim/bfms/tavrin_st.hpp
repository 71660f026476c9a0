// src/corvane/sim/bfms/tavrin_st.hpp: native Avalon-ST source, sink and monitor (ready latency 0).
//
// The endpoints take cocotbext-avalon's bus, format and frame objects and behave on the wire
// like its AvalonSTSource, AvalonSTSink and AvalonSTMonitor, cycle for cycle: the same tasks
// (reset watcher, run loop, valid/ready watchers, pause generator) are started in the same order
// and wait on the same triggers and events, so cocotb's scheduler interleaves them exactly as it
// interleaves the library's. What differs is the cost of a cycle: a signal is written only when
// its value changes, reads go to the simulator handle without building LogicArray objects,
// beats are packed from bytes in one step, and nothing is queued that no one reads.
//
// Every task's coroutine takes the endpoint's Python object as its first parameter: that keeps
// the endpoint alive while the task runs and shows the cycle endpoint -> task -> coroutine ->
// endpoint to the cyclic GC; the C++ pointer beside it is that object's state.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <deque>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::tavrin::st {

namespace nb = nanobind;

/// cocotb's write scheduler and clock, fetched once per endpoint.
struct Gpi {
    nb::object schedule_write;  ///< cocotb.handle._schedule_write
    nb::object deposit;         ///< cocotb.handle._GPISetAction.DEPOSIT
    nb::object deposit_code;    ///< its value, what the simulator handle takes
    bool direct = false;        ///< COCOTB_TRUST_INERTIAL_WRITES: cocotb writes at once
    nb::object sim_time;        ///< cocotb.simulator.get_sim_time
    nb::object resolve_x;       ///< cocotb's COCOTB_RESOLVE_X resolver, or None

    /// The simulator's time in its own steps (what cocotb's get_sim_time() returns).
    std::uint64_t now() const;
};

/// One signal of a bus: its simulator accessors and the value this endpoint last wrote to it.
class Line {
  public:
    Line() = default;
    /// Bind `signal` (a cocotb logic handle) of bus `label` named `name`.
    Line(nb::handle signal, const std::string& label, const char* name);

    explicit operator bool() const { return handle_.is_valid(); }
    int width() const { return width_; }
    nb::handle handle() const { return handle_; }

    /// The value's characters as the simulator gives them ("01XZ..."), resolved as cocotb
    /// would when COCOTB_RESOLVE_X is set.
    nb::object read(const Gpi& gpi) const;
    /// `bool(int(value))`, or `fallback` when the value has bits other than 0/1.
    bool flag(const Gpi& gpi, bool fallback) const;
    /// The value as an integer; false when it has bits other than 0/1.
    bool read_int(const Gpi& gpi, nb::object& value) const;
    /// The value as big-endian bytes of ceil(width/8); false when it has bits other than 0/1.
    bool read_bytes(const Gpi& gpi, std::vector<std::uint8_t>& word) const;

    /// Schedule a write of `bits` (width characters), unless this is the value last written.
    void drive(const Gpi& gpi, std::string_view bits);
    /// `signal.value = Immediate(value)` through cocotb (construction only).
    void drive_immediate(nb::handle value, std::string bits);
    /// The value this endpoint last wrote, if it wrote one.
    bool last_flag() const { return known_ && last_.find('1') != std::string::npos; }

    /// "0"/"1"... text of `value` for this signal; ValueError (cocotb's text) when it does not fit.
    std::string bits_of(nb::handle value) const;
    /// The same for a small non-negative number (start/end of packet, empty).
    std::string bits_of(std::uint64_t value) const;
    /// `width` copies of `bit`.
    std::string fill(char bit) const { return std::string(static_cast<size_t>(width_), bit); }
    /// Text of the low `width` bits of a big-endian byte string.
    std::string bits_of_bytes(const std::uint8_t* word, size_t size) const;

  private:
    nb::object handle_, get_, set_int_, set_bits_;
    int width_ = 0;
    bool by_int_ = false;  // cocotb writes vectors of up to 32 bits as integers
    bool known_ = false;
    std::string last_;
};

/// A received beat; `data` and `symbols` are built from the bytes when first asked for.
struct Beat {
    std::vector<std::uint8_t> word;  ///< the data word, big-endian
    int width = 0, bits_per_symbol = 0, symbols_per_beat = 0, kept = 0;
    bool first_high = false;
    int sop = 0, eop = 0;
    long long empty = 0;
    nb::object error, channel;  ///< ints
    std::uint64_t sim_time = 0;
    nb::object data_;  ///< cached int

    nb::object data();
    nb::list symbols();
};

/// The idle value of a source between beats.
enum class Idle { x, random, zeros, ones };

/// What every endpoint shares: the bus, its format, reset control and the pause flag.
struct Endpoint {
    virtual ~Endpoint() = default;

    const char* kind = "";  ///< "source", "sink" or "monitor"
    nb::object bus, fmt, clock, reset, log;
    std::string label;
    bool reset_active_level = true;
    int width = 0, bits_per_symbol = 0, symbols_per_beat = 0;
    bool first_high = false, packets = false;
    Line data, valid, ready, sop, eop, empty, error, channel;
    Line reset_line;
    Gpi gpi;
    nb::object edge;          ///< RisingEdge(clock)
    nb::object wake_event;    ///< cocotb Event the run loop sleeps on
    nb::object wake_trigger;  ///< wake_event.wait()

    bool reset_state = true;
    bool active = false;
    nb::object run_task, reset_task;

    bool pause = false;
    nb::object pause_generator, pause_task;

    /// Tasks the endpoint starts; the run loop is started again after each reset.
    virtual nb::object make_run(nb::handle self) = 0;
    /// What a change of the reset state does (the library's _handle_reset).
    virtual void on_reset(nb::handle self, bool asserted);
    /// What a change of `pause` does besides storing it.
    virtual void on_pause_change() {}

    /// The GC's view of every Python object held here.
    int visit(visitproc visit, void* arg) const;
    void clear();
};

/// A source: frames in, beats out.
struct Source : Endpoint {
    Idle idle = Idle::x;
    nb::object idle_value;
    std::deque<nb::object> queue;  ///< frames waiting
    nb::object idle_event, active_event, active_trigger;

    /// The frame on the bus (`current_frame`), flattened when it was taken from the queue.
    struct Current {
        nb::object frame;
        std::vector<std::uint8_t> bytes;  ///< 8-bit symbols
        nb::object symbols;               ///< other widths: a list or tuple of ints
        size_t length = 0, offset = 0;
        nb::object channel, error;  ///< list/tuple per symbol, or nullptr
        std::string channel_bits, error_bits;
    } current;
    bool on_bus() const { return current.frame.is_valid(); }

    nb::object make_run(nb::handle self) override;
    void on_reset(nb::handle self, bool asserted) override;
    int visit(visitproc visit, void* arg) const;
    void clear();
};

/// A passive monitor: beats of every valid-and-ready handshake.
struct Monitor : Endpoint {
    std::deque<nb::object> beats;  ///< beats waiting
    /// A recv_beat() waiting for a beat: the cocotb Event that wakes it and its trigger.
    struct Getter {
        nb::object event, trigger;
        std::uint64_t id = 0;
        size_t wanted = 1;  ///< beats it waits for
    };
    std::deque<Getter> getters;  ///< in arrival order
    std::deque<Getter> spare;    ///< Events of getters that were woken, for reuse
    std::uint64_t getter_ids = 0;
    std::vector<nb::object> beat_waiters;  ///< Events of wait() calls
    std::vector<nb::object> watch_tasks;   ///< valid/ready watchers
    bool open = false;                     ///< inside a packet
    std::uint64_t open_start = 0;
    size_t open_symbols = 0;

    nb::object make_run(nb::handle self) override;
    int visit(visitproc visit, void* arg) const;
    void clear();

    /// Capture the beat on the bus and file it (the library's _capture_beat/_process_beat).
    void take_beat(nb::handle self);
    /// `recv_beat_nowait()`; the caller has checked that a beat waits.
    nb::object pop_beat();
};

/// A sink: a monitor that drives ready and can pause.
struct Sink : Monitor {
    nb::object make_run(nb::handle self) override;
    void on_reset(nb::handle self, bool asserted) override;
    void on_pause_change() override;
};

// ---- construction and the methods the bindings call ----------------------------------------

/// Keyword arguments every endpoint takes.
struct Options {
    nb::handle reset;
    nb::handle reset_active_level;
    nb::handle ready_latency;
    nb::handle ready_allowance;
    nb::handle packets;
};

void init_source(nb::handle self, Source& source, nb::handle bus, nb::handle fmt, nb::handle clock,
                 const Options& options, nb::handle idle_value);
void init_monitor(nb::handle self, Monitor& monitor, nb::handle bus, nb::handle fmt,
                  nb::handle clock, const Options& options);
void init_sink(nb::handle self, Sink& sink, nb::handle bus, nb::handle fmt, nb::handle clock,
               const Options& options);

/// The pause flag's setter: stores `bool(value)`, telling the endpoint when it changes.
void set_pause(Endpoint& endpoint, nb::handle value);
void set_pause_generator(nb::handle self, Endpoint& endpoint, nb::handle generator);
void clear_pause_generator(Endpoint& endpoint);
/// Cancel the reset watcher and the run loop (and, for the caller, nothing else).
void cancel_tasks(Endpoint& endpoint);

nb::object source_send(nb::handle self, Source& source, nb::handle frame);
void source_send_nowait(Source& source, nb::handle frame);
void source_cancel(Source& source);
nb::object source_wait(nb::handle self, Source& source);

nb::object monitor_recv_beat(nb::handle self, Monitor& monitor);
nb::object monitor_recv_beats(nb::handle self, Monitor& monitor, size_t count);
nb::object monitor_wait(nb::handle self, Monitor& monitor, nb::handle timeout,
                        nb::handle timeout_unit);
void monitor_cancel(Monitor& monitor);

// ---- shared by the implementation files ----------------------------------------------------

/// What the library's base constructor does before its reset control: checks, signals, log.
void init_endpoint(Endpoint& endpoint, const char* kind, nb::handle bus, nb::handle fmt,
                   nb::handle clock, const Options& options);
/// Sample the reset, start its watcher and apply the state (the library's _init_reset_control).
void start_reset_control(nb::handle self, Endpoint& endpoint);
/// `cocotb.start_soon(coroutine)`.
nb::object start_task(nb::object coroutine);
/// `task.cancel()` when `task` is set; leaves it unset.
void cancel_task(nb::object& task);

}  // namespace corvane::tavrin::st

// src/corvane/sim/bfms/tavrin.cpp: bindings of corvane.sim.bfms.tavrin, the DMA model module.
//
// One bind function per area; NB_MODULE below calls them in order.
#include <nanobind/nanobind.h>

#include <string>

#include "common/coro.hpp"
#include "common/errors.hpp"
#include "common/py.hpp"
#include "common/signature.hpp"
#include "tavrin_bfm.hpp"
#include "tavrin_bridge_selftest.hpp"
#include "tavrin_descriptors.hpp"
#include "tavrin_labels.hpp"
#include "tavrin_memory.hpp"
#include "tavrin_monitor.hpp"
#include "tavrin_regions.hpp"
#include "tavrin_st.hpp"

namespace nb = nanobind;
using namespace nb::literals;

namespace corvane::tavrin {
namespace {

// The view and its iterators hold the memory; the memory can hold them in its __dict__, so
// both take part in the cyclic GC.
int view_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(nb::inst_ptr<MemoryDataView>(self)->owner.ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int view_clear(PyObject* self) {
    nb::inst_ptr<MemoryDataView>(self)->owner.reset();
    return 0;
}

PyType_Slot view_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(view_traverse)},
                            {Py_tp_clear, reinterpret_cast<void*>(view_clear)},
                            {0, nullptr}};

int iterator_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(nb::inst_ptr<MemoryDataIterator>(self)->owner().ptr());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int iterator_clear(PyObject* self) {
    nb::inst_ptr<MemoryDataIterator>(self)->release();
    return 0;
}

PyType_Slot iterator_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(iterator_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(iterator_clear)},
                                {0, nullptr}};

nb::object as_dict(nb::handle mapping) {
    return py::attr("builtins", "dict")(mapping);
}

void bind_memory(nb::module_& m) {
    auto memory =
        nb::class_<SparseByteMemory>(
            m, "SparseByteMemory", nb::dynamic_attr(), nb::is_weak_referenceable(),
            "Byte-addressed memory shared by the read and write DMA models.")
            .def(nb::init<>(), "An empty memory.")
            .def("write", &SparseByteMemory::write, "address"_a, "data"_a,
                 nb::sig("def write(self, address: typing.SupportsIndex, "
                         "data: collections.abc.Iterable[typing.SupportsInt]) -> None"),
                 "Store ``int(item) & 0xFF`` of each element of ``data`` at ``address``,\n"
                 "``address + 1``, ... (any iterable: bytes, bytearray, a list of ints, an "
                 "array).\n\n"
                 "Elements are converted one by one: a bad element raises int()'s TypeError or\n"
                 "ValueError after the elements before it have been stored.")
            .def("read", &SparseByteMemory::read, "address"_a, "length"_a,
                 nb::sig("def read(self, address: typing.SupportsIndex, "
                         "length: typing.SupportsIndex) -> bytes"),
                 "``length`` bytes from ``address``; 0 where never written, ``b''`` for a\n"
                 "length of zero or less. Reading never creates entries.")
            .def("hexdump", &memory_hexdump, "address"_a, "length"_a,
                 nb::sig("def hexdump(self, address: typing.SupportsIndex, "
                         "length: typing.SupportsIndex) -> str"),
                 "``length`` bytes from ``address`` as text, 16 bytes a line: the address in hex,\n"
                 "the bytes in hex and as ASCII ('.' where not printable). Bytes never written "
                 "show\n"
                 "as 00, as read() returns them; ``''`` for a length of zero or less.")
            .def("compare", &memory_compare, "address"_a, "expected"_a,
                 nb::sig("def compare(self, address: typing.SupportsIndex, "
                         "expected: collections.abc.Buffer | collections.abc.Iterable[int]) "
                         "-> int | None"),
                 "The first address from ``address`` on where the memory differs from\n"
                 "``expected`` (anything bytes() accepts but a bare int), or None when all match.\n"
                 "Bytes never written compare as 0. For a readable failure::\n\n"
                 "    first = memory.compare(0x8000, expected)\n"
                 "    assert first is None, memory.hexdump(first & ~0xF, 32)");
    for (int bytes : {1, 2, 4, 8}) {
        // nanobind copies names, signatures and texts: locals will do.
        const std::string bits = std::to_string(bytes * 8);
        const std::string read_name = "read_u" + bits, write_name = "write_u" + bits;
        const std::string read_sig =
            "def " + read_name + "(self, address: typing.SupportsIndex) -> int";
        const std::string write_sig =
            "def " + write_name +
            "(self, address: typing.SupportsIndex, value: typing.SupportsIndex) -> None";
        const std::string read_doc = "The unsigned little-endian " + bits +
                                     "-bit word at ``address`` (bytes never written read as 0).";
        const std::string write_doc = "Store ``value`` as an unsigned little-endian " + bits +
                                      "-bit word at ``address``;\nValueError when it does not "
                                      "fit.";
        memory
            .def(
                read_name.c_str(),
                [bytes](const SparseByteMemory& self, nb::handle address) {
                    return memory_read_word(self, address, bytes);
                },
                "address"_a, nb::sig(read_sig.c_str()), read_doc.c_str())
            .def(
                write_name.c_str(),
                [bytes](SparseByteMemory& self, nb::handle address, nb::handle value) {
                    memory_write_word(self, address, value, bytes);
                },
                "address"_a, "value"_a, nb::sig(write_sig.c_str()), write_doc.c_str());
    }
    memory
        .def("__repr__", &memory_repr, nb::sig("def __repr__(self, /) -> str"))
        // Copy and pickle, as for a plain class: the written bytes and the instance attributes.
        .def(
            "__getstate__",
            [](nb::handle self) {
                return nb::make_tuple(nb::inst_ptr<SparseByteMemory>(self)->runs(),
                                      self.attr("__dict__"));
            },
            nb::sig("def __getstate__(self) -> "
                    "tuple[list[tuple[int, bytes]], dict[str, typing.Any]]"))
        .def(
            "__setstate__",
            [](SparseByteMemory& memory, nb::tuple state) {
                new (&memory) SparseByteMemory();
                nb::handle self = nb::find(&memory);
                for (nb::handle run : nb::borrow<nb::iterable>(state[0])) {
                    memory.write(run[0], run[1]);
                }
                self.attr("__dict__").attr("update")(state[1]);
            },
            "state"_a,
            nb::sig("def __setstate__(self, state: "
                    "tuple[list[tuple[int, bytes]], dict[str, typing.Any]], /) -> None"))
        .def_prop_ro(
            "_data", [](nb::handle self) { return MemoryDataView{nb::borrow(self)}; },
            nb::sig("def _data(self) -> collections.abc.Mapping[int, int]"),
            "Every byte ever written, by address: a live read-only mapping in address order.");

    sig::sign_class(memory);

    auto view =
        nb::class_<MemoryDataView>(m, "_SparseByteMemoryData", nb::type_slots(view_slots),
                                   "Live read-only view of a SparseByteMemory's written bytes.")
            .def("__len__", [](const MemoryDataView& v) { return v.memory().size(); })
            .def(
                "__getitem__",
                [](const MemoryDataView& v, nb::handle key) {
                    if (auto byte = v.lookup(key)) {
                        return *byte;
                    }
                    PyErr_SetObject(PyExc_KeyError, key.ptr());
                    throw nb::python_error();
                },
                "key"_a)
            .def(
                "__contains__",
                [](const MemoryDataView& v, nb::handle key) { return v.lookup(key).has_value(); },
                "key"_a)
            .def(
                "get",
                [](const MemoryDataView& v, nb::handle key, nb::object fallback) -> nb::object {
                    if (auto byte = v.lookup(key)) {
                        return nb::int_(*byte);
                    }
                    return fallback;
                },
                "key"_a, "default"_a = nb::none(),
                nb::sig("def get(self, key: object, default: object = None) -> int | object"))
            .def(
                "__iter__", [](const MemoryDataView& v) { return MemoryDataIterator(v.owner); },
                nb::sig("def __iter__(self) -> collections.abc.Iterator[int]"))
            .def(
                "keys",
                [](nb::handle self) { return py::attr("collections.abc", "KeysView")(self); },
                nb::sig("def keys(self) -> collections.abc.KeysView[int]"))
            .def(
                "items",
                [](nb::handle self) { return py::attr("collections.abc", "ItemsView")(self); },
                nb::sig("def items(self) -> collections.abc.ItemsView[int, int]"))
            .def(
                "values",
                [](nb::handle self) { return py::attr("collections.abc", "ValuesView")(self); },
                nb::sig("def values(self) -> collections.abc.ValuesView[int]"))
            .def(
                "__eq__",
                [](nb::handle self, nb::handle other) -> nb::object {
                    // Mapping equality, as collections.abc.Mapping defines it.
                    if (!py::isinstance(other, "collections.abc", "Mapping")) {
                        return nb::borrow(Py_NotImplemented);
                    }
                    return nb::bool_(as_dict(self).equal(as_dict(other)));
                },
                nb::is_operator(), nb::sig("def __eq__(self, other: object, /) -> bool"))
            .def("__repr__", [](nb::handle self) { return nb::repr(as_dict(self)); });
    view.attr("__hash__") = nb::none();
    py::attr("collections.abc", "Mapping").attr("register")(view);

    nb::class_<MemoryDataIterator>(m, "_SparseByteMemoryDataIterator",
                                   nb::type_slots(iterator_slots))
        .def(
            "__iter__", [](nb::handle self) { return nb::borrow(self); },
            nb::sig("def __iter__(self) -> collections.abc.Iterator[int]"))
        .def("__next__", &MemoryDataIterator::next, nb::sig("def __next__(self) -> int"));
}

/// A plain class of this module with annotated fields, to become a frozen record once its
/// methods are attached. Methods are made in its scope, so they carry its qualified name
/// ("ReadDMADescriptor.decode") like methods written in a class body.
class RecordBuilder {
  public:
    RecordBuilder(nb::module_& m, const char* name, const char* doc) : m_(m), name_(name) {
        nb::dict ns;
        ns["__annotations__"] = annotations_;
        ns["__module__"] = m.attr("__name__");
        ns["__qualname__"] = name;
        ns["__doc__"] = doc;
        cls_ = py::attr("builtins", "type")(name, nb::make_tuple(), ns);
    }

    RecordBuilder& field(const char* name, PyTypeObject* type) {
        annotations_[name] = nb::handle(reinterpret_cast<PyObject*>(type));
        return *this;
    }

    /// `cls.<name> = function`, the function made with `nb::scope(cls)` by the caller.
    RecordBuilder& attach(const char* name, nb::handle function) {
        cls_.attr(name) = function;
        return *this;
    }

    nb::handle scope() const { return cls_; }

    /// `dataclasses.dataclass(frozen=True)` over the class, which becomes the module's `name`.
    void finish() {
        m_.attr(name_) = py::attr("dataclasses", "dataclass")(cls_, "frozen"_a = true);
    }

  private:
    nb::module_& m_;
    const char* name_;
    nb::dict annotations_;
    nb::object cls_;
};

nb::object classmethod(nb::object function) {
    return py::attr("builtins", "classmethod")(function);
}

void bind_descriptors(nb::module_& m) {
    RecordBuilder read(m, "ReadDMADescriptor",
                       "Read DMA descriptor: one decoded word of the read command stream.");
    for (const char* name : {"address", "length", "channel"}) {
        read.field(name, &PyLong_Type);
    }
    for (const char* name : {"generate_sop", "generate_eop", "stop", "reset"}) {
        read.field(name, &PyBool_Type);
    }
    read.attach(
        "decode",
        classmethod(nb::cpp_function(
            &build_read_descriptor, nb::scope(read.scope()), nb::name("decode"), "cls"_a, "value"_a,
            nb::sig("def decode(cls, value: typing.SupportsIndex) -> typing.Self"),
            "Decode one read command word (bits above 140 and unlisted bits are ignored):\n"
            "address 31..0 and 140..109 (upper half), length 63..32, channel 71..64,\n"
            "generate_sop 72, generate_eop 73, stop 74, reset 75. Returns an instance of "
            "``cls``.")));
    read.finish();
    sig::sign_class(m.attr("ReadDMADescriptor"));

    RecordBuilder write(m, "WriteDMADescriptor",
                        "Write DMA descriptor: one decoded word of the write command stream.");
    for (const char* name : {"address", "length"}) {
        write.field(name, &PyLong_Type);
    }
    for (const char* name : {"end_on_eop", "stop", "reset"}) {
        write.field(name, &PyBool_Type);
    }
    write.attach(
        "decode",
        classmethod(nb::cpp_function(
            &build_write_descriptor, nb::scope(write.scope()), nb::name("decode"), "cls"_a,
            "value"_a, nb::sig("def decode(cls, value: typing.SupportsIndex) -> typing.Self"),
            "Decode one write command word (bits above 123 and unlisted bits are ignored):\n"
            "address 31..0 and 123..92 (upper half), length 63..32, end_on_eop 64, stop 66,\n"
            "reset 67. Returns an instance of ``cls``.")));
    write.finish();
    sig::sign_class(m.attr("WriteDMADescriptor"));
}

void bind_regions(nb::module_& m) {
    RecordBuilder region(
        m, "DMAAddressRegion",
        "Allowed DMA address interval.\n\n"
        "``end`` is exclusive: a region with start=0x1000 and size=0x100 covers\n"
        "0x1000..0x1100 (0x1100 not included). A negative size raises ValueError.");
    region.field("name", &PyUnicode_Type).field("start", &PyLong_Type).field("size", &PyLong_Type);
    const nb::scope scope(region.scope());
    region.attach("__post_init__", nb::cpp_function(&check_region, scope, nb::name("__post_init__"),
                                                    nb::is_method()));
    region.attach("end", py::attr("builtins", "property")(nb::cpp_function(
                             &region_end, scope, nb::name("end"), nb::is_method(),
                             nb::sig("def end(self) -> int"), "``start + size`` (exclusive).")));
    region.attach("contains",
                  nb::cpp_function(&region_contains, scope, nb::name("contains"), nb::is_method(),
                                   "address"_a, "length"_a,
                                   nb::sig("def contains(self, address: int, length: int) -> bool"),
                                   "True when ``length >= 0``, ``start <= address`` and "
                                   "``address + length <= end``\n(checked in that order)."));
    region.attach("__str__",
                  nb::cpp_function(&region_text, scope, nb::name("__str__"), nb::is_method()));
    region.finish();
    sig::sign_class(m.attr("DMAAddressRegion"));

    m.def("_avalon_st_label", &avalon_st_label, "bus"_a,
          "Label of an Avalon-ST bus for messages: entity.bus, entity, bus or avalon_st.");
}

void bind_monitor(nb::module_& m) {
    // The instance keeps its state in __dict__ (dynamic_attr) as ordinary attributes; every
    // method takes `self` as a plain handle so it also works while __init__ is still running.
    nb::class_<CommandMonitor>(
        m, "TavrinCommandMonitor", nb::dynamic_attr(), nb::is_weak_referenceable(),
        "Passive monitor for Intel read/write DMA descriptor streams.\n\n"
        "Watches ``rdma_cmd`` and ``wdma_cmd`` without driving anything, decodes every command\n"
        "beat into a ReadDMADescriptor or WriteDMADescriptor, keeps it in ``read_descriptors`` /\n"
        "``write_descriptors`` and logs it. If address regions are provided, every non-control\n"
        "descriptor is checked immediately when it appears on the command stream: one outside\n"
        "every allowed region raises AssertionError in the watcher task. Descriptors with\n"
        "``reset`` or ``stop`` set (control descriptors) and zero-length descriptors are not\n"
        "checked.")
        .def(
            "__init__",
            [](CommandMonitor* storage, nb::handle clock, nb::handle reset, nb::handle rdma_cmd_bus,
               nb::handle wdma_cmd_bus, nb::handle rdma_cmd_monitor, nb::handle wdma_cmd_monitor,
               nb::handle read_address_regions, nb::handle write_address_regions, nb::handle logger,
               nb::handle reset_active_level, nb::handle streams) {
                new (storage) CommandMonitor();
                monitor_init(nb::find(storage), clock, reset, rdma_cmd_bus, wdma_cmd_bus,
                             rdma_cmd_monitor, wdma_cmd_monitor, read_address_regions,
                             write_address_regions, logger, reset_active_level, streams);
            },
            "clock"_a.none(), "reset"_a.none() = nb::none(), "rdma_cmd_bus"_a.none() = nb::none(),
            "wdma_cmd_bus"_a.none() = nb::none(), "rdma_cmd_monitor"_a.none() = nb::none(),
            "wdma_cmd_monitor"_a.none() = nb::none(), "read_address_regions"_a.none() = nb::none(),
            "write_address_regions"_a.none() = nb::none(), "logger"_a.none() = nb::none(),
            nb::kw_only(), "reset_active_level"_a.none() = true, "streams"_a.none() = "library",
            nb::sig("def __init__(self, clock: typing.Any, reset: typing.Any = None, "
                    "rdma_cmd_bus: typing.Any = None, wdma_cmd_bus: typing.Any = None, "
                    "rdma_cmd_monitor: typing.Any = None, wdma_cmd_monitor: typing.Any = None, "
                    "read_address_regions: collections.abc.Iterable[DMAAddressRegion] | None "
                    "= None, write_address_regions: "
                    "collections.abc.Iterable[DMAAddressRegion] | None = None, "
                    "logger: logging.Logger | None = None, *, "
                    "reset_active_level: bool = True, streams: str = 'library') -> None"),
            "Set up the monitor; nothing runs until start().\n\n"
            "Args:\n"
            "    clock, reset: signals for the monitors built here.\n"
            "    rdma_cmd_bus, wdma_cmd_bus: AvalonSTBus objects to watch, or None.\n"
            "    rdma_cmd_monitor, wdma_cmd_monitor: ready monitors to use instead, of either "
            "kind\n"
            "        (they stay the caller's: stop() does not cancel them).\n"
            "    read_address_regions, write_address_regions: iterables of DMAAddressRegion\n"
            "        (copied), or None for no checking; an empty one allows nothing.\n"
            "    logger: logger for the command lines; default cocotb.tavrin_command_monitor.\n"
            "    reset_active_level: the level at which ``reset`` is asserted (False for an\n"
            "        active-low reset), for the monitors built here.\n"
            "    streams: whose monitors are built here: 'library' (cocotbext-avalon's\n"
            "        AvalonSTMonitor) or 'native' (TavrinSTMonitor, the same on the wire at a\n"
            "        fraction of the cost per beat).\n\n"
            "Raises:\n"
            "    ValueError: a ``streams`` other than 'library' or 'native', a command bus to\n"
            "        watch that lacks its data or valid signal, or whose data is too narrow for\n"
            "        the descriptor fields (74 bits for reads, 64 for writes).")
        .def(
            "_make_control_monitor",
            [](nb::handle self, nb::handle bus, nb::handle clock, nb::handle reset) {
                return make_control_monitor(self, bus, clock, reset);
            },
            "bus"_a.none(), "clock"_a.none(), "reset"_a.none(),
            nb::sig("def _make_control_monitor(self, bus: typing.Any, clock: typing.Any, "
                    "reset: typing.Any) -> typing.Any"),
            "A monitor (as ``streams`` says) reading one whole command word per beat, or None\n"
            "without bus.")
        .def_prop_ro(
            "streams",
            [](nb::handle self) {
                return streams_name(nb::inst_ptr<CommandMonitor>(self)->streams);
            },
            nb::sig("def streams(self) -> str"),
            "Whose monitors are built here: 'library' or 'native'.")
        .def("start", &monitor_start,
             "Start one watcher task per watched stream (again only after stop()).")
        .def("stop", &monitor_stop,
             "Cancel the watcher tasks and the monitors this object built itself.")
        .def("_run_read_commands", &run_read_commands,
             nb::sig("def _run_read_commands(self) -> "
                     "collections.abc.Coroutine[typing.Any, typing.Any, typing.NoReturn]"),
             "Endless watcher coroutine of the read command stream.")
        .def("_run_write_commands", &run_write_commands,
             nb::sig("def _run_write_commands(self) -> "
                     "collections.abc.Coroutine[typing.Any, typing.Any, typing.NoReturn]"),
             "Endless watcher coroutine of the write command stream.")
        .def(
            "_check_descriptor", &check_descriptor, "name"_a.none(), "descriptor"_a.none(),
            "regions"_a.none(), "interface_label"_a.none() = nb::none(),
            "sim_time"_a.none() = nb::none(),
            nb::sig("def _check_descriptor(self, name: str, "
                    "descriptor: ReadDMADescriptor | WriteDMADescriptor, "
                    "regions: collections.abc.Iterable[DMAAddressRegion] | None, "
                    "interface_label: object = None, sim_time: object = None) -> None"),
            "Raise AssertionError when ``descriptor`` lies outside every region of ``regions``.\n\n"
            "Passes when ``regions`` is None, for reset/stop descriptors and for length 0.")
        .def(
            "_monitor_label",
            [](nb::handle, nb::handle monitor, nb::handle fallback) {
                return monitor_label(monitor, fallback);
            },
            "monitor"_a.none(), "fallback"_a.none(),
            nb::sig("def _monitor_label(self, monitor: typing.Any, fallback: str) -> typing.Any"),
            "``monitor._bus_label()`` when the monitor has one, else ``fallback``.")
        .def(
            "_format_regions",
            [](nb::handle, nb::handle regions) { return format_regions(regions); },
            "regions"_a.none(),
            nb::sig("def _format_regions(self, "
                    "regions: collections.abc.Iterable[DMAAddressRegion]) -> str"),
            "The regions' text forms joined with \", \".");
    nb::object monitor = m.attr("TavrinCommandMonitor");
    sig::sign_class(monitor);
    sig::declare_attributes(
        monitor, {{"read_address_regions", "list[DMAAddressRegion] | None"},
                  {"write_address_regions", "list[DMAAddressRegion] | None"},
                  {"read_descriptors", "list[ReadDMADescriptor]"},
                  {"write_descriptors", "list[WriteDMADescriptor]"},
                  {"_tasks", "list[cocotb.task.Task[typing.Any]]"},
                  {"log", "logging.Logger"},
                  {"rdma_cmd_monitor", "cocotbext.avalon.AvalonSTMonitor | TavrinSTMonitor | None"},
                  {"wdma_cmd_monitor", "cocotbext.avalon.AvalonSTMonitor | TavrinSTMonitor | None"},
                  {"_owns_rdma_cmd_monitor", "bool"},
                  {"_owns_wdma_cmd_monitor", "bool"}});
}

void bind_bfm(nb::module_& m) {
    constexpr const char* kSinkType = "cocotbext.avalon.AvalonSTSink | TavrinSTSink | None";
    constexpr const char* kSourceType = "cocotbext.avalon.AvalonSTSource | TavrinSTSource | None";
    // Like the monitor: state lives in __dict__ in the documented order, methods take `self` as
    // a plain handle, and every call between them goes through attribute lookup on the instance.
    nb::class_<Bfm> cls(
        m, "TavrinBFM", nb::dynamic_attr(), nb::is_weak_referenceable(),
        "Avalon-ST stand-in for an Intel read DMA and an Intel write DMA component.\n\n"
        "- A read descriptor queues memory contents on ``din`` and schedules a successful\n"
        "  ``rdma_resp`` independently of data consumption. This models a read DMA whose\n"
        "  internal FIFO can already contain data while the DUT stalls.\n"
        "- A write descriptor consumes its byte count from ``dout``. Once all stream data has\n"
        "  entered the model, it is committed to memory and a successful ``wdma_resp`` is\n"
        "  scheduled after the configured completion delay (the delay, then the commit, then\n"
        "  the response).\n"
        "- ``mode`` selects the modelled side: \"full\" models both; \"read\" or \"read_only\"\n"
        "  models only ``rdma_cmd``, ``rdma_resp`` and ``din``; \"write\" or \"write_only\"\n"
        "  models only ``wdma_cmd``, ``wdma_resp`` and ``dout``.\n"
        "- Tests can set ``din_source.pause`` to delay read data presentation and\n"
        "  ``dout_sink.pause`` to deassert ``dout_ready`` while write data waits.");
    cls.attr("READ_RESPONSE_DONE") = 12;
    cls.attr("WRITE_RESPONSE_DONE_SHIFT") = 43;
    cls.def(
           "__init__",
           [](Bfm* storage, nb::handle dut, nb::handle clock, nb::handle reset, nb::handle memory,
              nb::handle read_delay, nb::handle write_delay, nb::handle rdma_cmd_bus,
              nb::handle rdma_resp_bus, nb::handle wdma_cmd_bus, nb::handle wdma_resp_bus,
              nb::handle din_bus, nb::handle dout_bus, nb::handle mode,
              nb::handle reset_active_level, nb::handle watchdog_cycles, nb::handle streams) {
               new (storage) Bfm();
               bfm_init(nb::find(storage),
                        BfmArgs{dut, clock, reset, memory, read_delay, write_delay, rdma_cmd_bus,
                                rdma_resp_bus, wdma_cmd_bus, wdma_resp_bus, din_bus, dout_bus, mode,
                                reset_active_level, watchdog_cycles, streams});
           },
           "dut"_a.none(), "clock"_a.none(), "reset"_a.none(), "memory"_a.none() = nb::none(),
           "read_response_delay_cycles"_a.none() = 2, "write_response_delay_cycles"_a.none() = 2,
           "rdma_cmd_bus"_a.none() = nb::none(), "rdma_resp_bus"_a.none() = nb::none(),
           "wdma_cmd_bus"_a.none() = nb::none(), "wdma_resp_bus"_a.none() = nb::none(),
           "din_bus"_a.none() = nb::none(), "dout_bus"_a.none() = nb::none(),
           "mode"_a.none() = "full", nb::kw_only(), "reset_active_level"_a.none() = true,
           "watchdog_cycles"_a.none() = nb::none(), "streams"_a.none() = "library",
           nb::sig("def __init__(self, dut: typing.Any, clock: typing.Any, reset: typing.Any, "
                   "memory: SparseByteMemory | None = None, read_response_delay_cycles: int = 2, "
                   "write_response_delay_cycles: int = 2, rdma_cmd_bus: typing.Any = None, "
                   "rdma_resp_bus: typing.Any = None, wdma_cmd_bus: typing.Any = None, "
                   "wdma_resp_bus: typing.Any = None, din_bus: typing.Any = None, "
                   "dout_bus: typing.Any = None, mode: str = 'full', *, "
                   "reset_active_level: bool = True, watchdog_cycles: int | None = None, "
                   "streams: str = 'library') -> None"),
           "Build the stream endpoints of the modelled sides; nothing runs until start().\n\n"
           "Args:\n"
           "    dut: DUT handle; streams are found on it by prefix (rdma_cmd, rdma_resp, din,\n"
           "        wdma_cmd, wdma_resp, dout) unless a ``..._bus`` argument gives the bus.\n"
           "    clock, reset: signals for every endpoint; clock also times the delays.\n"
           "    memory: SparseByteMemory to share, or None for a new one.\n"
           "    read_response_delay_cycles: cycles from queuing read data to the response.\n"
           "    write_response_delay_cycles: cycles from the last write beat to commit+response.\n"
           "    mode: 'full', 'read'/'read_only' or 'write'/'write_only' (case, '-' and ' '\n"
           "        are forgiven).\n"
           "    reset_active_level: the level at which ``reset`` is asserted (False for an\n"
           "        active-low reset); every endpoint gets it.\n"
           "    watchdog_cycles: when set, a side that owes the design something and makes no\n"
           "        progress for that many clock cycles raises TimeoutError in its engine task,\n"
           "        with the outstanding() text.\n"
           "    streams: whose endpoints the model builds: 'library' (cocotbext-avalon's\n"
           "        AvalonSTSource and AvalonSTSink) or 'native' (TavrinSTSource and\n"
           "        TavrinSTSink, the same on the wire at a fraction of the cost per beat).\n\n"
           "Raises:\n"
           "    ValueError: negative delay, unknown mode, a watchdog_cycles that is not\n"
           "        positive, a streams other than 'library' or 'native', din/dout width not a\n"
           "        byte multiple, or a stream wired wrongly: a missing data or valid signal,\n"
           "        or a command or response data signal too narrow for the descriptor or\n"
           "        response words (the message names the width).")
        .def("_make_byte_stream_format", &make_byte_stream_format, "bus"_a.none(),
             "AvalonFormat of 8-bit symbols, width/8 per beat, first symbol in the high bits.")
        .def("_make_control_sink", &make_control_sink, "prefix"_a.none(),
             "bus"_a.none() = nb::none(),
             "A sink taking one whole command word per beat (bus found by prefix).")
        .def("_make_control_source", &make_control_source, "prefix"_a.none(),
             "bus"_a.none() = nb::none(),
             "A source sending one whole response word per beat, idle value 0.")
        .def(
            "_decode_mode", [](nb::handle, nb::handle mode) { return decode_mode(mode); },
            "mode"_a.none(), nb::sig("def _decode_mode(self, mode: object) -> tuple[bool, bool]"),
            "(enable_read, enable_write) for a mode text.")
        .def("_log_transaction", &log_transaction, "message"_a.none(), "args"_a,
             "Log a transaction line on ``log`` at DEBUG (printf-style, formatted lazily).")
        .def_prop_ro(
            "reset_active_level",
            [](nb::handle self) { return bfm_state(self).reset_active_level; },
            nb::sig("def reset_active_level(self) -> bool"),
            "The level at which ``reset`` is asserted, as given to every endpoint.")
        .def_prop_ro(
            "streams", [](nb::handle self) { return streams_name(bfm_state(self).streams); },
            nb::sig("def streams(self) -> str"),
            "Whose endpoints the model builds: 'library' or 'native'.")
        .def_prop_ro(
            "watchdog_cycles", [](nb::handle self) { return bfm_state(self).watchdog_cycles; },
            nb::sig("def watchdog_cycles(self) -> int | None"),
            "Clock cycles without progress after which an engine raises TimeoutError, or None.")
        .def("start", &bfm_start, "Start one engine task per modelled side (once until stop()).")
        .def("outstanding", &outstanding,
             "What each side still owes the design, one line per item; ``''`` when nothing.\n\n"
             "Every descriptor taken off a command stream and not yet answered, with what it\n"
             "waits for (dout beats still to come and how many arrived, the response delay, a\n"
             "response or read data the design has not taken yet, a paused endpoint), and the\n"
             "command beats waiting in a command sink that no engine has taken (the model was\n"
             "never started, or stopped).")
        .def("wait_idle", &wait_idle, "timeout_cycles"_a.none() = nb::none(),
             nb::sig("def wait_idle(self, timeout_cycles: int | None = None) -> "
                     "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
             "Coroutine: return once nothing is outstanding (see outstanding()).\n\n"
             "Raises:\n"
             "    RuntimeError: at once, when something is outstanding that can never be\n"
             "        answered: the model was never started (or was stopped), or the engine of\n"
             "        that side has ended.\n"
             "    TimeoutError: after ``timeout_cycles`` clock cycles with something still\n"
             "        outstanding; the message lists it.\n"
             "    ValueError: a negative ``timeout_cycles``.")
        .def("stop", &bfm_stop,
             "Cancel the engine tasks, then the endpoints. Read response tasks already started\n"
             "run on.")
        .def("_run_reads", &run_reads,
             nb::sig("def _run_reads(self) -> collections.abc.Coroutine[typing.Any, typing.Any, "
                     "typing.NoReturn]"),
             "Read engine: endless coroutine serving the read command stream.")
        .def("_issue_read_response", &issue_read_response, "descriptor"_a.none(),
             "response"_a.none(),
             nb::sig("def _issue_read_response(self, descriptor: ReadDMADescriptor, "
                     "response: int) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
             "Coroutine: wait the read delay, send the response word, record the descriptor.")
        .def("_run_writes", &run_writes,
             nb::sig("def _run_writes(self) -> collections.abc.Coroutine[typing.Any, typing.Any, "
                     "typing.NoReturn]"),
             "Write engine: endless coroutine serving the write command stream.")
        .def("_receive_write_payload", &receive_write_payload, "length"_a.none(),
             nb::sig("def _receive_write_payload(self, length: int) -> "
                     "collections.abc.Coroutine[typing.Any, typing.Any, bytes]"),
             "Coroutine: take whole dout beats for ``length`` bytes; returns exactly ``length``.");
    sig::sign_class(cls);
    sig::declare_attributes(cls, {{"enable_read", "bool"},
                                  {"enable_write", "bool"},
                                  {"log", "logging.Logger"},
                                  {"dut", "typing.Any"},
                                  {"clock", "typing.Any"},
                                  {"reset", "typing.Any"},
                                  {"memory", "SparseByteMemory"},
                                  {"read_response_delay_cycles", "int"},
                                  {"write_response_delay_cycles", "int"},
                                  {"read_commands", "cocotb.queue.Queue[ReadDMADescriptor]"},
                                  {"write_commands", "cocotb.queue.Queue[WriteDMADescriptor]"},
                                  {"read_responses", "cocotb.queue.Queue[ReadDMADescriptor]"},
                                  {"write_responses", "cocotb.queue.Queue[WriteDMADescriptor]"},
                                  {"_tasks", "list[cocotb.task.Task[typing.Any]]"},
                                  {"rdma_cmd_sink", kSinkType},
                                  {"rdma_resp_source", kSourceType},
                                  {"wdma_cmd_sink", kSinkType},
                                  {"wdma_resp_source", kSourceType},
                                  {"din_source", kSourceType},
                                  {"dout_sink", kSinkType},
                                  {"read_data_bytes_per_beat", "int | None"},
                                  {"write_data_bytes_per_beat", "int | None"},
                                  {"data_bytes_per_beat", "int | None"}});
}

// ---- native Avalon-ST endpoints -------------------------------------------------------------

namespace st = corvane::tavrin::st;

// The endpoints hold their tasks, and the tasks' coroutines hold the endpoints: the GC must see
// both sides. An instance whose __init__ has not run yet has nothing to show.
template <class T>
int st_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    return nb::inst_ready(self) ? nb::inst_ptr<T>(self)->visit(visit, arg) : 0;
}

template <class T>
int st_clear(PyObject* self) {
    if (nb::inst_ready(self)) {
        nb::inst_ptr<T>(self)->clear();
    }
    return 0;
}

template <class T>
PyType_Slot st_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(st_traverse<T>)},
                          {Py_tp_clear, reinterpret_cast<void*>(st_clear<T>)},
                          {0, nullptr}};

/// Run a constructor body on freshly placed storage; on failure the C++ object is destroyed
/// again, so nothing it took survives a refused construction.
template <class T, class Body>
void construct(T* storage, Body&& body) {
    new (storage) T();
    try {
        body(*storage);
    } catch (...) {
        storage->~T();
        throw;
    }
}

/// `__init__(bus, fmt, clock, reset=None, ...)` of a monitor or a sink, whose body is `init`.
template <class T, class... Extra>
void bind_receiver_init(nb::class_<T, Extra...>& cls,
                        void (*init)(nb::handle, T&, nb::handle, nb::handle, nb::handle,
                                     const st::Options&),
                        const char* doc) {
    cls.def(
        "__init__",
        [init](T* storage, nb::handle bus, nb::handle fmt, nb::handle clock, nb::handle reset,
               nb::handle active_level, nb::handle latency, nb::handle allowance,
               nb::handle packets) {
            construct(storage, [&](T& e) {
                init(nb::find(&e), e, bus, fmt, clock,
                     {reset, active_level, latency, allowance, packets});
            });
        },
        "bus"_a.none(), "fmt"_a.none(), "clock"_a.none(), "reset"_a.none() = nb::none(),
        "reset_active_level"_a.none() = true, "ready_latency"_a.none() = 0,
        "ready_allowance"_a.none() = nb::none(), "packets"_a.none() = nb::none(),
        nb::sig("def __init__(self, bus: typing.Any, fmt: typing.Any, clock: typing.Any, "
                "reset: typing.Any = None, reset_active_level: bool = True, "
                "ready_latency: int = 0, ready_allowance: int | None = None, "
                "packets: bool | None = None) -> None"),
        doc);
}

/// The parts every endpoint class shares: introspection and the bus label.
template <class T, class... Extra>
void bind_endpoint_common(nb::class_<T, Extra...>& cls) {
    cls.def(
           "_bus_label", [](const T& e) { return nb::str(e.label.c_str()); },
           "``entity.bus`` label of the bus, as in messages.")
        .def_prop_ro(
            "bus", [](const T& e) { return e.bus; }, nb::sig("def bus(self) -> typing.Any"),
            "The AvalonSTBus.")
        .def_prop_ro(
            "clock", [](const T& e) { return e.clock; }, nb::sig("def clock(self) -> typing.Any"),
            "The clock signal.")
        .def_prop_ro(
            "reset", [](const T& e) { return e.reset; }, nb::sig("def reset(self) -> typing.Any"),
            "The reset signal, or None.")
        .def_prop_ro(
            "reset_active_level", [](const T& e) { return e.reset_active_level; },
            "True for an active-high reset.")
        .def_prop_ro(
            "log", [](const T& e) { return e.log; }, nb::sig("def log(self) -> logging.Logger"),
            "Logger cocotb.<bus label>.<source|sink|monitor>.")
        .def_prop_ro(
            "width", [](const T& e) { return e.width; }, "Data width in bits.")
        .def_prop_ro(
            "bits_per_symbol", [](const T& e) { return e.bits_per_symbol; }, "Bits per symbol.")
        .def_prop_ro(
            "symbols_per_beat", [](const T& e) { return e.symbols_per_beat; }, "Symbols per beat.")
        .def_prop_ro(
            "has_packets", [](const T& e) { return e.packets; },
            "True in packet mode (start/end of packet and empty are used).")
        .def_prop_ro(
            "active", [](const T& e) { return e.active; },
            "True while a frame is on the bus (source) or a packet is open (sink).");
}

/// The pause flag and generator of a source or sink.
template <class T, class... Extra>
void bind_pause(nb::class_<T, Extra...>& cls, const char* effect) {
    cls.def_prop_rw(
           "pause", [](const T& e) { return e.pause; },
           [](T& e, nb::handle value) { st::set_pause(e, value); },
           nb::for_getter(nb::sig("def pause(self) -> bool")),
           nb::for_setter(nb::sig("def pause(self, value: object, /) -> None")),
           nb::for_getter(effect))
        .def(
            "set_pause_generator",
            [](nb::handle self, nb::handle generator) {
                st::set_pause_generator(self, nb::cast<T&>(self), generator);
            },
            "generator"_a.none() = nb::none(),
            nb::sig("def set_pause_generator(self, generator: "
                    "collections.abc.Iterable[object] | None = None) -> None"),
            "Set ``pause`` from the next item of ``generator`` at every rising clock edge\n"
            "(e.g. ``itertools.cycle([0, 0, 1])``); None only stops the current one.")
        .def(
            "clear_pause_generator", [](T& e) { st::clear_pause_generator(e); },
            "Stop the pause generator; ``pause`` keeps its last value.");
}

void bind_stream_endpoints(nb::module_& m) {
    nb::class_<st::Beat>(m, "TavrinSTBeat",
                         "One beat taken by a TavrinSTSink or TavrinSTMonitor (read-only).")
        .def_prop_ro(
            "data", [](st::Beat& b) { return b.data(); }, nb::sig("def data(self) -> int"),
            "The data word.")
        .def_prop_ro(
            "symbols", [](st::Beat& b) { return b.symbols(); },
            nb::sig("def symbols(self) -> list[int]"),
            "The symbols in order, without the empty ones of a packet's last beat.")
        .def_prop_ro(
            "sop", [](const st::Beat& b) { return b.sop; },
            "Start of packet (1 in non-packet mode).")
        .def_prop_ro(
            "eop", [](const st::Beat& b) { return b.eop; }, "End of packet (1 in non-packet mode).")
        .def_prop_ro(
            "empty", [](const st::Beat& b) { return b.empty; },
            "Empty symbols of the last beat (packet mode; else 0).")
        .def_prop_ro(
            "error", [](const st::Beat& b) { return b.error; }, nb::sig("def error(self) -> int"),
            "The error signal (0 when absent or X).")
        .def_prop_ro(
            "channel", [](const st::Beat& b) { return b.channel; },
            nb::sig("def channel(self) -> int"), "The channel signal (0 when absent or X).")
        .def_prop_ro(
            "sim_time", [](const st::Beat& b) { return b.sim_time; },
            "Simulation time of the handshake, in simulator steps.")
        .def("__repr__", [](nb::handle self) {
            st::Beat& b = nb::cast<st::Beat&>(self);
            nb::list symbols;
            for (nb::handle symbol : b.symbols()) {
                symbols.append(nb::str(py::attr("builtins", "hex")(symbol)));
            }
            return nb::str(
                       "{}(data={}, symbols=[{}], sop={!r}, eop={!r}, empty={!r}, "
                       "error={!r}, channel={!r}, sim_time={!r})")
                .format(
                    nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr()))).attr("__name__"),
                    py::attr("builtins", "hex")(b.data()), nb::str(", ").attr("join")(symbols),
                    b.sop, b.eop, b.empty, b.error, b.channel, b.sim_time);
        });

    nb::class_<st::Source> source(
        m, "TavrinSTSource", nb::type_slots(st_slots<st::Source>), nb::is_weak_referenceable(),
        "Avalon-ST source (ready latency 0) with the wire behaviour of cocotbext-avalon's\n"
        "AvalonSTSource, cycle for cycle, at a fraction of its cost per beat.\n\n"
        "Takes the library's AvalonSTBus, AvalonFormat and AvalonSTFrame. Frames queued with\n"
        "send() go out one beat per clock edge while ready; packet mode marks the first beat\n"
        "start-of-packet and the last end-of-packet (with ``empty``), on the frame's channel.\n"
        "Between frames and while paused the bus shows ``idle_value`` (\"x\", \"random\", 0 or\n"
        "1 for all ones); during reset all zeros.");
    source
        .def(
            "__init__",
            [](st::Source* storage, nb::handle bus, nb::handle fmt, nb::handle clock,
               nb::handle reset, nb::handle active_level, nb::handle latency, nb::handle allowance,
               nb::handle packets, nb::handle idle_value) {
                construct(storage, [&](st::Source& s) {
                    st::init_source(nb::find(&s), s, bus, fmt, clock,
                                    {reset, active_level, latency, allowance, packets}, idle_value);
                });
            },
            "bus"_a.none(), "fmt"_a.none(), "clock"_a.none(), "reset"_a.none() = nb::none(),
            "reset_active_level"_a.none() = true, "ready_latency"_a.none() = 0,
            "ready_allowance"_a.none() = nb::none(), "packets"_a.none() = nb::none(),
            "idle_value"_a.none() = "x",
            nb::sig("def __init__(self, bus: typing.Any, fmt: typing.Any, clock: typing.Any, "
                    "reset: typing.Any = None, reset_active_level: bool = True, "
                    "ready_latency: int = 0, ready_allowance: int | None = None, "
                    "packets: bool | None = None, idle_value: int | str = 'x') -> None"),
            "Drive ``bus`` as the library's AvalonSTSource would (same arguments).\n\n"
            "Raises:\n"
            "    NotImplementedError: a ready latency other than 0.\n"
            "    ValueError: format width not the data width, packets=True without\n"
            "        start/end of packet signals, a bad idle value.")
        .def(
            "send",
            [](nb::handle self, nb::handle frame) {
                return st::source_send(self, nb::cast<st::Source&>(self), frame);
            },
            "frame"_a.none(),
            nb::sig("def send(self, frame: typing.Any) -> "
                    "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
            "Coroutine: queue ``frame`` (an AvalonSTFrame, or data to wrap in one); it\n"
            "returns at once, before the frame is on the bus.")
        .def("send_nowait", &st::source_send_nowait, "frame"_a.none(),
             nb::sig("def send_nowait(self, frame: typing.Any) -> None"),
             "Queue ``frame`` without awaiting.")
        .def(
            "count", [](const st::Source& s) { return s.queue.size(); },
            "Frames queued and not yet on the bus.")
        .def(
            "empty", [](const st::Source& s) { return s.queue.empty(); },
            "True when no frame is queued.")
        .def(
            "idle", [](const st::Source& s) { return s.queue.empty() && !s.active; },
            "True when no frame is queued or on the bus.")
        .def(
            "wait",
            [](nb::handle self) { return st::source_wait(self, nb::cast<st::Source&>(self)); },
            nb::sig("def wait(self) -> collections.abc.Coroutine[typing.Any, typing.Any, None]"),
            "Coroutine: return once every queued frame has gone out.")
        .def("cancel", &st::source_cancel,
             "Stop the source's tasks (the bus keeps its last values).")
        .def_prop_ro(
            "idle_value", [](const st::Source& s) { return s.idle_value; },
            nb::sig("def idle_value(self) -> int | str"), "The idle value.");
    bind_endpoint_common(source);
    bind_pause(source, "While true no beat starts: the bus idles between beats.");

    nb::class_<st::Monitor> monitor(
        m, "TavrinSTMonitor", nb::type_slots(st_slots<st::Monitor>), nb::is_weak_referenceable(),
        "Passive Avalon-ST monitor (ready latency 0): every valid-and-ready handshake as a\n"
        "TavrinSTBeat, taken at the same clock edges as cocotbext-avalon's AvalonSTMonitor.\n\n"
        "Beats wait in one queue for recv_beat(); no second queue of frames is kept.\n"
        "In packet mode a start of packet inside a packet, a beat outside one, or ``empty``\n"
        "without end of packet raise RuntimeError in the monitor's task, and X/Z on data or\n"
        "start/end of packet during a handshake too.");
    bind_receiver_init(monitor, &st::init_monitor,
                       "Watch ``bus`` as the library's AvalonSTMonitor would (same arguments).");
    monitor
        .def(
            "recv_beat",
            [](nb::handle self) {
                return st::monitor_recv_beat(self, nb::cast<st::Monitor&>(self));
            },
            nb::sig("def recv_beat(self) -> "
                    "collections.abc.Coroutine[typing.Any, typing.Any, TavrinSTBeat]"),
            "Coroutine: the next beat, waiting for one if none is queued.")
        .def(
            "recv_beats",
            [](nb::handle self, size_t count) {
                return st::monitor_recv_beats(self, nb::cast<st::Monitor&>(self), count);
            },
            "count"_a,
            nb::sig("def recv_beats(self, count: int) -> "
                    "collections.abc.Coroutine[typing.Any, typing.Any, list[TavrinSTBeat]]"),
            "Coroutine: the next ``count`` beats, in order, once all of them are queued. The\n"
            "waiting task wakes once, not once per beat; nothing past ``count`` is taken.")
        .def(
            "recv_beat_nowait",
            [](st::Monitor& mon) {
                if (mon.beats.empty()) {
                    corvane::raise_instance(py::attr("cocotb.queue", "QueueEmpty")());
                }
                return mon.pop_beat();
            },
            nb::sig("def recv_beat_nowait(self) -> TavrinSTBeat"),
            "The next beat; cocotb.queue.QueueEmpty when none is queued.")
        .def(
            "count", [](const st::Monitor& mon) { return mon.beats.size(); },
            "Beats queued and not yet taken.")
        .def(
            "empty", [](const st::Monitor& mon) { return mon.beats.empty(); },
            "True when no beat is queued.")
        .def(
            "idle", [](const st::Monitor& mon) { return !mon.active; },
            "True unless a packet is being received.")
        .def(
            "wait",
            [](nb::handle self, nb::handle timeout, nb::handle unit) {
                return st::monitor_wait(self, nb::cast<st::Monitor&>(self), timeout, unit);
            },
            "timeout"_a.none() = 0, "timeout_unit"_a.none() = "ns",
            nb::sig("def wait(self, timeout: float = 0, timeout_unit: str = 'ns') -> "
                    "collections.abc.Coroutine[typing.Any, typing.Any, None]"),
            "Coroutine: return once a beat is queued (at once if one is), or after\n"
            "``timeout`` when it is non-zero.")
        .def("cancel", &st::monitor_cancel, "Stop the monitor's tasks.");
    bind_endpoint_common(monitor);

    nb::class_<st::Sink, st::Monitor> sink(
        m, "TavrinSTSink", nb::type_slots(st_slots<st::Sink>), nb::is_weak_referenceable(),
        "Avalon-ST sink (ready latency 0) with the wire behaviour of cocotbext-avalon's\n"
        "AvalonSTSink, cycle for cycle: a TavrinSTMonitor that drives ``ready``.\n\n"
        "``pause`` deasserts ready; while beats flow it takes effect one clock late, as in\n"
        "the library. Beats wait in one queue for recv_beat(); unlike the library, no queue\n"
        "of frames grows behind a reader that only takes beats.");
    bind_receiver_init(
        sink, &st::init_sink,
        "Take beats from ``bus`` as the library's AvalonSTSink would (same arguments).");
    sink.def(
        "cancel",
        [](st::Sink& s) {
            st::clear_pause_generator(s);
            st::monitor_cancel(s);
        },
        "Stop the sink's tasks (ready keeps its last value).");
    bind_pause(sink, "While true ready is deasserted (one clock late while beats flow).");
}
}  // namespace
}  // namespace corvane::tavrin

NB_MODULE(tavrin, m) {
    m.doc() = "Avalon-ST stand-in for Intel read and write DMA components, for cocotb testbenches.";
    // The engines and watchers are C++ coroutines; their Python type must exist first.
    corvane::coro::register_type(m);
    corvane::tavrin::bind_bridge_selftest(m);
    corvane::tavrin::bind_memory(m);
    corvane::tavrin::bind_descriptors(m);
    corvane::tavrin::bind_regions(m);
    corvane::tavrin::bind_monitor(m);
    corvane::tavrin::bind_bfm(m);
    corvane::tavrin::bind_stream_endpoints(m);
    nb::list all;
    for (const char* name : {"DMAAddressRegion", "TavrinBFM", "TavrinCommandMonitor",
                             "ReadDMADescriptor", "SparseByteMemory", "WriteDMADescriptor"}) {
        all.append(name);
    }
    m.attr("__all__") = all;
}

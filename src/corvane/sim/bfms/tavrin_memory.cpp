// src/corvane/sim/bfms/tavrin_memory.cpp: the sparse byte memory shared by the DMA models.
#include "tavrin_memory.hpp"

#include "common/errors.hpp"
#include "common/py.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace corvane::tavrin {

namespace {

constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::size_t kOffsetMask = kPageSize - 1;

/// `operator.index(value)`: addresses and lengths accept what a range() would.
nb::object as_index(nb::handle value) {
    return py::steal_checked(PyNumber_Index(value.ptr()));
}

/// The Python int `index` as an unsigned 64-bit value, or nullopt when it lies outside
/// 0 .. 2**64 - 1 (no exception is left set in that case).
std::optional<std::uint64_t> as_u64(nb::handle index) {
    int overflow = 0;
    const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow == 0) {
        if (value == -1 && PyErr_Occurred()) {
            throw nb::python_error();
        }
        if (value < 0) {
            return std::nullopt;
        }
        return static_cast<std::uint64_t>(value);
    }
    if (overflow < 0) {
        return std::nullopt;
    }
    const unsigned long long wide = PyLong_AsUnsignedLongLong(index.ptr());
    if (wide == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) {
            throw nb::python_error();
        }
        PyErr_Clear();
        return std::nullopt;
    }
    return wide;
}

/// True when `start` .. `start` + `count` - 1 all lie in the paged range (count >= 1).
bool fits_from(std::uint64_t start, std::size_t count) {
    return count - 1 <= kU64Max - start;
}

std::uint64_t page_number(std::uint64_t address) {
    return address >> kPageBits;
}
std::size_t page_offset(std::uint64_t address) {
    return static_cast<std::size_t>(address & kOffsetMask);
}

/// One address of an unbounded range: uint64 while it is in the paged range, a Python int
/// outside it.
class Address {
  public:
    explicit Address(nb::handle index) {
        if (auto value = as_u64(index)) {
            value_ = *value;
        } else {
            big_ = nb::borrow(index);
        }
    }
    bool paged() const { return !big_.is_valid(); }
    std::uint64_t value() const { return value_; }
    nb::handle big() const { return big_; }
    nb::object as_int() const { return paged() ? nb::object(nb::int_(value_)) : big_; }

    void advance() {
        if (paged()) {
            if (value_ == kU64Max) {
                big_ = nb::int_(kU64Max) + nb::int_(1);
            } else {
                ++value_;
            }
            return;
        }
        big_ = big_ + nb::int_(1);
        if (auto value = as_u64(big_)) {
            value_ = *value;
            big_.reset();
        }
    }

  private:
    std::uint64_t value_ = 0;
    nb::object big_;
};

/// Python's `int(item) & 0xFF`, for any item int() accepts (negative and huge ints included).
std::uint8_t low_byte_of_item(nb::handle item) {
    nb::object number = py::steal_checked(PyNumber_Long(item.ptr()));
    std::uint8_t byte = 0;
    // One byte of the two's complement form is exactly `& 0xFF`; truncation is wanted here.
    if (PyLong_AsNativeBytes(number.ptr(), &byte, 1, Py_ASNATIVEBYTES_LITTLE_ENDIAN) < 0) {
        throw nb::python_error();
    }
    return byte;
}

/// True when iterating an object of `type` yields exactly the elements of its buffer, so the
/// buffer may be read instead: the buffer-exporting builtins, array.array and numpy.ndarray, and
/// subclasses of them that keep the base's iteration and item access (a bytes subclass with its
/// own __iter__, or a masked array, yields something else and is written item by item).
bool iterates_as_buffer(PyTypeObject* type) {
    for (PyTypeObject* base = type; base != nullptr; base = base->tp_base) {
        const bool known = base == &PyBytes_Type || base == &PyByteArray_Type ||
                           base == &PyMemoryView_Type ||
                           std::strcmp(base->tp_name, "array.array") == 0 ||
                           std::strcmp(base->tp_name, "numpy.ndarray") == 0;
        if (known) {
            auto sq_item = [](PyTypeObject* t) {
                return t->tp_as_sequence != nullptr ? t->tp_as_sequence->sq_item : nullptr;
            };
            auto mp_subscript = [](PyTypeObject* t) {
                return t->tp_as_mapping != nullptr ? t->tp_as_mapping->mp_subscript : nullptr;
            };
            return type->tp_iter == base->tp_iter && sq_item(type) == sq_item(base) &&
                   mp_subscript(type) == mp_subscript(base);
        }
    }
    return false;
}

/// RAII holder of a buffer-protocol view.
class BufferView {
  public:
    explicit BufferView(nb::handle object) {
        ok_ = PyObject_GetBuffer(object.ptr(), &view_, PyBUF_RECORDS_RO) == 0;
        if (!ok_) {
            PyErr_Clear();  // an exporter that cannot give this view is written item by item
        }
    }
    ~BufferView() {
        if (ok_) {
            PyBuffer_Release(&view_);
        }
    }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    /// The low byte of every element of a one-dimensional buffer of integers (or bools), which
    /// is `int(element) & 0xFF`; false for other layouts and item types, which are written item
    /// by item so int() decides (floats truncate, NaN raises).
    bool low_bytes(std::vector<std::uint8_t>& scratch, std::span<const std::uint8_t>& out) const {
        if (!ok_ || view_.ndim != 1 || view_.shape == nullptr || view_.itemsize < 1) {
            return false;
        }
        const char* format = view_.format != nullptr ? view_.format : "B";
        char order = '@';
        if (std::strchr("@=<>!", *format) != nullptr && *format != '\0') {
            order = *format++;
        }
        if (format[0] == '\0' || format[1] != '\0') {
            return false;
        }
        const bool is_bool = format[0] == '?';
        if (!is_bool && std::strchr("bBhHiIlLqQnN", format[0]) == nullptr) {
            return false;
        }
        const auto count = static_cast<std::size_t>(view_.shape[0]);
        const Py_ssize_t stride = view_.strides != nullptr ? view_.strides[0] : view_.itemsize;
        const auto* base = static_cast<const std::uint8_t*>(view_.buf);
        if (view_.itemsize == 1 && stride == 1 && !is_bool) {
            out = std::span<const std::uint8_t>(base, count);
            return true;
        }
        const bool big_endian =
            order == '>' || order == '!' ||
            ((order == '@' || order == '=') && std::endian::native == std::endian::big);
        const Py_ssize_t low = big_endian ? view_.itemsize - 1 : 0;
        scratch.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint8_t* item = base + static_cast<Py_ssize_t>(i) * stride;
            if (is_bool) {
                scratch[i] =
                    std::any_of(item, item + view_.itemsize, [](std::uint8_t b) { return b != 0; });
            } else {
                scratch[i] = item[low];
            }
        }
        out = scratch;
        return true;
    }

  private:
    Py_buffer view_{};
    bool ok_ = false;
};

}  // namespace

/// Stores bytes at consecutive addresses one at a time, keeping the current page at hand.
class ByteWriter {
  public:
    ByteWriter(SparseByteMemory& memory, nb::handle start) : memory_(memory), at_(start) {}

    void put(std::uint8_t value) {
        if (at_.paged()) {
            const std::uint64_t number = page_number(at_.value());
            if (slot_ == nullptr || number != number_) {
                slot_ = &memory_.slot_for_write(number);
                number_ = number;
            }
            memory_.paged_count_ += slot_->store(page_offset(at_.value()), {&value, 1});
        } else {
            memory_.overflow_[at_.big()] = value;
        }
        at_.advance();
    }

  private:
    SparseByteMemory& memory_;
    Address at_;
    PageSlot* slot_ = nullptr;
    std::uint64_t number_ = 0;
};

const PageSlot* SparseByteMemory::find_page(std::uint64_t number) const {
    auto it = pages_.find(number);
    return it == pages_.end() ? nullptr : &it->second;
}

void SparseByteMemory::store_paged(std::uint64_t address, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t offset = page_offset(address);
        const std::size_t take = std::min(bytes.size(), kPageSize - offset);
        paged_count_ += slot_for_write(page_number(address)).store(offset, bytes.first(take));
        if (take == bytes.size()) {
            break;  // before advancing, which could step past the paged range
        }
        bytes = bytes.subspan(take);
        address += take;
    }
}

void SparseByteMemory::store(nb::handle address, std::span<const std::uint8_t> bytes) {
    if (bytes.empty()) {
        return;
    }
    Address start(address);
    if (start.paged() && fits_from(start.value(), bytes.size())) {
        store_paged(start.value(), bytes);
        return;
    }
    ByteWriter writer(*this, address);
    for (std::uint8_t byte : bytes) {
        writer.put(byte);
    }
}

void SparseByteMemory::write_items(nb::handle address, nb::handle data) {
    nb::object iterator = py::steal_checked(PyObject_GetIter(data.ptr()));
    ByteWriter writer(*this, address);
    // Each item is stored as soon as it is converted, so a bad one leaves the earlier ones written.
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object item = nb::steal(raw);
        writer.put(low_byte_of_item(item));
    }
    if (PyErr_Occurred()) {
        throw nb::python_error();
    }
}

void SparseByteMemory::write(nb::handle address, nb::handle data) {
    nb::object start = as_index(address);
    if (PyObject_CheckBuffer(data.ptr()) && iterates_as_buffer(Py_TYPE(data.ptr()))) {
        BufferView buffer(data);
        std::vector<std::uint8_t> scratch;
        std::span<const std::uint8_t> bytes;
        if (buffer.low_bytes(scratch, bytes)) {
            store(start, bytes);
            return;
        }
    }
    write_items(start, data);
}

void SparseByteMemory::read_paged(std::uint64_t address, std::span<std::uint8_t> out) const {
    while (!out.empty()) {
        const std::size_t offset = page_offset(address);
        const std::size_t take = std::min(out.size(), kPageSize - offset);
        if (const PageSlot* slot = find_page(page_number(address))) {
            slot->read(offset, out.first(take));
        } else {
            std::memset(out.data(), 0, take);
        }
        if (take == out.size()) {
            break;
        }
        out = out.subspan(take);
        address += take;
    }
}

void SparseByteMemory::load(nb::handle address, std::span<std::uint8_t> out) const {
    if (out.empty()) {
        return;
    }
    Address at(address);
    if (at.paged() && fits_from(at.value(), out.size())) {
        read_paged(at.value(), out);
        return;
    }
    for (std::uint8_t& byte : out) {
        auto value = at.paged() ? get(nb::int_(at.value())) : get(at.big());
        byte = value.value_or(0);
        at.advance();
    }
}

nb::bytes SparseByteMemory::read(nb::handle address, nb::handle length) const {
    nb::object start = as_index(address);
    nb::object count_index = as_index(length);
    if (count_index <= nb::int_(0)) {
        return nb::bytes("", 0);
    }
    const Py_ssize_t count = PyLong_AsSsize_t(count_index.ptr());
    if (count == -1 && PyErr_Occurred()) {
        throw nb::python_error();
    }
    nb::object result = py::steal_checked(PyBytes_FromStringAndSize(nullptr, count));
    auto* data = reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(result.ptr()));
    load(start, std::span<std::uint8_t>(data, static_cast<std::size_t>(count)));
    return nb::borrow<nb::bytes>(result);
}

std::optional<std::uint8_t> SparseByteMemory::get(nb::handle address) const {
    if (auto value = as_u64(address)) {
        const PageSlot* slot = find_page(page_number(*value));
        return slot == nullptr ? std::nullopt : slot->get(page_offset(*value));
    }
    PyObject* value = PyDict_GetItemWithError(overflow_.ptr(), address.ptr());
    if (value == nullptr) {
        if (PyErr_Occurred()) {
            throw nb::python_error();
        }
        return std::nullopt;
    }
    return nb::cast<std::uint8_t>(nb::handle(value));
}

std::vector<std::uint64_t> SparseByteMemory::page_numbers() const {
    std::vector<std::uint64_t> numbers;
    numbers.reserve(pages_.size());
    for (const auto& entry : pages_) {
        numbers.push_back(entry.first);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::pair<nb::list, nb::list> SparseByteMemory::overflow_addresses() const {
    nb::list below, above;
    nb::list sorted =
        nb::borrow<nb::list>(py::steal_checked(PySequence_List(overflow_.ptr())));  // keys
    if (PyList_Sort(sorted.ptr()) < 0) {
        throw nb::python_error();
    }
    for (nb::handle key : sorted) {
        (key < nb::int_(0) ? below : above).append(key);
    }
    return {below, above};
}

std::vector<Extent> SparseByteMemory::extents() const {
    std::vector<Extent> result;
    // Consecutive overflow addresses join into one run; so do runs meeting across a page
    // boundary or across either end of the paged range.
    nb::object next_address;  // one past the last run's end, as a Python int
    auto add = [&](nb::object start, std::size_t length) {
        if (!result.empty() && start.equal(next_address)) {
            result.back().length += length;
        } else {
            result.push_back({std::move(start), length});
        }
        next_address = result.back().start + nb::int_(result.back().length);
    };
    auto [below, above] = overflow_addresses();
    for (nb::handle address : below) {
        add(nb::borrow(address), 1);
    }
    std::optional<std::uint64_t> run_start;
    std::uint64_t run_end = 0;  // one past the run's last address; may wrap to 0 at 2**64
    std::size_t run_length = 0;
    auto close_run = [&] {
        if (run_start) {
            add(nb::int_(*run_start), run_length);
            run_start.reset();
        }
    };
    for (std::uint64_t number : page_numbers()) {
        const PageSlot& slot = *find_page(number);
        const std::uint64_t base = number << kPageBits;
        for (std::size_t first = slot.next_written(0); first < kPageSize;) {
            const std::size_t end = slot.next_unwritten(first);
            if (!run_start || base + first != run_end) {
                close_run();
                run_start = base + first;
                run_length = 0;
            }
            run_length += end - first;
            run_end = base + end;
            first = slot.next_written(end);
        }
    }
    close_run();
    for (nb::handle address : above) {
        add(nb::borrow(address), 1);
    }
    return result;
}

nb::list SparseByteMemory::runs() const {
    nb::list result;
    for (const Extent& extent : extents()) {
        nb::object data = py::steal_checked(
            PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(extent.length)));
        load(extent.start,
             std::span<std::uint8_t>(reinterpret_cast<std::uint8_t*>(PyBytes_AS_STRING(data.ptr())),
                                     extent.length));
        result.append(nb::make_tuple(extent.start, data));
    }
    return result;
}

const SparseByteMemory& MemoryDataView::memory() const {
    if (!owner.is_valid()) {
        raise(PyExc_ReferenceError, "SparseByteMemory view was cleared by the garbage collector");
    }
    return *nb::inst_ptr<SparseByteMemory>(owner);
}

std::optional<std::uint8_t> MemoryDataView::lookup(nb::handle key) const {
    // A dict finds an int key under any equal number: True for 1, 16.0 for 16, numpy integers.
    nb::object address;
    if (PyLong_Check(key.ptr())) {
        address = nb::borrow(key);
    } else if (PyFloat_Check(key.ptr())) {
        const double value = PyFloat_AS_DOUBLE(key.ptr());
        if (!std::isfinite(value) || std::trunc(value) != value) {
            return std::nullopt;
        }
        address = py::steal_checked(PyNumber_Long(key.ptr()));
    } else if (PyIndex_Check(key.ptr())) {
        address = as_index(key);
    } else {
        return std::nullopt;
    }
    return memory().get(address);
}

MemoryDataIterator::MemoryDataIterator(nb::object owner)
    : owner_(std::move(owner)),
      memory_(nb::inst_ptr<SparseByteMemory>(owner_)),
      size_at_start_(memory_->size()),
      pages_(memory_->page_numbers()) {
    std::tie(below_, above_) = memory_->overflow_addresses();
}

void MemoryDataIterator::release() {
    owner_.reset();
    memory_ = nullptr;
}

nb::object MemoryDataIterator::next() {
    if (memory_ == nullptr) {
        throw nb::stop_iteration();
    }
    if (memory_->size() != size_at_start_) {
        raise(PyExc_RuntimeError, "SparseByteMemory changed size during iteration");
    }
    if (below_pos_ < below_.size()) {
        return below_[below_pos_++];
    }
    while (page_pos_ < pages_.size()) {
        const std::uint64_t number = pages_[page_pos_];
        const std::size_t offset = memory_->find_page(number)->next_written(offset_);
        if (offset < kPageSize) {
            offset_ = offset + 1;
            return nb::int_((number << kPageBits) + offset);
        }
        ++page_pos_;
        offset_ = 0;
    }
    if (above_pos_ < above_.size()) {
        return above_[above_pos_++];
    }
    throw nb::stop_iteration();
}

}  // namespace corvane::tavrin

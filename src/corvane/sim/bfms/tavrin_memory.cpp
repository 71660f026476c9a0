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

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::size_t kOffsetMask = kPageSize - 1;

/// `operator.index(value)`: addresses and lengths accept what a range() would.
nb::object as_index(nb::handle value) {
    return py::steal_checked(PyNumber_Index(value.ptr()));
}

std::optional<std::int64_t> as_int64(nb::handle index) {
    int overflow = 0;
    long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
    if (overflow != 0) {
        return std::nullopt;
    }
    if (value == -1 && PyErr_Occurred()) {
        throw nb::python_error();
    }
    return value;
}

/// True when `start` .. `start` + `count` - 1 all fit in int64 (count >= 1, below 2**63).
bool fits_from(std::int64_t start, std::size_t count) {
    return start <= 0 || count - 1 <= static_cast<std::uint64_t>(kInt64Max - start);
}

std::int64_t page_number(std::int64_t address) {
    return address >> kPageBits;
}
std::size_t page_offset(std::int64_t address) {
    return static_cast<std::uint64_t>(address) & kOffsetMask;
}

/// One address of an unbounded range: int64 while it fits, a Python int outside.
class Address {
  public:
    explicit Address(nb::handle index) {
        if (auto value = as_int64(index)) {
            value_ = *value;
        } else {
            big_ = nb::borrow(index);
        }
    }
    bool paged() const { return !big_.is_valid(); }
    std::int64_t value() const { return value_; }
    nb::handle big() const { return big_; }

    void advance() {
        if (paged()) {
            if (value_ == kInt64Max) {
                big_ = nb::int_(kInt64Max) + nb::int_(1);
            } else {
                ++value_;
            }
            return;
        }
        big_ = big_ + nb::int_(1);
        if (auto value = as_int64(big_)) {
            value_ = *value;
            big_.reset();
        }
    }

  private:
    std::int64_t value_ = 0;
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
            const std::int64_t number = page_number(at_.value());
            if (page_ == nullptr || number != number_) {
                page_ = &memory_.page_for_write(number);
                number_ = number;
            }
            memory_.set_byte(*page_, page_offset(at_.value()), value);
        } else {
            memory_.overflow_[at_.big()] = value;
        }
        at_.advance();
    }

  private:
    SparseByteMemory& memory_;
    Address at_;
    Page* page_ = nullptr;
    std::int64_t number_ = 0;
};

Page& SparseByteMemory::page_for_write(std::int64_t number, std::size_t first, std::size_t count) {
    auto& slot = pages_[number];
    if (!slot) {
        // Zeroing only what the caller will not overwrite saves a pass over bulk-written pages.
        slot = std::make_unique_for_overwrite<Page>();
        slot->written.fill(0);
        std::memset(slot->bytes.data(), 0, first);
        std::memset(slot->bytes.data() + first + count, 0, kPageSize - first - count);
    }
    return *slot;
}

const Page* SparseByteMemory::find_page(std::int64_t number) const {
    auto it = pages_.find(number);
    return it == pages_.end() ? nullptr : it->second.get();
}

void SparseByteMemory::set_byte(Page& page, std::size_t offset, std::uint8_t value) {
    page.bytes[offset] = value;
    std::uint64_t& word = page.written[offset / 64];
    const std::uint64_t bit = std::uint64_t{1} << (offset % 64);
    if ((word & bit) == 0) {
        word |= bit;
        ++paged_count_;
    }
}

void SparseByteMemory::store_paged(std::int64_t address, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const std::size_t offset = page_offset(address);
        const std::size_t take = std::min(bytes.size(), kPageSize - offset);
        Page& page = page_for_write(page_number(address), offset, take);
        std::memcpy(page.bytes.data() + offset, bytes.data(), take);
        // Mark [offset, offset + take) written, counting only the bits that were not set yet.
        for (std::size_t first = offset, end = offset + take; first < end;) {
            const std::size_t word = first / 64;
            const std::size_t lo = first % 64;
            const std::size_t hi = std::min<std::size_t>(64, end - word * 64);
            const std::uint64_t mask =
                (hi - lo == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << (hi - lo)) - 1)) << lo;
            paged_count_ += std::popcount(mask & ~page.written[word]);
            page.written[word] |= mask;
            first = word * 64 + hi;
        }
        if (take == bytes.size()) {
            break;  // before advancing, which could step past the int64 range
        }
        bytes = bytes.subspan(take);
        address += static_cast<std::int64_t>(take);
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

void SparseByteMemory::read_paged(std::int64_t address, std::span<std::uint8_t> out) const {
    while (!out.empty()) {
        const std::size_t offset = page_offset(address);
        const std::size_t take = std::min(out.size(), kPageSize - offset);
        if (const Page* page = find_page(page_number(address))) {
            std::memcpy(out.data(), page->bytes.data() + offset, take);
        } else {
            std::memset(out.data(), 0, take);
        }
        if (take == out.size()) {
            break;
        }
        out = out.subspan(take);
        address += static_cast<std::int64_t>(take);
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
    std::span<std::uint8_t> out(data, static_cast<std::size_t>(count));

    Address at(start);
    if (at.paged() && fits_from(at.value(), out.size())) {
        read_paged(at.value(), out);
    } else {
        std::fill(out.begin(), out.end(), std::uint8_t{0});
        for (std::uint8_t& byte : out) {
            if (auto value = at.paged() ? get(nb::int_(at.value())) : get(at.big())) {
                byte = *value;
            }
            at.advance();
        }
    }
    return nb::borrow<nb::bytes>(result);
}

std::optional<std::uint8_t> SparseByteMemory::get(nb::handle address) const {
    if (auto value = as_int64(address)) {
        const Page* page = find_page(page_number(*value));
        const std::size_t offset = page_offset(*value);
        if (page == nullptr || ((page->written[offset / 64] >> (offset % 64)) & 1U) == 0) {
            return std::nullopt;
        }
        return page->bytes[offset];
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

std::vector<std::int64_t> SparseByteMemory::page_numbers() const {
    std::vector<std::int64_t> numbers;
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

nb::list SparseByteMemory::runs() const {
    nb::list result;
    auto [below, above] = overflow_addresses();
    auto add_single = [&](nb::handle address) {
        const std::uint8_t byte = *get(address);
        result.append(nb::make_tuple(address, nb::bytes(&byte, 1)));
    };
    for (nb::handle address : below) {
        add_single(address);
    }
    // A run may go on across pages, so it is closed only at an unwritten byte or a page gap.
    std::vector<std::uint8_t> run;
    std::int64_t run_start = 0;
    std::uint64_t next = 0;  // unsigned: one past INT64_MAX must not overflow
    auto close_run = [&] {
        if (!run.empty()) {
            result.append(nb::make_tuple(run_start, nb::bytes(run.data(), run.size())));
            run.clear();
        }
    };
    for (std::int64_t number : page_numbers()) {
        const Page& page = *find_page(number);
        const std::int64_t base = number * static_cast<std::int64_t>(kPageSize);
        for (std::size_t offset = 0; offset < kPageSize; ++offset) {
            if (((page.written[offset / 64] >> (offset % 64)) & 1U) == 0) {
                close_run();
                continue;
            }
            const std::int64_t address = base + static_cast<std::int64_t>(offset);
            if (run.empty() || static_cast<std::uint64_t>(address) != next) {
                close_run();
                run_start = address;
            }
            run.push_back(page.bytes[offset]);
            next = static_cast<std::uint64_t>(address) + 1;
        }
    }
    close_run();
    for (nb::handle address : above) {
        add_single(address);
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
        const std::int64_t number = pages_[page_pos_];
        const Page* page = memory_->find_page(number);
        while (offset_ < kPageSize) {
            const std::uint64_t bits = page->written[offset_ / 64] >> (offset_ % 64);
            if (bits == 0) {
                offset_ = (offset_ / 64 + 1) * 64;
                continue;
            }
            offset_ += static_cast<std::size_t>(std::countr_zero(bits));
            const std::int64_t address = number * static_cast<std::int64_t>(kPageSize) +
                                         static_cast<std::int64_t>(offset_++);
            return nb::int_(address);
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

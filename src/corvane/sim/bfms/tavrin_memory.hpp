// src/corvane/sim/bfms/tavrin_memory.hpp: the sparse byte memory shared by the DMA models.
//
// Addresses are Python integers without bounds. Those a 64-bit descriptor can carry
// (0 .. 2**64 - 1) live in 4 KiB pages keyed by their unsigned page number, each sparse or dense
// (tavrin_pages.hpp), so isolated bytes stay cheap and bulk transfers are memcpy; the rare
// addresses outside that range live in a dict keyed by Python int, so nothing is ever truncated.
// Page slots are never freed while the memory lives, so a pointer to one stays valid.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

#include "tavrin_pages.hpp"

namespace corvane::tavrin {

namespace nb = nanobind;

/// A run of consecutive written addresses, [start, start + length).
struct Extent {
    nb::object start;  // Python int
    std::size_t length;
};

class SparseByteMemory {
  public:
    SparseByteMemory() = default;
    SparseByteMemory(const SparseByteMemory&) = delete;
    SparseByteMemory& operator=(const SparseByteMemory&) = delete;

    /// Store `int(item) & 0xFF` of each element of `data` at `address`, `address` + 1, ...
    void write(nb::handle address, nb::handle data);

    /// `length` bytes from `address`; zeros where never written; never creates entries.
    nb::bytes read(nb::handle address, nb::handle length) const;

    /// The byte written at the Python int `address`, or nullopt.
    std::optional<std::uint8_t> get(nb::handle address) const;

    /// Number of addresses ever written.
    std::size_t size() const { return paged_count_ + overflow_.size(); }

    /// Numbers of the allocated pages, ascending.
    std::vector<std::uint64_t> page_numbers() const;
    const PageSlot* find_page(std::uint64_t number) const;

    /// Written addresses outside 0 .. 2**64 - 1, ascending: those below it, those above it.
    std::pair<nb::list, nb::list> overflow_addresses() const;

    /// Every maximal run of consecutive written addresses, in address order.
    std::vector<Extent> extents() const;

    /// The written bytes as `(address, bytes)` pairs of maximal runs of consecutive written
    /// addresses, in address order: a compact state for copy and pickle.
    nb::list runs() const;

    /// Store raw bytes (already reduced to 0..255) from the Python int `address` on.
    void store(nb::handle address, std::span<const std::uint8_t> bytes);

    /// Fill `out` from the Python int `address` on (zeros where never written).
    void load(nb::handle address, std::span<std::uint8_t> out) const;

  private:
    friend class ByteWriter;

    PageSlot& slot_for_write(std::uint64_t number) { return pages_[number]; }
    void store_paged(std::uint64_t address, std::span<const std::uint8_t> bytes);
    void read_paged(std::uint64_t address, std::span<std::uint8_t> out) const;
    void write_items(nb::handle address, nb::handle data);

    std::unordered_map<std::uint64_t, PageSlot> pages_;
    std::size_t paged_count_ = 0;  // written bytes held in pages
    nb::dict overflow_;            // int address -> int byte, for addresses outside 0..2**64-1
};

/// `SparseByteMemory._data`: a live, read-only mapping of written address to byte.
struct MemoryDataView {
    nb::object owner;  // the Python SparseByteMemory; keeps it alive as long as the view

    const SparseByteMemory& memory() const;
    /// The byte at `key` when `key` equals a written address (as a dict lookup would find it).
    std::optional<std::uint8_t> lookup(nb::handle key) const;
};

/// Iterates a memory's written addresses in ascending order.
class MemoryDataIterator {
  public:
    explicit MemoryDataIterator(nb::object owner);
    /// The next address; raises StopIteration at the end, RuntimeError when the memory grew.
    nb::object next();

    /// The memory object, for the cyclic GC; `release` drops it (the iterator then ends).
    nb::handle owner() const { return owner_; }
    void release();

  private:
    nb::object owner_;
    const SparseByteMemory* memory_;
    std::size_t size_at_start_;
    nb::list below_, above_;  // overflow addresses below and above the paged range
    std::size_t below_pos_ = 0, above_pos_ = 0;
    std::vector<std::uint64_t> pages_;
    std::size_t page_pos_ = 0;
    std::size_t offset_ = 0;  // next offset to scan within pages_[page_pos_]
};

/// The user-facing helpers around the memory (tavrin_memory_inspect.cpp).
nb::str memory_hexdump(const SparseByteMemory& memory, nb::handle address, nb::handle length);
nb::object memory_compare(const SparseByteMemory& memory, nb::handle address, nb::handle expected);
nb::int_ memory_read_word(const SparseByteMemory& memory, nb::handle address, int bytes);
void memory_write_word(SparseByteMemory& memory, nb::handle address, nb::handle value, int bytes);
nb::str memory_repr(nb::handle self);

}  // namespace corvane::tavrin

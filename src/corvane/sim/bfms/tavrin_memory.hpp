// src/corvane/sim/bfms/tavrin_memory.hpp: the sparse byte memory shared by the DMA models.
//
// Addresses are Python integers without bounds. Those inside the int64 range live in 4 KiB pages
// (bytes plus a written-bitmap, so the `_data` view knows exactly which addresses were written);
// the rare ones outside it live in a dict keyed by Python int, so nothing is ever truncated.
// Pages are never freed while the memory lives, so a pointer to one stays valid.
#pragma once

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace corvane::tavrin {

namespace nb = nanobind;

inline constexpr int kPageBits = 12;
inline constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;

struct Page {
    std::array<std::uint8_t, kPageSize> bytes;  // zero where never written
    std::array<std::uint64_t, kPageSize / 64> written;
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
    std::vector<std::int64_t> page_numbers() const;
    const Page* find_page(std::int64_t number) const;

    /// Written addresses outside the int64 range, ascending: those below it, those above it.
    std::pair<nb::list, nb::list> overflow_addresses() const;

    /// The written bytes as `(address, bytes)` pairs of maximal runs of consecutive written
    /// addresses, in address order: a compact state for copy and pickle.
    nb::list runs() const;

    /// Store raw bytes (already reduced to 0..255) from the Python int `address` on.
    void store(nb::handle address, std::span<const std::uint8_t> bytes);

  private:
    friend class ByteWriter;

    /// The page, created when missing; a new page's bytes are zeroed except the `overwritten`
    /// range [first, first + count), which the caller is about to fill.
    Page& page_for_write(std::int64_t number, std::size_t first = 0, std::size_t count = 0);
    void set_byte(Page& page, std::size_t offset, std::uint8_t value);
    void store_paged(std::int64_t address, std::span<const std::uint8_t> bytes);
    void read_paged(std::int64_t address, std::span<std::uint8_t> out) const;
    void write_items(nb::handle address, nb::handle data);

    std::unordered_map<std::int64_t, std::unique_ptr<Page>> pages_;
    std::size_t paged_count_ = 0;  // written bytes held in pages
    nb::dict overflow_;            // int address -> int byte, for addresses outside int64
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
    nb::list below_, above_;  // overflow addresses below and above the int64 range
    std::size_t below_pos_ = 0, above_pos_ = 0;
    std::vector<std::int64_t> pages_;
    std::size_t page_pos_ = 0;
    std::size_t offset_ = 0;  // next offset to scan within pages_[page_pos_]
};

}  // namespace corvane::tavrin

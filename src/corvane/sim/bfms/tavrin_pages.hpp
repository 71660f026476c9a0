// src/corvane/sim/bfms/tavrin_pages.hpp: one 4 KiB page of the sparse memory, sparse or dense.
//
// A page holds what was written into its 4096 addresses in one of two forms:
// - sparse: a short sorted list of (offset, byte) entries, so an isolated byte costs a few bytes
//   instead of a whole page. The first two entries live inside the slot itself; more go to a
//   small heap array that doubles as it grows.
// - dense: all 4096 bytes plus a bitmap of which were written, so bulk transfers are memcpy.
// A page turns dense once it would hold more than kSparseLimit entries (or receives a run that
// long) and stays dense. Nothing here touches Python.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace corvane::tavrin {

inline constexpr int kPageBits = 12;
inline constexpr std::size_t kPageSize = std::size_t{1} << kPageBits;
/// Above this many written bytes a page is dense: 512 entries take 2 KiB, under half a dense
/// page, and inserting into a sorted array of that size is still a short memmove.
inline constexpr std::size_t kSparseLimit = 512;

struct DensePage {
    std::array<std::uint8_t, kPageSize> bytes;  // zero where never written
    std::array<std::uint64_t, kPageSize / 64> written;
};

class PageSlot {
  public:
    PageSlot() = default;
    ~PageSlot();
    PageSlot(const PageSlot&) = delete;
    PageSlot& operator=(const PageSlot&) = delete;

    bool dense() const { return capacity_ == kDenseTag; }

    /// The byte written at `offset`, or nullopt.
    std::optional<std::uint8_t> get(std::size_t offset) const;

    /// Store `bytes` from `offset` on (within the page); returns how many were not written
    /// before.
    std::size_t store(std::size_t offset, std::span<const std::uint8_t> bytes);

    /// `out.size()` bytes from `offset` (within the page); zeros where never written.
    void read(std::size_t offset, std::span<std::uint8_t> out) const;

    /// The first written offset at or after `from`, or kPageSize.
    std::size_t next_written(std::size_t from) const;
    /// The first offset at or after `from` that was never written, or kPageSize.
    std::size_t next_unwritten(std::size_t from) const;

  private:
    static constexpr std::uint16_t kDenseTag = 0xFFFF;
    static constexpr std::uint16_t kLocal = 2;  // entries kept inside the slot

    // An entry packs offset << 8 | value, so entries sort by offset.
    const std::uint32_t* entries() const { return capacity_ == 0 ? storage_.local : storage_.heap; }
    std::uint32_t* entries() { return capacity_ == 0 ? storage_.local : storage_.heap; }
    std::size_t lower_bound(std::size_t offset) const;
    void make_dense(std::size_t first_fill = 0, std::size_t fill_count = 0);
    void reserve(std::size_t count);
    std::size_t store_dense(std::size_t offset, std::span<const std::uint8_t> bytes);

    union {
        DensePage* dense;             // owned, when capacity_ == kDenseTag
        std::uint32_t* heap;          // owned, capacity_ entries, when 0 < capacity_ < kDenseTag
        std::uint32_t local[kLocal];  // when capacity_ == 0
    } storage_{};
    std::uint16_t count_ = 0;     // entries (sparse pages only)
    std::uint16_t capacity_ = 0;  // 0: local entries; kDenseTag: dense
};

}  // namespace corvane::tavrin

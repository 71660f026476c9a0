// src/corvane/sim/bfms/tavrin_pages.cpp: one 4 KiB page of the sparse memory, sparse or dense.
#include "tavrin_pages.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

namespace corvane::tavrin {

namespace {

constexpr std::uint32_t pack(std::size_t offset, std::uint8_t value) {
    return static_cast<std::uint32_t>(offset << 8) | value;
}
constexpr std::size_t offset_of(std::uint32_t entry) {
    return entry >> 8;
}
constexpr std::uint8_t value_of(std::uint32_t entry) {
    return static_cast<std::uint8_t>(entry & 0xFF);
}

bool is_written(const DensePage& page, std::size_t offset) {
    return ((page.written[offset / 64] >> (offset % 64)) & 1U) != 0;
}

/// Mark [first, end) written; returns how many bits were not set yet.
std::size_t mark_written(DensePage& page, std::size_t first, std::size_t end) {
    std::size_t added = 0;
    while (first < end) {
        const std::size_t word = first / 64;
        const std::size_t lo = first % 64;
        const std::size_t hi = std::min<std::size_t>(64, end - word * 64);
        const std::uint64_t mask =
            (hi - lo == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << (hi - lo)) - 1)) << lo;
        added += static_cast<std::size_t>(std::popcount(mask & ~page.written[word]));
        page.written[word] |= mask;
        first = word * 64 + hi;
    }
    return added;
}

/// The first offset at or after `from` whose bit equals `set`, or kPageSize.
std::size_t next_bit(const DensePage& page, std::size_t from, bool set) {
    while (from < kPageSize) {
        std::uint64_t bits = page.written[from / 64];
        if (!set) {
            bits = ~bits;
        }
        bits >>= from % 64;
        if (bits != 0) {
            return from + static_cast<std::size_t>(std::countr_zero(bits));
        }
        from = (from / 64 + 1) * 64;
    }
    return kPageSize;
}

}  // namespace

PageSlot::~PageSlot() {
    if (dense()) {
        delete storage_.dense;
    } else if (capacity_ != 0) {
        delete[] storage_.heap;
    }
}

std::size_t PageSlot::lower_bound(std::size_t offset) const {
    const std::uint32_t* first = entries();
    return static_cast<std::size_t>(std::lower_bound(first, first + count_, pack(offset, 0)) -
                                    first);
}

std::optional<std::uint8_t> PageSlot::get(std::size_t offset) const {
    if (dense()) {
        if (!is_written(*storage_.dense, offset)) {
            return std::nullopt;
        }
        return storage_.dense->bytes[offset];
    }
    const std::size_t at = lower_bound(offset);
    if (at == count_ || offset_of(entries()[at]) != offset) {
        return std::nullopt;
    }
    return value_of(entries()[at]);
}

void PageSlot::reserve(std::size_t count) {
    const std::size_t have = capacity_ == 0 ? kLocal : capacity_;
    if (count <= have) {
        return;
    }
    std::size_t grown = have;
    while (grown < count) {
        grown *= 2;
    }
    grown = std::min(grown, kSparseLimit);
    auto* heap = new std::uint32_t[grown];
    std::memcpy(heap, entries(), count_ * sizeof(std::uint32_t));
    if (capacity_ != 0) {
        delete[] storage_.heap;
    }
    storage_.heap = heap;
    capacity_ = static_cast<std::uint16_t>(grown);
}

void PageSlot::make_dense(std::size_t first_fill, std::size_t fill_count) {
    // A new page's bytes are zeroed except [first_fill, first_fill + fill_count), which the
    // caller is about to overwrite: that saves a pass over bulk-written pages.
    auto page = std::make_unique_for_overwrite<DensePage>();
    page->written.fill(0);
    std::memset(page->bytes.data(), 0, first_fill);
    std::memset(page->bytes.data() + first_fill + fill_count, 0,
                kPageSize - first_fill - fill_count);
    for (std::size_t i = 0; i < count_; ++i) {
        const std::uint32_t entry = entries()[i];
        page->bytes[offset_of(entry)] = value_of(entry);
        mark_written(*page, offset_of(entry), offset_of(entry) + 1);
    }
    if (capacity_ != 0) {
        delete[] storage_.heap;
    }
    storage_.dense = page.release();
    capacity_ = kDenseTag;
    count_ = 0;
}

std::size_t PageSlot::store_dense(std::size_t offset, std::span<const std::uint8_t> bytes) {
    std::memcpy(storage_.dense->bytes.data() + offset, bytes.data(), bytes.size());
    return mark_written(*storage_.dense, offset, offset + bytes.size());
}

std::size_t PageSlot::store(std::size_t offset, std::span<const std::uint8_t> bytes) {
    if (dense()) {
        return store_dense(offset, bytes);
    }
    const std::size_t end = offset + bytes.size();
    const std::size_t first = lower_bound(offset);
    const std::size_t last = lower_bound(end);  // entries [first, last) are overwritten
    const std::size_t total = count_ - (last - first) + bytes.size();
    if (total > kSparseLimit) {
        // Only the range the caller fills may stay unzeroed, and only when no entry is kept.
        const bool fresh = count_ == 0;
        make_dense(fresh ? offset : 0, fresh ? bytes.size() : 0);
        return store_dense(offset, bytes);
    }
    const std::size_t added = bytes.size() - (last - first);
    if (bytes.size() == 1 && added == 0) {
        entries()[first] = pack(offset, bytes[0]);  // the common overwrite of one byte
        return 0;
    }
    reserve(total);
    std::uint32_t* list = entries();
    // Shift the entries after the run to their place, then write the run in between.
    std::memmove(list + first + bytes.size(), list + last, (count_ - last) * sizeof(std::uint32_t));
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        list[first + i] = pack(offset + i, bytes[i]);
    }
    count_ = static_cast<std::uint16_t>(total);
    return added;
}

void PageSlot::read(std::size_t offset, std::span<std::uint8_t> out) const {
    if (dense()) {
        std::memcpy(out.data(), storage_.dense->bytes.data() + offset, out.size());
        return;
    }
    std::memset(out.data(), 0, out.size());
    const std::size_t end = offset + out.size();
    for (std::size_t i = lower_bound(offset); i < count_; ++i) {
        const std::uint32_t entry = entries()[i];
        if (offset_of(entry) >= end) {
            break;
        }
        out[offset_of(entry) - offset] = value_of(entry);
    }
}

std::size_t PageSlot::next_written(std::size_t from) const {
    if (dense()) {
        return next_bit(*storage_.dense, from, true);
    }
    const std::size_t at = lower_bound(from);
    return at == count_ ? kPageSize : offset_of(entries()[at]);
}

std::size_t PageSlot::next_unwritten(std::size_t from) const {
    if (dense()) {
        return next_bit(*storage_.dense, from, false);
    }
    for (std::size_t at = lower_bound(from); at < count_ && offset_of(entries()[at]) == from;
         ++at) {
        ++from;
    }
    return from;
}

}  // namespace corvane::tavrin

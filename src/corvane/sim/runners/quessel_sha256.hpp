// src/corvane/sim/runners/quessel_sha256.hpp: SHA-256 of byte streams, without the GIL.
//
// Native so that source indexing can hash on several threads at once with the GIL released;
// the digests equal hashlib.sha256's. x86 CPUs with the SHA extensions take the hardware rounds.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace corvane::quessel {

using Digest = std::array<std::uint8_t, 32>;

/// Incremental SHA-256: update() any number of times, then finish() once.
class Sha256 {
  public:
    Sha256();
    void update(const std::uint8_t* data, std::size_t size);
    Digest finish();

  private:
    std::array<std::uint32_t, 8> state_;
    std::array<std::uint8_t, 64> pending_{};
    std::size_t pending_size_ = 0;
    std::uint64_t total_bytes_ = 0;
};

}  // namespace corvane::quessel

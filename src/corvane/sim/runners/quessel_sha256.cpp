// src/corvane/sim/runners/quessel_sha256.cpp: SHA-256 of byte streams, without the GIL.
#include "quessel_sha256.hpp"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
#define CORVANE_SHA_NI 1
#endif

namespace corvane::quessel {

namespace {

constexpr std::uint32_t kRound[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2,
};

constexpr std::uint32_t rotr(std::uint32_t x, int n) {
    return (x >> n) | (x << (32 - n));
}

std::uint32_t load_be32(const std::uint8_t* p) {
    return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
           std::uint32_t{p[3]};
}

void compress_portable(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
    for (; blocks > 0; --blocks, data += 64) {
        std::uint32_t w[64];
        for (int i = 0; i < 16; ++i) {
            w[i] = load_be32(data + 4 * i);
        }
        for (int i = 16; i < 64; ++i) {
            std::uint32_t s0 = rotr(w[i - 15], 7) ^ rotr(w[i - 15], 18) ^ (w[i - 15] >> 3);
            std::uint32_t s1 = rotr(w[i - 2], 17) ^ rotr(w[i - 2], 19) ^ (w[i - 2] >> 10);
            w[i] = w[i - 16] + s0 + w[i - 7] + s1;
        }
        std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
        std::uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
        for (int i = 0; i < 64; ++i) {
            std::uint32_t t1 = h + (rotr(e, 6) ^ rotr(e, 11) ^ rotr(e, 25)) + ((e & f) ^ (~e & g)) +
                               kRound[i] + w[i];
            std::uint32_t t2 =
                (rotr(a, 2) ^ rotr(a, 13) ^ rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
            h = g;
            g = f;
            f = e;
            e = d + t1;
            d = c;
            c = b;
            b = a;
            a = t1 + t2;
        }
        state[0] += a;
        state[1] += b;
        state[2] += c;
        state[3] += d;
        state[4] += e;
        state[5] += f;
        state[6] += g;
        state[7] += h;
    }
}

#ifdef CORVANE_SHA_NI
// The SHA extensions keep the state as the word pairs ABEF and CDGH; each sha256rnds2 does two
// rounds, and msg1/msg2 extend the message schedule four words at a time.
__attribute__((target("sha,sse4.1,ssse3"))) void compress_sha_ni(std::uint32_t* state,
                                                                 const std::uint8_t* data,
                                                                 std::size_t blocks) {
    const __m128i byte_swap = _mm_set_epi64x(0x0c0d0e0f08090a0bULL, 0x0405060700010203ULL);
    __m128i tmp = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[0]));
    __m128i state1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&state[4]));
    tmp = _mm_shuffle_epi32(tmp, 0xB1);                // CDAB
    state1 = _mm_shuffle_epi32(state1, 0x1B);          // EFGH
    __m128i state0 = _mm_alignr_epi8(tmp, state1, 8);  // ABEF
    state1 = _mm_blend_epi16(state1, tmp, 0xF0);       // CDGH

    for (; blocks > 0; --blocks, data += 64) {
        const __m128i abef_save = state0;
        const __m128i cdgh_save = state1;
        __m128i msgs[4];
#pragma GCC unroll 16
        for (int i = 0; i < 16; ++i) {
            if (i < 4) {
                msgs[i] = _mm_shuffle_epi8(
                    _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + 16 * i)), byte_swap);
            }
            __m128i msg = _mm_add_epi32(
                msgs[i % 4], _mm_loadu_si128(reinterpret_cast<const __m128i*>(&kRound[4 * i])));
            state1 = _mm_sha256rnds2_epu32(state1, state0, msg);
            if (i >= 3 && i <= 14) {
                __m128i& next = msgs[(i + 1) % 4];
                next = _mm_add_epi32(next, _mm_alignr_epi8(msgs[i % 4], msgs[(i + 3) % 4], 4));
                next = _mm_sha256msg2_epu32(next, msgs[i % 4]);
            }
            msg = _mm_shuffle_epi32(msg, 0x0E);
            state0 = _mm_sha256rnds2_epu32(state0, state1, msg);
            if (i >= 1 && i <= 12) {
                msgs[(i + 3) % 4] = _mm_sha256msg1_epu32(msgs[(i + 3) % 4], msgs[i % 4]);
            }
        }
        state0 = _mm_add_epi32(state0, abef_save);
        state1 = _mm_add_epi32(state1, cdgh_save);
    }

    tmp = _mm_shuffle_epi32(state0, 0x1B);        // FEBA
    state1 = _mm_shuffle_epi32(state1, 0xB1);     // DCHG
    state0 = _mm_blend_epi16(tmp, state1, 0xF0);  // DCBA
    state1 = _mm_alignr_epi8(state1, tmp, 8);     // HGFE
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[0]), state0);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&state[4]), state1);
}

bool cpu_has_sha_ni() {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool ssse3 = (ecx & (1u << 9)) != 0;
    const bool sse41 = (ecx & (1u << 19)) != 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx)) {
        return false;
    }
    const bool sha = (ebx & (1u << 29)) != 0;
    return ssse3 && sse41 && sha;
}
#endif

using CompressFn = void (*)(std::uint32_t*, const std::uint8_t*, std::size_t);

CompressFn pick_compress() {
#ifdef CORVANE_SHA_NI
    if (cpu_has_sha_ni()) {
        return compress_sha_ni;
    }
#endif
    return compress_portable;
}

// Chosen once; a static local is initialised thread-safely on first use.
void compress(std::uint32_t* state, const std::uint8_t* data, std::size_t blocks) {
    static const CompressFn fn = pick_compress();
    fn(state, data, blocks);
}

}  // namespace

Sha256::Sha256()
    : state_{0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19} {}

void Sha256::update(const std::uint8_t* data, std::size_t size) {
    total_bytes_ += size;
    if (pending_size_ > 0) {
        std::size_t take = std::min(size, pending_.size() - pending_size_);
        std::memcpy(pending_.data() + pending_size_, data, take);
        pending_size_ += take;
        data += take;
        size -= take;
        if (pending_size_ < pending_.size()) {
            return;
        }
        compress(state_.data(), pending_.data(), 1);
        pending_size_ = 0;
    }
    std::size_t blocks = size / 64;
    if (blocks > 0) {
        compress(state_.data(), data, blocks);
        data += blocks * 64;
        size -= blocks * 64;
    }
    std::memcpy(pending_.data(), data, size);
    pending_size_ = size;
}

Digest Sha256::finish() {
    const std::uint64_t bit_length = total_bytes_ * 8;
    std::uint8_t tail[128] = {};
    std::memcpy(tail, pending_.data(), pending_size_);
    tail[pending_size_] = 0x80;
    // The length field must fit after the 0x80 marker; otherwise the padding spills into a
    // second block.
    const std::size_t tail_size = pending_size_ + 9 <= 64 ? 64 : 128;
    for (int i = 0; i < 8; ++i) {
        tail[tail_size - 1 - i] = static_cast<std::uint8_t>(bit_length >> (8 * i));
    }
    compress(state_.data(), tail, tail_size / 64);
    Digest digest;
    for (int i = 0; i < 8; ++i) {
        digest[4 * i] = static_cast<std::uint8_t>(state_[i] >> 24);
        digest[4 * i + 1] = static_cast<std::uint8_t>(state_[i] >> 16);
        digest[4 * i + 2] = static_cast<std::uint8_t>(state_[i] >> 8);
        digest[4 * i + 3] = static_cast<std::uint8_t>(state_[i]);
    }
    return digest;
}

}  // namespace corvane::quessel

// CRC-32 by carry-less multiplication: the message is folded 128 bits at a
// time into a few wide accumulators, which are then reduced to the 32-bit
// register by Barrett reduction. Each routine carries its own target
// attribute, so the library builds without -m flags and only calls a routine
// after the processor has been asked whether it can run it.
#include "core/checksum_kernels.hpp"

#if defined(VORL_CRC32_X86)

#include <immintrin.h>

#include <cstring>

#define VORL_TARGET_PCLMUL __attribute__((target("pclmul,sse4.1")))
#define VORL_TARGET_VPCLMUL __attribute__((target("vpclmulqdq,avx2,pclmul,sse4.1")))
#define VORL_TARGET_VPCLMUL512 __attribute__((target("vpclmulqdq,avx512f,avx512bw,avx512vl,avx2,pclmul,sse4.1")))

namespace vorl::detail {
namespace {

// --- Polynomial arithmetic modulo P(x) ---------------------------------------
//
// The checksum is bit-reflected: the first message bit (bit 0 of byte 0)
// carries the highest power of x. Every value here is kept in that order, so
// a 128-bit register loaded from memory holds x^127 in bit 0 and x^0 in bit
// 127, and its first 64-bit half holds the higher powers.
//
// A carry-less product of two such 64-bit numbers comes out one bit short of
// the 128-bit frame (the highest power lands in bit 0 only for degree 127), so
// clmul(h, m) reads as h*m*x. Multipliers are therefore stored as a 33-bit
// reflected remainder r (x^32 in bit 0, so the 64-bit number reads as r*x^31),
// and clmul(h, m) reads as h*r*x^32.

constexpr std::uint64_t reverse_bits(std::uint64_t value, unsigned width) {
    std::uint64_t reversed = 0;
    for (unsigned i = 0; i < width; ++i) {
        reversed = (reversed << 1) | ((value >> i) & 1);
    }
    return reversed;
}

constexpr std::uint32_t kPoly = 0x04C11DB7;  // P(x) - x^32
constexpr std::uint32_t kPolyReflected = static_cast<std::uint32_t>(reverse_bits(kPoly, 32));

// x^n mod P(x), reflected into 32 bits (x^31 in bit 0, x^0 in bit 31).
constexpr std::uint32_t x_pow_mod_p(unsigned n) {
    std::uint32_t r = 0x80000000;  // x^0
    for (unsigned i = 0; i < n; ++i) {
        // Times x shifts every term one bit down; x^31 becomes x^32, which is
        // congruent to P(x) - x^32.
        r = (r & 1) != 0 ? (r >> 1) ^ kPolyReflected : r >> 1;
    }
    return r;
}

// The multiplier m with clmul(h, m) == h*x^e (mod P) for a 64-bit half h read
// as its own polynomial: r = x^(e-32) mod P in 33-bit form.
constexpr std::uint64_t times_x_pow(unsigned e) { return std::uint64_t{x_pow_mod_p(e - 32)} << 1; }

// Carrying a 128-bit block A = H*x^64 + L forward by `bits` bits gives
// A*x^bits = H*x^(bits+64) + L*x^bits: one multiplier per half.
struct FoldMultipliers {
    std::uint64_t first_half;
    std::uint64_t second_half;
};

constexpr FoldMultipliers fold_by(unsigned bits) { return {times_x_pow(bits + 64), times_x_pow(bits)}; }

// floor(x^64 / P(x)) by long division, reflected into 33 bits.
constexpr std::uint64_t barrett_quotient() {
    std::uint64_t quotient = 0;
    std::uint32_t window = 0;  // the 32 coefficients below the one about to leave
    for (int degree = 64; degree >= 0; --degree) {
        const bool leaving = (window >> 31) != 0;
        window = (window << 1) | (degree == 64 ? 1u : 0u);
        quotient <<= 1;
        if (leaving) {
            window ^= kPoly;
            quotient |= 1;
        }
    }
    return reverse_bits(quotient, 33);
}

constexpr std::uint64_t kBarrettQuotient = barrett_quotient();
constexpr std::uint64_t kPolyWithTop = (std::uint64_t{kPolyReflected} << 1) | 1;  // P(x), 33-bit form

constexpr FoldMultipliers kFold128 = fold_by(128);
constexpr FoldMultipliers kFold512 = fold_by(4 * 128);
constexpr FoldMultipliers kFold1024 = fold_by(4 * 256);

// --- 128-bit steps ------------------------------------------------------------

VORL_TARGET_PCLMUL inline __m128i pair(std::uint64_t low, std::uint64_t high) {
    return _mm_set_epi64x(static_cast<long long>(high), static_cast<long long>(low));
}

VORL_TARGET_PCLMUL inline __m128i multipliers(FoldMultipliers m) { return pair(m.first_half, m.second_half); }

VORL_TARGET_PCLMUL inline __m128i load(const std::uint8_t* at) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
}

// acc * x^bits + next, for the distance `m` was made for.
VORL_TARGET_PCLMUL inline __m128i fold(__m128i acc, __m128i next, __m128i m) {
    const __m128i first = _mm_clmulepi64_si128(acc, m, 0x00);
    const __m128i second = _mm_clmulepi64_si128(acc, m, 0x11);
    return _mm_xor_si128(_mm_xor_si128(first, second), next);
}

// The CRC register for a message whose folded form is the 128-bit block A:
// A*x^32 mod P.
VORL_TARGET_PCLMUL inline std::uint32_t reduce(__m128i a) {
    const __m128i first32 = _mm_set_epi32(0, 0, 0, -1);

    // With A = H*x^64 + L: H times x^128, plus L moved into the first half
    // (where it reads as L*x^64), is A*x^64 (mod P). Its last 32 bits are
    // clear, so it is W*x^32 for a 96-bit W = A*x^32 (mod P).
    const __m128i w = _mm_xor_si128(_mm_clmulepi64_si128(a, pair(times_x_pow(128), 0), 0x00), _mm_srli_si128(a, 8));

    // The same for W = W1*x^64 + W0 with its 32-bit W1: masked into a half,
    // W1 reads as W1*x^32, so x^96 takes it to W1*x^128. The result is
    // W*x^64 (mod P) within the first half: a 64-bit Y = W (mod P).
    const __m128i y = _mm_xor_si128(_mm_clmulepi64_si128(_mm_and_si128(w, first32), pair(times_x_pow(96), 0), 0x00),
                                    _mm_srli_si128(w, 4));

    // Barrett: with Y = Yh*x^32 + Yl, the quotient Y / P is floor(Yh*mu / x^32)
    // for mu = floor(x^64 / P), exactly, and Y mod P = Y - quotient*P.
    const __m128i constants = pair(kBarrettQuotient, kPolyWithTop);
    const __m128i quotient = _mm_and_si128(_mm_clmulepi64_si128(_mm_and_si128(y, first32), constants, 0x00), first32);
    const __m128i remainder = _mm_xor_si128(_mm_clmulepi64_si128(quotient, constants, 0x10), y);
    return static_cast<std::uint32_t>(_mm_extract_epi32(remainder, 1));
}

// Folds the remaining whole 16-byte blocks into `acc`, reduces it and lets
// zlib take the last few bytes.
VORL_TARGET_PCLMUL std::uint32_t finish(__m128i acc, const std::uint8_t* at, std::size_t left) {
    const __m128i by128 = multipliers(kFold128);
    for (; left >= 16; at += 16, left -= 16) {
        acc = fold(acc, load(at), by128);
    }
    return crc32_zlib(~reduce(acc), {at, left});
}

// --- 256-bit steps ------------------------------------------------------------

VORL_TARGET_VPCLMUL inline __m256i load_wide(const std::uint8_t* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

// Each 128-bit lane folds on its own, just as fold() does.
VORL_TARGET_VPCLMUL inline __m256i fold(__m256i acc, __m256i next, __m256i m) {
    const __m256i first = _mm256_clmulepi64_epi128(acc, m, 0x00);
    const __m256i second = _mm256_clmulepi64_epi128(acc, m, 0x11);
    return _mm256_xor_si256(_mm256_xor_si256(first, second), next);
}

// --- Shared steps of the plain and the copying routines --------------------

// The first block with the incoming register added: starting the register at
// ~crc is the same as adding it to the first 32 message bits.
VORL_TARGET_PCLMUL inline __m128i with_register(__m128i first, std::uint32_t crc) {
    return _mm_xor_si128(first, _mm_cvtsi32_si128(static_cast<int>(~crc)));
}

VORL_TARGET_VPCLMUL inline __m256i with_register(__m256i first, std::uint32_t crc) {
    return _mm256_xor_si256(first, _mm256_setr_epi32(static_cast<int>(~crc), 0, 0, 0, 0, 0, 0, 0));
}

// The four accumulators, in message order, folded into one.
VORL_TARGET_PCLMUL inline __m128i fold_lanes(__m128i a0, __m128i a1, __m128i a2, __m128i a3) {
    const __m128i by128 = multipliers(kFold128);
    return fold(fold(fold(a0, a1, by128), a2, by128), a3, by128);
}

// The eight lanes, in message order, folded into one.
VORL_TARGET_VPCLMUL inline __m128i fold_lanes(__m256i a0, __m256i a1, __m256i a2, __m256i a3) {
    const __m128i by128 = multipliers(kFold128);
    __m128i acc = _mm256_castsi256_si128(a0);
    acc = fold(acc, _mm256_extracti128_si256(a0, 1), by128);
    acc = fold(acc, _mm256_castsi256_si128(a1), by128);
    acc = fold(acc, _mm256_extracti128_si256(a1, 1), by128);
    acc = fold(acc, _mm256_castsi256_si128(a2), by128);
    acc = fold(acc, _mm256_extracti128_si256(a2, 1), by128);
    acc = fold(acc, _mm256_castsi256_si128(a3), by128);
    return fold(acc, _mm256_extracti128_si256(a3, 1), by128);
}

}  // namespace

bool cpu_has_pclmul() noexcept {
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
}

bool cpu_has_vpclmul() noexcept {
    __builtin_cpu_init();
    return cpu_has_pclmul() && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
}

bool cpu_has_vpclmul512() noexcept {
    return cpu_has_vpclmul() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vl");
}

// Four 16-byte accumulators, each folded 4*128 bits on per step.
VORL_TARGET_PCLMUL std::uint32_t crc32_pclmul(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    constexpr std::size_t kStride = 4 * 16;
    if (bytes.size() < kStride) return crc32_zlib(crc, bytes);

    const std::uint8_t* at = bytes.data();
    std::size_t left = bytes.size() - kStride;
    __m128i a0 = with_register(load(at), crc);
    __m128i a1 = load(at + 16);
    __m128i a2 = load(at + 32);
    __m128i a3 = load(at + 48);
    at += kStride;

    const __m128i by512 = multipliers(kFold512);
    for (; left >= kStride; at += kStride, left -= kStride) {
        a0 = fold(a0, load(at), by512);
        a1 = fold(a1, load(at + 16), by512);
        a2 = fold(a2, load(at + 32), by512);
        a3 = fold(a3, load(at + 48), by512);
    }

    return finish(fold_lanes(a0, a1, a2, a3), at, left);
}

// Four 32-byte accumulators, each lane folded 4*256 bits on per step.
VORL_TARGET_VPCLMUL std::uint32_t crc32_vpclmul(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    constexpr std::size_t kStride = 4 * 32;
    if (bytes.size() < kStride) return crc32_pclmul(crc, bytes);

    const std::uint8_t* at = bytes.data();
    std::size_t left = bytes.size() - kStride;
    __m256i a0 = with_register(load_wide(at), crc);
    __m256i a1 = load_wide(at + 32);
    __m256i a2 = load_wide(at + 64);
    __m256i a3 = load_wide(at + 96);
    at += kStride;

    const __m256i by1024 = _mm256_broadcastsi128_si256(multipliers(kFold1024));
    for (; left >= kStride; at += kStride, left -= kStride) {
        a0 = fold(a0, load_wide(at), by1024);
        a1 = fold(a1, load_wide(at + 32), by1024);
        a2 = fold(a2, load_wide(at + 64), by1024);
        a3 = fold(a3, load_wide(at + 96), by1024);
    }

    return finish(fold_lanes(a0, a1, a2, a3), at, left);
}

// --- fused copy ---------------------------------------------------------------
//
// The same folds as crc32_pclmul / crc32_vpclmul, each block stored to `to`
// from the register it was loaded into.

namespace {

VORL_TARGET_PCLMUL inline __m128i load_store(std::uint8_t* to, const std::uint8_t* at) {
    const __m128i block = load(at);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), block);
    return block;
}

VORL_TARGET_VPCLMUL inline __m256i load_store_wide(std::uint8_t* to, const std::uint8_t* at) {
    const __m256i block = load_wide(at);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(to), block);
    return block;
}

// finish() with the copy: the remaining whole 16-byte blocks, then the last few bytes.
VORL_TARGET_PCLMUL std::uint32_t finish_copy(__m128i acc, std::uint8_t* to, const std::uint8_t* at, std::size_t left) {
    const __m128i by128 = multipliers(kFold128);
    for (; left >= 16; at += 16, to += 16, left -= 16) {
        acc = fold(acc, load_store(to, at), by128);
    }
    // The checksum covers the bytes as stored: the source may change under
    // the copy (another thread writing an array), and a second read of it
    // could disagree with what was written.
    if (left != 0) std::memcpy(to, at, left);
    return crc32_zlib(~reduce(acc), {to, left});
}

std::uint32_t copy_short_then_crc(std::uint32_t crc, std::uint8_t* to, std::span<const std::uint8_t> from) noexcept {
    if (from.empty()) return crc;
    std::memcpy(to, from.data(), from.size());
    return crc32_zlib(crc, {to, from.size()});
}

}  // namespace

VORL_TARGET_PCLMUL std::uint32_t crc32_copy_pclmul(std::uint32_t crc, std::uint8_t* to,
                                                   std::span<const std::uint8_t> from) noexcept {
    constexpr std::size_t kStride = 4 * 16;
    if (from.size() < kStride) return copy_short_then_crc(crc, to, from);

    const std::uint8_t* at = from.data();
    std::size_t left = from.size() - kStride;
    __m128i a0 = with_register(load_store(to, at), crc);
    __m128i a1 = load_store(to + 16, at + 16);
    __m128i a2 = load_store(to + 32, at + 32);
    __m128i a3 = load_store(to + 48, at + 48);
    at += kStride;
    to += kStride;

    const __m128i by512 = multipliers(kFold512);
    for (; left >= kStride; at += kStride, to += kStride, left -= kStride) {
        a0 = fold(a0, load_store(to, at), by512);
        a1 = fold(a1, load_store(to + 16, at + 16), by512);
        a2 = fold(a2, load_store(to + 32, at + 32), by512);
        a3 = fold(a3, load_store(to + 48, at + 48), by512);
    }

    return finish_copy(fold_lanes(a0, a1, a2, a3), to, at, left);
}

VORL_TARGET_VPCLMUL std::uint32_t crc32_copy_vpclmul(std::uint32_t crc, std::uint8_t* to,
                                                     std::span<const std::uint8_t> from) noexcept {
    constexpr std::size_t kStride = 4 * 32;
    if (from.size() < kStride) return crc32_copy_pclmul(crc, to, from);

    const std::uint8_t* at = from.data();
    std::size_t left = from.size() - kStride;
    __m256i a0 = with_register(load_store_wide(to, at), crc);
    __m256i a1 = load_store_wide(to + 32, at + 32);
    __m256i a2 = load_store_wide(to + 64, at + 64);
    __m256i a3 = load_store_wide(to + 96, at + 96);
    at += kStride;
    to += kStride;

    const __m256i by1024 = _mm256_broadcastsi128_si256(multipliers(kFold1024));
    for (; left >= kStride; at += kStride, to += kStride, left -= kStride) {
        a0 = fold(a0, load_store_wide(to, at), by1024);
        a1 = fold(a1, load_store_wide(to + 32, at + 32), by1024);
        a2 = fold(a2, load_store_wide(to + 64, at + 64), by1024);
        a3 = fold(a3, load_store_wide(to + 96, at + 96), by1024);
    }

    return finish_copy(fold_lanes(a0, a1, a2, a3), to, at, left);
}

// --- 512-bit steps --------------------------------------------------------------
//
// Eight 64-byte accumulators, each folded 8*512 bits on per step: twice the
// bytes per multiplication of the 256-bit routines, which are bound by the
// multiplications rather than by memory when the bytes are in cache. Each
// routine reads its 64-byte blocks through a Blocks object that loads a block
// and, for the copying ones, transforms and stores it; the folds see the
// block as stored.

namespace {

constexpr std::size_t kStride512 = 8 * 64;

// The bytes to take apart before `to` reaches a 64-byte boundary, when enough
// remain for the 512-bit loop after them: a store that straddles two cache
// lines costs as much as the rest of a step, and a loop of them runs at
// three quarters of the speed of a copy.
inline std::size_t head_to_line(const std::uint8_t* to, std::size_t size) noexcept {
    const std::size_t head = (0 - reinterpret_cast<std::uintptr_t>(to)) & 63;
    return size >= head + kStride512 ? head : 0;
}

VORL_TARGET_VPCLMUL512 inline __m512i fold(__m512i acc, __m512i next, __m512i m) {
    const __m512i first = _mm512_clmulepi64_epi128(acc, m, 0x00);
    const __m512i second = _mm512_clmulepi64_epi128(acc, m, 0x11);
    return _mm512_ternarylogic_epi64(first, second, next, 0x96);  // first ^ second ^ next
}

VORL_TARGET_VPCLMUL512 inline __m512i load_512(const std::uint8_t* at) { return _mm512_loadu_si512(at); }

// multipliers() in every lane. (Built by hand: this compiler's broadcast and
// extract intrinsics warn about their own undefined fill.)
VORL_TARGET_VPCLMUL512 inline __m512i multipliers_512(FoldMultipliers m) {
    const auto first = static_cast<long long>(m.first_half);
    const auto second = static_cast<long long>(m.second_half);
    return _mm512_set_epi64(second, first, second, first, second, first, second, first);
}

VORL_TARGET_VPCLMUL512 inline __m256i low_half(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xFF, v, 0); }
VORL_TARGET_VPCLMUL512 inline __m256i high_half(__m512i v) { return _mm512_maskz_extracti64x4_epi64(0xFF, v, 1); }

// The first `strides` * 512 bytes that blocks(offset) gives, with the incoming
// register, folded to one 128-bit block.
template <class Blocks>
VORL_TARGET_VPCLMUL512 inline __m128i fold_strides_512(std::uint32_t crc, std::size_t strides, Blocks& blocks) {
    __m512i a[8];
    a[0] = _mm512_xor_si512(blocks(0), _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(~crc))));
    for (std::size_t k = 1; k < 8; ++k) a[k] = blocks(64 * k);
    const __m512i by4096 = multipliers_512(fold_by(8 * 512));
    for (std::size_t offset = kStride512; offset < strides * kStride512; offset += kStride512) {
        for (std::size_t k = 0; k < 8; ++k) a[k] = fold(a[k], blocks(offset + 64 * k), by4096);
    }
    // Halve the accumulators twice (each onto the one 256, then 128 bytes later),
    // then fold the eight 128-bit lanes left, in message order.
    const __m512i by2048 = multipliers_512(fold_by(4 * 512));
    for (std::size_t k = 0; k < 4; ++k) a[k] = fold(a[k], a[k + 4], by2048);
    const __m512i by1024 = multipliers_512(kFold1024);
    const __m512i low = fold(a[0], a[2], by1024);
    const __m512i high = fold(a[1], a[3], by1024);
    return fold_lanes(low_half(low), high_half(low), low_half(high), high_half(high));
}

struct LoadedBlocks {
    const std::uint8_t* from;
    VORL_TARGET_VPCLMUL512 __m512i operator()(std::size_t offset) const { return load_512(from + offset); }
};

struct CopiedBlocks {
    const std::uint8_t* from;
    std::uint8_t* to;
    VORL_TARGET_VPCLMUL512 __m512i operator()(std::size_t offset) const {
        const __m512i block = load_512(from + offset);
        _mm512_storeu_si512(to + offset, block);
        return block;
    }
};

// Every byte above 1 becomes 1.
struct NormalisedBlocks {
    const std::uint8_t* from;
    std::uint8_t* to;
    VORL_TARGET_VPCLMUL512 __m512i operator()(std::size_t offset) const {
        const __m512i block = _mm512_min_epu8(load_512(from + offset), _mm512_set1_epi8(1));
        _mm512_storeu_si512(to + offset, block);
        return block;
    }
};

// Copied, with the bits of every byte gathered: a byte other than 0 or 1 leaves a bit above bit 0.
struct CheckedBlocks {
    const std::uint8_t* from;
    std::uint8_t* to;
    __m512i bits;
    VORL_TARGET_VPCLMUL512 __m512i operator()(std::size_t offset) {
        const __m512i block = load_512(from + offset);
        _mm512_storeu_si512(to + offset, block);
        bits = _mm512_or_si512(bits, block);
        return block;
    }
};

}  // namespace

VORL_TARGET_VPCLMUL512 std::uint32_t crc32_vpclmul512(std::uint32_t crc, std::span<const std::uint8_t> bytes) noexcept {
    if (bytes.size() < kStride512) return crc32_vpclmul(crc, bytes);
    LoadedBlocks blocks{bytes.data()};
    const std::size_t done = bytes.size() - bytes.size() % kStride512;
    return finish(fold_strides_512(crc, done / kStride512, blocks), bytes.data() + done, bytes.size() - done);
}

VORL_TARGET_VPCLMUL512 std::uint32_t crc32_copy_vpclmul512(std::uint32_t crc, std::uint8_t* to,
                                                           std::span<const std::uint8_t> from) noexcept {
    if (const std::size_t head = head_to_line(to, from.size())) {
        crc = crc32_copy_pclmul(crc, to, from.first(head));
        to += head;
        from = from.subspan(head);
    }
    if (from.size() < kStride512) return crc32_copy_vpclmul(crc, to, from);
    CopiedBlocks blocks{from.data(), to};
    const std::size_t done = from.size() - from.size() % kStride512;
    const __m128i acc = fold_strides_512(crc, done / kStride512, blocks);
    return finish_copy(acc, to + done, from.data() + done, from.size() - done);
}

namespace {

VORL_TARGET_VPCLMUL512 std::uint32_t normalise_bools_vpclmul512(std::uint32_t crc, std::uint8_t* to,
                                                                std::span<const std::uint8_t> from) noexcept {
    if (const std::size_t head = head_to_line(to, from.size())) {
        crc = normalise_bools_vpclmul512(crc, to, from.first(head));
        to += head;
        from = from.subspan(head);
    }
    const std::size_t done = from.size() - from.size() % kStride512;
    for (std::size_t i = done; i < from.size(); ++i) to[i] = from[i] != 0 ? 1 : 0;
    if (done == 0) return crc32_pclmul(crc, {to, from.size()});
    NormalisedBlocks blocks{from.data(), to};
    return finish(fold_strides_512(crc, done / kStride512, blocks), to + done, from.size() - done);
}

VORL_TARGET_VPCLMUL512 std::uint32_t copy_bools_vpclmul512(std::uint32_t crc, std::uint8_t* to,
                                                           std::span<const std::uint8_t> from,
                                                           bool& all_bools) noexcept {
    bool head_bools = true;
    if (const std::size_t head = head_to_line(to, from.size())) {
        crc = copy_bools_vpclmul512(crc, to, from.first(head), head_bools);
        to += head;
        from = from.subspan(head);
    }
    const std::size_t done = from.size() - from.size() % kStride512;
    std::uint8_t tail_bits = 0;
    for (std::size_t i = done; i < from.size(); ++i) {
        to[i] = from[i];
        tail_bits |= to[i];
    }
    if (done == 0) {
        all_bools = head_bools && tail_bits <= 1;
        return crc32_pclmul(crc, {to, from.size()});
    }
    CheckedBlocks blocks{from.data(), to, _mm512_setzero_si512()};
    const __m128i acc = fold_strides_512(crc, done / kStride512, blocks);
    all_bools = head_bools && tail_bits <= 1 && _mm512_test_epi8_mask(blocks.bits, _mm512_set1_epi8(~1)) == 0;
    return finish(acc, to + done, from.size() - done);
}

}  // namespace

const Crc32BoolKernels CRC32_BOOLS_VPCLMUL512{"vpclmul512", normalise_bools_vpclmul512, copy_bools_vpclmul512};

}  // namespace vorl::detail

#endif  // VORL_CRC32_X86

#include "core/encoding.hpp"

#include <bit>
#include <cstdint>
#include <optional>


#include "core/utf8.hpp"

#if defined(__linux__)
#include <sys/mman.h>
#endif
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vorl {

Result<std::uint64_t, DecodeError> SliceReader::read_varint_checked(IntegerType target) noexcept {
    if (pos_ == end_) return err(DecodeError::unexpected_end(1));
    const std::uint8_t marker = *pos_;
    std::size_t width = 0;
    switch (marker) {
        case VARINT_MARKER_U16: width = 2; break;
        case VARINT_MARKER_U32: width = 4; break;
        case VARINT_MARKER_U64:
            if (target == IntegerType::U32) return err(DecodeError::invalid_integer_type(target, IntegerType::U64));
            width = 8;
            break;
        case VARINT_MARKER_U128: return err(DecodeError::invalid_integer_type(target, IntegerType::U128));
        case 0xFF: return err(DecodeError::invalid_integer_type(target, IntegerType::Reserved));
        default: ++pos_; return std::uint64_t{marker};
    }
    // `additional` counts the marker too: a marker with one of two bytes after it misses 1.
    if (remaining() < 1 + width) return err(DecodeError::unexpected_end(1 + width - remaining()));
    std::uint64_t value = 0;
    std::memcpy(&value, pos_ + 1, width);  // little-endian host
    pos_ += 1 + width;
    return value;
}

Result<std::string_view, DecodeError> SliceReader::read_byte_str() noexcept {
    auto length = read_len();
    if (!length) return err(std::move(length).error());
    if (length.value() > remaining()) return err(DecodeError::unexpected_end(length.value() - remaining()));
    const auto size = static_cast<std::size_t>(length.value());
    std::string_view bytes(reinterpret_cast<const char*>(pos_), size);
    pos_ += size;
    return bytes;
}

Result<std::string_view, DecodeError> SliceReader::read_str() noexcept {
    auto bytes = read_byte_str();
    if (!bytes) return bytes;
    if (auto problem = validate_utf8(reinterpret_cast<const std::uint8_t*>(bytes.value().data()), bytes.value().size())) {
        return err(DecodeError::invalid_utf8(*problem));
    }
    return bytes;
}

}  // namespace vorl

// ---- runs of integers -----------------------------------------------------------

namespace vorl {

void advise_huge_pages(void* data, std::size_t bytes) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::size_t WORTH_IT = std::size_t{4} << 20;
    constexpr std::uintptr_t PAGE = 4096;
    if (data == nullptr || bytes < WORTH_IT) return;
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first_page = (begin + PAGE - 1) & ~(PAGE - 1);
    const std::uintptr_t end_page = (begin + bytes) & ~(PAGE - 1);
    madvise(reinterpret_cast<void*>(first_page), end_page - first_page, MADV_HUGEPAGE);
#else
    (void)data;
    (void)bytes;
#endif
}

bool cpu_has_avx2() noexcept {
#if VORL_AVX2_KERNELS
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
#else
    return false;
#endif
}

namespace {

// How many of the 16 bytes at `bytes` lead with single-byte values (at most 250).
inline unsigned leading_single_bytes(const std::uint8_t* bytes) noexcept {
#if defined(__SSE2__)
    const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    const __m128i limit = _mm_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE));
    const auto small = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(_mm_max_epu8(block, limit), limit)));
    return static_cast<unsigned>(std::countr_one(small));
#else
    unsigned run = 0;
    while (run < 16 && bytes[run] <= VARINT_MAX_SINGLE_BYTE) ++run;
    return run;
#endif
}

// Reads one varint at p, which has room for the widest form, and moves p past
// it; nothing for the markers a `Wide` (or narrow) target refuses.
template <bool Wide>
inline std::optional<std::uint64_t> read_varint_unchecked(const std::uint8_t*& p) noexcept {
    const std::uint8_t marker = *p;
    if (marker <= VARINT_MAX_SINGLE_BYTE) {
        p += 1;
        return marker;
    }
    if (marker == VARINT_MARKER_U16) {
        p += 3;
        return load_le<std::uint16_t>(p - 2);
    }
    if (marker == VARINT_MARKER_U32) {
        p += 5;
        return load_le<std::uint32_t>(p - 4);
    }
    if (Wide && marker == VARINT_MARKER_U64) {
        p += 9;
        return load_le<std::uint64_t>(p - 8);
    }
    return std::nullopt;
}

template <class T>
[[gnu::always_inline]] inline std::uint64_t run_size(const T* values, std::size_t count) noexcept {
    std::uint64_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += varint_size_branchless(varint_bits(values[i]));
    return total;
}

template <class T>
[[gnu::always_inline]] inline std::size_t write_run(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    return write_varint_blocks(out, 0, count, [values](std::size_t i) { return varint_bits(values[i]); });
}

#if VORL_AVX2_KERNELS
// from_varint_bits on the 16 single-byte values at `bytes`, stored at out.
template <class T>
VORL_TARGET_AVX2 inline void widen_single_bytes_avx2(const std::uint8_t* bytes, T* out) noexcept {
    __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
    if constexpr (std::is_signed_v<T>) {
        // zigzag_decode on bytes: (b >> 1) ^ -(b & 1), then sign extension.
        const __m128i half = _mm_and_si128(_mm_srli_epi16(block, 1), _mm_set1_epi8(0x7F));
        const __m128i negate = _mm_sub_epi8(_mm_setzero_si128(), _mm_and_si128(block, _mm_set1_epi8(1)));
        block = _mm_xor_si128(half, negate);
    }
    auto* to = reinterpret_cast<__m256i*>(out);
    if constexpr (sizeof(T) == 4) {
        const __m128i high = _mm_srli_si128(block, 8);
        if constexpr (std::is_signed_v<T>) {
            _mm256_storeu_si256(to, _mm256_cvtepi8_epi32(block));
            _mm256_storeu_si256(to + 1, _mm256_cvtepi8_epi32(high));
        } else {
            _mm256_storeu_si256(to, _mm256_cvtepu8_epi32(block));
            _mm256_storeu_si256(to + 1, _mm256_cvtepu8_epi32(high));
        }
    } else {
        const __m128i parts[4] = {block, _mm_srli_si128(block, 4), _mm_srli_si128(block, 8), _mm_srli_si128(block, 12)};
        for (int k = 0; k < 4; ++k) {
            _mm256_storeu_si256(to + k, std::is_signed_v<T> ? _mm256_cvtepi8_epi64(parts[k]) : _mm256_cvtepu8_epi64(parts[k]));
        }
    }
}

// Whole blocks of 32 one-byte values, at most max_blocks of them, in a tight
// loop; moves p past them and returns how many there were.
template <class T>
VORL_TARGET_AVX2 inline std::uint64_t widen_single_byte_blocks_avx2(const std::uint8_t*& p, T* out,
                                                                   std::uint64_t max_blocks) noexcept {
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(VARINT_MAX_SINGLE_BYTE));
    std::uint64_t b = 0;
    for (; b < max_blocks; ++b, p += 32, out += 32) {
        const __m256i block = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        if (_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(block, limit), limit)) != -1) break;
        widen_single_bytes_avx2(p, out);
        widen_single_bytes_avx2(p + 16, out + 16);
    }
    return b;
}
#endif

template <class T, bool Avx2 = false>
[[gnu::always_inline]] inline Result<void, DecodeError> read_run(SliceReader& reader, std::uint64_t count,
                                                                 T* values) noexcept {
    constexpr bool wide = sizeof(T) == 8;
    constexpr std::size_t worst = wide ? VARINT_MAX_SIZE_U64 : VARINT_MAX_SIZE_U32;
    std::uint64_t i = 0;
    const std::uint8_t* p = reader.position();
    const std::uint8_t* const end = p + reader.remaining();
    while (i < count) {
        const auto left = static_cast<std::size_t>(end - p);
        // Runs of one-byte values widen sixteen at a time. All sixteen slots
        // are written, which the room for min(count, remaining) values allows:
        // each value so far took at least a byte and sixteen bytes are left.
#if VORL_AVX2_KERNELS
        if constexpr (Avx2) {
            const std::uint64_t blocks = widen_single_byte_blocks_avx2(p, values + i, std::min<std::uint64_t>(count - i, left) / 32);
            i += 32 * blocks;
            if (blocks != 0) continue;
        }
#endif
        if (left >= 16 && count - i >= 16 && *p <= VARINT_MAX_SINGLE_BYTE) {
            const unsigned run = leading_single_bytes(p);
#if VORL_AVX2_KERNELS
            if constexpr (Avx2) {
                widen_single_bytes_avx2(p, values + i);
            } else
#endif
            {
                for (std::size_t k = 0; k < 16; ++k) values[i + k] = from_varint_bits<T>(p[k]);
            }
            p += run;
            i += run;
            continue;
        }
        if constexpr (wide) {
            // Runs of nine-byte values (random 64-bit data) in a tight loop.
            if (left >= VARINT_MAX_SIZE_U64 && *p == VARINT_MARKER_U64) {
                const std::uint64_t room = std::min<std::uint64_t>(count - i, left / VARINT_MAX_SIZE_U64);
                const std::uint64_t first = i;
                for (; i - first < room && *p == VARINT_MARKER_U64; ++i, p += VARINT_MAX_SIZE_U64) {
                    values[i] = from_varint_bits<T>(load_le<std::uint64_t>(p + 1));
                }
                if (i != first) continue;
            }
        }
        if (left >= worst) {
            if (const auto bits = read_varint_unchecked<wide>(p)) {
                values[i++] = from_varint_bits<T>(*bits);
                continue;
            }
        }
        reader.advance(static_cast<std::size_t>(p - reader.position()));
        auto bits = reader.read_varint_checked(wide ? IntegerType::U64 : IntegerType::U32);
        if (!bits) {
            if constexpr (std::is_signed_v<T>) return err(bits.error().as_signed());
            return err(std::move(bits).error());
        }
        values[i++] = from_varint_bits<T>(bits.value());
        p = reader.position();
    }
    reader.advance(static_cast<std::size_t>(p - reader.position()));
    return {};
}

#if VORL_AVX2_KERNELS
// The AVX2 forms of run_size and write_run for the signed columns that
// Python packs; the unsigned ones keep the plain loops.

VORL_TARGET_AVX2 std::uint64_t run_size_avx2(const std::int64_t* values, std::size_t count) noexcept {
    // One byte per value, plus the extra bytes of blocks with wider ones.
    __m256i extra = _mm256_setzero_si256();
    std::uint64_t wide_blocks = 0;  // blocks of sixteen nine-byte values
    std::size_t i = 0;
    for (; count - i >= 16; i += 16) {
        const auto* at = reinterpret_cast<const __m256i*>(values + i);
        const __m256i a = _mm256_loadu_si256(at), b = _mm256_loadu_si256(at + 1);
        const __m256i c = _mm256_loadu_si256(at + 2), d = _mm256_loadu_si256(at + 3);
        if (avx2::single_bytes64(a, b, c, d)) continue;
        const __m256i za = avx2::zigzag64(a), zb = avx2::zigzag64(b), zc = avx2::zigzag64(c), zd = avx2::zigzag64(d);
        const __m256i nine = _mm256_and_si256(_mm256_and_si256(avx2::above64(za, 0xFFFF'FFFF), avx2::above64(zb, 0xFFFF'FFFF)),
                                              _mm256_and_si256(avx2::above64(zc, 0xFFFF'FFFF), avx2::above64(zd, 0xFFFF'FFFF)));
        if (_mm256_movemask_epi8(nine) == -1) {
            wide_blocks += 1;
            continue;
        }
        extra = avx2::add_extra_sizes64(extra, za);
        extra = avx2::add_extra_sizes64(extra, zb);
        extra = avx2::add_extra_sizes64(extra, zc);
        extra = avx2::add_extra_sizes64(extra, zd);
    }
    return avx2::lane_sum64(extra) + i + wide_blocks * 16 * (VARINT_MAX_SIZE_U64 - 1) + run_size(values + i, count - i);
}

VORL_TARGET_AVX2 inline __m256i zigzag32(__m256i v) noexcept {
    return _mm256_xor_si256(_mm256_slli_epi32(v, 1), _mm256_srai_epi32(v, 31));
}
// All ones in the lanes whose unsigned value is at most `limit`.
VORL_TARGET_AVX2 inline __m256i at_most32(__m256i values, std::uint32_t limit) noexcept {
    const __m256i bound = _mm256_set1_epi32(static_cast<int>(limit));
    return _mm256_cmpeq_epi32(_mm256_max_epu32(values, bound), bound);
}

VORL_TARGET_AVX2 std::uint64_t run_size_avx2(const std::int32_t* values, std::size_t count) noexcept {
    // Each lane of `small` drops by at most 4 per block; it is emptied into
    // the 64-bit total long before it could wrap.
    constexpr std::size_t FLUSH = std::size_t{1} << 24;
    std::uint64_t total = 0;
    std::size_t i = 0;
    while (count - i >= 8) {
        __m256i small = _mm256_setzero_si256();  // minus the two-byte savings of each lane
        const std::size_t blocks = std::min((count - i) / 8, FLUSH);
        for (std::size_t b = 0; b < blocks; ++b, i += 8) {
            const __m256i lanes = zigzag32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(values + i)));
            const __m256i one = at_most32(lanes, VARINT_MAX_SINGLE_BYTE);
            const __m256i three = at_most32(lanes, 0xFFFF);
            small = _mm256_add_epi32(small, _mm256_add_epi32(_mm256_add_epi32(one, one), _mm256_add_epi32(three, three)));
        }
        const __m256i wide = _mm256_add_epi64(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(small)),
                                              _mm256_cvtepi32_epi64(_mm256_extracti128_si256(small, 1)));
        // 5 bytes per value, less 2 for each limit it stays within.
        total += 5 * (blocks * 8) + avx2::lane_sum64(wide);
    }
    return total + run_size(values + i, count - i);
}

VORL_TARGET_AVX2 std::size_t write_run_avx2(std::uint8_t* out, const std::int64_t* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    while (count - i >= 16) {
        const auto* at = reinterpret_cast<const __m256i*>(values + i);
        const __m256i a = _mm256_loadu_si256(at), b = _mm256_loadu_si256(at + 1);
        const __m256i c = _mm256_loadu_si256(at + 2), d = _mm256_loadu_si256(at + 3);
        if (avx2::single_bytes64(a, b, c, d)) {
            avx2::store_zigzag_bytes64(out, a, b, c, d);
            out += 16;
            i += 16;
            continue;
        }
        const __m256i nine = _mm256_and_si256(
            _mm256_and_si256(avx2::above64(avx2::zigzag64(a), 0xFFFF'FFFF), avx2::above64(avx2::zigzag64(b), 0xFFFF'FFFF)),
            _mm256_and_si256(avx2::above64(avx2::zigzag64(c), 0xFFFF'FFFF), avx2::above64(avx2::zigzag64(d), 0xFFFF'FFFF)));
        if (_mm256_movemask_epi8(nine) == -1) {
            // Sixteen nine-byte values: the marker and the eight bytes each.
            for (std::size_t k = 0; k < 16; ++k, out += VARINT_MAX_SIZE_U64) {
                out[0] = VARINT_MARKER_U64;
                store_le(out + 1, zigzag_encode(values[i + k]));
            }
            i += 16;
            continue;
        }
        for (const std::size_t stop = i + 16; i < stop; ++i) out += write_mixed_varint(out, varint_bits(values[i]));
    }
    out += write_run(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}

VORL_TARGET_AVX2 std::size_t write_run_avx2(std::uint8_t* out, const std::int32_t* values, std::size_t count) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = 0;
    const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 0, 4, 1, 5);
    while (count - i >= 16) {
        const auto* at = reinterpret_cast<const __m256i*>(values + i);
        const __m256i a = zigzag32(_mm256_loadu_si256(at));
        const __m256i b = zigzag32(_mm256_loadu_si256(at + 1));
        const __m256i small = _mm256_and_si256(at_most32(a, VARINT_MAX_SINGLE_BYTE), at_most32(b, VARINT_MAX_SINGLE_BYTE));
        if (_mm256_movemask_epi8(small) == -1) {
            // Halves of the packs hold values 0-3, 8-11 | 4-7, 12-15.
            const __m256i words = _mm256_packus_epi32(a, b);
            const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(words, words), order);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(bytes));
            out += 16;
            i += 16;
            continue;
        }
        for (const std::size_t stop = i + 16; i < stop; ++i) out += write_mixed_varint(out, varint_bits(values[i]));
    }
    out += write_run(out, values + i, count - i);
    return static_cast<std::size_t>(out - start);
}
#endif

template <class T>
std::uint64_t run_size_kernel(const T* values, std::size_t count) noexcept {
#if VORL_AVX2_KERNELS
    if constexpr (std::is_signed_v<T>) {
        if (cpu_has_avx2()) return run_size_avx2(values, count);
    }
#endif
    return run_size(values, count);
}

template <class T>
std::size_t write_run_kernel(std::uint8_t* out, const T* values, std::size_t count) noexcept {
#if VORL_AVX2_KERNELS
    if constexpr (std::is_signed_v<T>) {
        if (cpu_has_avx2()) return write_run_avx2(out, values, count);
    }
#endif
    return write_run(out, values, count);
}

// One kernel per element type; the templates below pick it by overload.
#if VORL_AVX2_KERNELS
#define VORL_READ_KERNEL(T)                                                                                         \
    VORL_TARGET_AVX2 Result<void, DecodeError> read_run_avx2(SliceReader& reader, std::uint64_t count, T* values) noexcept { \
        return read_run<T, true>(reader, count, values);                                                            \
    }                                                                                                               \
    Result<void, DecodeError> read_run_kernel(SliceReader& reader, std::uint64_t count, T* values) noexcept {       \
        if (cpu_has_avx2()) return read_run_avx2(reader, count, values);                                            \
        return read_run(reader, count, values);                                                                     \
    }
#else
#define VORL_READ_KERNEL(T)                                                                                   \
    Result<void, DecodeError> read_run_kernel(SliceReader& reader, std::uint64_t count, T* values) noexcept { \
        return read_run(reader, count, values);                                                               \
    }
#endif

VORL_READ_KERNEL(std::int32_t)
VORL_READ_KERNEL(std::uint32_t)
VORL_READ_KERNEL(std::int64_t)
VORL_READ_KERNEL(std::uint64_t)
#undef VORL_READ_KERNEL

}  // namespace

template <class T>
std::uint64_t varint_run_size(const T* values, std::size_t count) noexcept {
    return run_size_kernel(values, count);
}
template <class T>
std::size_t write_varint_run(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    return write_run_kernel(out, values, count);
}
template <class T>
Result<void, DecodeError> SliceReader::read_varint_run(std::uint64_t count, T* out) noexcept {
    return read_run_kernel(*this, count, out);
}

#define VORL_RUN_INSTANCES(T)                                                                      \
    template std::uint64_t varint_run_size<T>(const T*, std::size_t) noexcept;                    \
    template std::size_t write_varint_run<T>(std::uint8_t*, const T*, std::size_t) noexcept;      \
    template Result<void, DecodeError> SliceReader::read_varint_run<T>(std::uint64_t, T*) noexcept;

VORL_RUN_INSTANCES(std::int32_t)
VORL_RUN_INSTANCES(std::uint32_t)
VORL_RUN_INSTANCES(std::int64_t)
VORL_RUN_INSTANCES(std::uint64_t)
#undef VORL_RUN_INSTANCES

}  // namespace vorl

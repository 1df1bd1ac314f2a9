// The primitive encoding of every payload byte: little-endian, variable-length
// integers (1 byte up to 250, else a marker FB/FC/FD and 2/4/8 bytes), zigzag
// for signed values, raw IEEE-754 floats, length-prefixed strings, one-byte
// option and bool markers.
//
// Writers run twice over the same encoding: once into SizeWriter, which only
// counts, then into VecWriter over a buffer of exactly that size. Both sinks
// expose the same small set of operations, so one template writes both ways.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string_view>
#include <type_traits>

#include "core/byte_order.hpp"
#include "core/decode_error.hpp"
#include "core/result.hpp"

namespace vorl {

inline constexpr std::uint8_t VARINT_MAX_SINGLE_BYTE = 250;
inline constexpr std::uint8_t VARINT_MARKER_U16 = 0xFB;
inline constexpr std::uint8_t VARINT_MARKER_U32 = 0xFC;
inline constexpr std::uint8_t VARINT_MARKER_U64 = 0xFD;
inline constexpr std::uint8_t VARINT_MARKER_U128 = 0xFE;
inline constexpr std::size_t VARINT_MAX_SIZE_U64 = 9;
inline constexpr std::size_t VARINT_MAX_SIZE_U32 = 5;

// ---- mappings -------------------------------------------------------------

// Done in unsigned arithmetic: shifting a negative signed value is where C++
// would otherwise step into undefined behaviour.
constexpr std::uint64_t zigzag_encode(std::int64_t value) noexcept {
    const auto bits = static_cast<std::uint64_t>(value);
    return (bits << 1) ^ (0 - (bits >> 63));
}
constexpr std::uint32_t zigzag_encode(std::int32_t value) noexcept {
    const auto bits = static_cast<std::uint32_t>(value);
    return (bits << 1) ^ (0u - (bits >> 31));
}
constexpr std::int64_t zigzag_decode(std::uint64_t bits) noexcept {
    return static_cast<std::int64_t>((bits >> 1) ^ (0 - (bits & 1)));
}
constexpr std::int32_t zigzag_decode(std::uint32_t bits) noexcept {
    return static_cast<std::int32_t>((bits >> 1) ^ (0u - (bits & 1)));
}

// The unsigned form in which a value of an integer column travels, and back.
template <class T>
constexpr std::uint64_t varint_bits(T value) noexcept {
    if constexpr (std::is_signed_v<T>) {
        return zigzag_encode(value);
    } else {
        return value;
    }
}
template <class T>
constexpr T from_varint_bits(std::uint64_t bits) noexcept {
    if constexpr (std::is_signed_v<T>) {
        return zigzag_decode(static_cast<std::make_unsigned_t<T>>(bits));
    } else {
        return static_cast<T>(bits);
    }
}

constexpr std::size_t varint_size(std::uint64_t value) noexcept {
    return value <= VARINT_MAX_SINGLE_BYTE ? 1 : value <= 0xFFFF ? 3 : value <= 0xFFFF'FFFF ? 5 : 9;
}

// varint_size without branches, for loops that add up many sizes.
constexpr std::uint64_t varint_size_branchless(std::uint64_t value) noexcept {
    return 1 + 2 * std::uint64_t{value > VARINT_MAX_SINGLE_BYTE} + 2 * std::uint64_t{value > 0xFFFF} +
           4 * std::uint64_t{value > 0xFFFF'FFFF};
}

// Writes value at `to`, which must have room for 9 bytes; returns the length.
inline std::size_t write_varint_unchecked(std::uint8_t* to, std::uint64_t value) noexcept {
    if (value <= VARINT_MAX_SINGLE_BYTE) {
        to[0] = static_cast<std::uint8_t>(value);
        return 1;
    }
    if (value <= 0xFFFF) {
        to[0] = VARINT_MARKER_U16;
        store_le(to + 1, static_cast<std::uint16_t>(value));
        return 3;
    }
    if (value <= 0xFFFF'FFFF) {
        to[0] = VARINT_MARKER_U32;
        store_le(to + 1, static_cast<std::uint32_t>(value));
        return 5;
    }
    to[0] = VARINT_MARKER_U64;
    store_le(to + 1, value);
    return 9;
}

// write_varint_unchecked for blocks that mix one- and three-byte values (the
// common mix) without a branch on the width, storing four bytes of which one
// or three count. `to` has room for 9 bytes.
inline std::size_t write_mixed_varint(std::uint8_t* to, std::uint64_t value) noexcept {
    if (value > 0xFFFF) return write_varint_unchecked(to, value);
    const auto narrow = static_cast<std::uint32_t>(value);
    const auto wide = static_cast<std::uint32_t>(VARINT_MARKER_U16 | value << 8);
    const std::uint32_t is_wide = narrow > VARINT_MAX_SINGLE_BYTE;  // masks, not a branch: the mix is random
    store_le(to, narrow ^ ((narrow ^ wide) & (0u - is_wide)));
    return 1 + 2 * std::size_t{is_wide};
}

// write_varint_unchecked for blocks with five- or nine-byte values among
// others, without a branch on the width: the first byte (the value itself, or
// its marker) and all eight bytes of the value are stored, and the width says
// how many count. `to` has room for 9 bytes.
inline std::size_t write_any_varint(std::uint8_t* to, std::uint64_t value) noexcept {
    const unsigned code =
        unsigned{value > VARINT_MAX_SINGLE_BYTE} + unsigned{value > 0xFFFF} + unsigned{value > 0xFFFF'FFFF};
    // Masks, not a select that the compiler may turn into a branch.
    const std::uint64_t wider = 0 - std::uint64_t{code != 0};
    store_le(to + 1, value);
    to[0] = static_cast<std::uint8_t>((value & ~wider) | ((VARINT_MAX_SINGLE_BYTE + code) & wider));
    return 1 + ((1u << code) & ~1u);  // 1, 3, 5, 9
}

// Writes the varint of bits(i) for i in [begin, end) at out, which has room for
// 9 bytes per value; returns the bytes written. Sixteen one-byte values go out
// at a time; a block with a wider value takes the per-value writer.
template <class Bits>
[[gnu::always_inline]] inline std::size_t write_varint_blocks(std::uint8_t* out, std::size_t begin, std::size_t end,
                                                              Bits bits) noexcept {
    std::uint8_t* const start = out;
    std::size_t i = begin;
    while (end - i >= 16) {
        // Staged in a local block: stores through `out` could alias the values
        // as far as the compiler knows, which would keep the loop scalar.
        std::uint8_t block[16];
        bool wide = false, wider = false;
        for (std::size_t k = 0; k < 16; ++k) {
            const std::uint64_t value = bits(i + k);
            block[k] = static_cast<std::uint8_t>(value);
            wide |= value > VARINT_MAX_SINGLE_BYTE;
            wider |= value > 0xFFFF;
        }
        if (!wide) {
            std::memcpy(out, block, 16);
            out += 16;
            i += 16;
            continue;
        }
        // One choice per block, not per value.
        if (wider) {
            for (const std::size_t stop = i + 16; i < stop; ++i) out += write_any_varint(out, bits(i));
        } else {
            for (const std::size_t stop = i + 16; i < stop; ++i) out += write_mixed_varint(out, bits(i));
        }
    }
    for (; i < end; ++i) out += write_varint_unchecked(out, bits(i));
    return static_cast<std::size_t>(out - start);
}

// ---- runs of integers ---------------------------------------------------------
//
// Columns are long runs of one integer kind. These run the fastest usable
// kernel of kernels/varint_runs.hpp and give exactly the results of the
// per-value operations (varint_size, write_varint_unchecked and
// SliceReader::read_u32/read_u64 with zigzag_decode for signed types). T is
// std::int32_t, std::uint32_t, std::int64_t or std::uint64_t; signed values
// are zigzag-mapped.

// Bytes that `count` values take.
template <class T>
std::uint64_t varint_run_size(const T* values, std::size_t count) noexcept;

// Writes `count` values at `out`, which has room for 9 bytes per value;
// returns the bytes written.
template <class T>
std::size_t write_varint_run(std::uint8_t* out, const T* values, std::size_t count) noexcept;

// ---- sinks ------------------------------------------------------------------

// Writing into memory cannot fail for well-formed input; the one failure kind
// means the writing pass disagreed with the counting pass.
enum class EncodeError : std::uint8_t { BufferFull };

class SizeWriter {
public:
    void put_byte(std::uint8_t) noexcept { size_ += 1; }
    void put_bytes(const void*, std::size_t count) noexcept { size_ += count; }
    void put_varint(std::uint64_t value) noexcept { size_ += varint_size(value); }
    // Reserves room for `count` bytes written directly by the caller; the
    // counting sink has no room to give, so callers must check counts_only.
    std::uint8_t* claim(std::size_t count) noexcept {
        size_ += count;
        return nullptr;
    }
    void add(std::uint64_t count) noexcept { size_ += count; }

    static constexpr bool counts_only = true;
    std::uint64_t size() const noexcept { return size_; }
    Result<void, EncodeError> status() const noexcept { return {}; }

private:
    std::uint64_t size_ = 0;
};

// Writes into a caller-owned buffer of fixed size (sized by a SizeWriter pass).
// A write that does not fit marks the sink failed and writes nothing further.
class VecWriter {
public:
    explicit VecWriter(std::span<std::uint8_t> out) noexcept : out_(out.data()), capacity_(out.size()) {}

    void put_byte(std::uint8_t byte) noexcept {
        if (pos_ < capacity_) {
            out_[pos_++] = byte;
        } else {
            failed_ = true;
        }
    }
    void put_bytes(const void* bytes, std::size_t count) noexcept {
        if (count == 0) return;  // empty views may have no data pointer at all
        if (std::uint8_t* to = claim(count)) std::memcpy(to, bytes, count);
    }
    void put_varint(std::uint64_t value) noexcept {
        if (capacity_ - pos_ >= VARINT_MAX_SIZE_U64) {
            pos_ += write_varint_unchecked(out_ + pos_, value);
        } else {
            std::uint8_t scratch[VARINT_MAX_SIZE_U64];
            put_bytes(scratch, write_varint_unchecked(scratch, value));
        }
    }
    // Room for `count` bytes that the caller fills, or nullptr when it does not fit.
    std::uint8_t* claim(std::size_t count) noexcept {
        if (failed_ || capacity_ - pos_ < count) {
            failed_ = true;
            return nullptr;
        }
        std::uint8_t* at = out_ + pos_;
        pos_ += count;
        return at;
    }
    // Direct access for bulk encoders: they write at cursor() and then advance.
    std::uint8_t* cursor() noexcept { return out_ + pos_; }
    std::size_t room() const noexcept { return failed_ ? 0 : capacity_ - pos_; }
    void advance(std::size_t count) noexcept { pos_ += count; }

    // For an encoder that finds its input changed under it (another thread
    // writing an array): the frame is refused, and the caller may start over.
    void fail() noexcept { failed_ = true; }

    static constexpr bool counts_only = false;
    std::uint64_t size() const noexcept { return pos_; }
    Result<void, EncodeError> status() const noexcept {
        if (failed_) return err(EncodeError::BufferFull);
        return {};
    }

private:
    std::uint8_t* out_;
    std::size_t capacity_;
    std::size_t pos_ = 0;
    bool failed_ = false;
};

// ---- value encoders (both sinks) --------------------------------------------

template <class Sink>
void encode_u32(Sink& sink, std::uint32_t value) {
    sink.put_varint(value);
}
template <class Sink>
void encode_u64(Sink& sink, std::uint64_t value) {
    sink.put_varint(value);
}
template <class Sink>
void encode_i32(Sink& sink, std::int32_t value) {
    sink.put_varint(zigzag_encode(value));
}
template <class Sink>
void encode_i64(Sink& sink, std::int64_t value) {
    sink.put_varint(zigzag_encode(value));
}
template <class Sink>
void encode_f32(Sink& sink, float value) {
    sink.put_bytes(&value, sizeof value);
}
template <class Sink>
void encode_f64(Sink& sink, double value) {
    sink.put_bytes(&value, sizeof value);
}
template <class Sink>
void encode_bool(Sink& sink, bool value) {
    sink.put_byte(value ? 1 : 0);
}
template <class Sink>
void encode_option_tag(Sink& sink, bool present) {
    sink.put_byte(present ? 1 : 0);
}
template <class Sink>
void encode_enum_tag(Sink& sink, std::uint32_t index) {
    sink.put_varint(index);
}
template <class Sink>
void encode_len(Sink& sink, std::uint64_t count) {
    sink.put_varint(count);
}
template <class Sink>
void encode_str(Sink& sink, std::string_view text) {
    sink.put_varint(text.size());
    sink.put_bytes(text.data(), text.size());
}

// ---- reader -------------------------------------------------------------------

// A cursor over borrowed bytes. Every read consumes from the front and returns
// the value or the first DecodeError; nothing checks that the input is used up.
class SliceReader {
public:
    explicit SliceReader(std::span<const std::uint8_t> bytes) noexcept
        : pos_(bytes.data()), end_(bytes.data() + bytes.size()) {}

    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }
    const std::uint8_t* position() const noexcept { return pos_; }
    // count must not exceed remaining().
    void advance(std::size_t count) noexcept { pos_ += count; }

    Result<std::uint8_t, DecodeError> read_u8() noexcept {
        if (pos_ == end_) return err(DecodeError::unexpected_end(1));
        return *pos_++;
    }

    Result<std::uint64_t, DecodeError> read_u64() noexcept {
        if (remaining() >= VARINT_MAX_SIZE_U64 && *pos_ <= VARINT_MAX_SINGLE_BYTE) return std::uint64_t{*pos_++};
        return read_varint_checked(IntegerType::U64);
    }
    Result<std::uint32_t, DecodeError> read_u32() noexcept {
        if (remaining() >= VARINT_MAX_SIZE_U32 && *pos_ <= VARINT_MAX_SINGLE_BYTE) return std::uint32_t{*pos_++};
        VORL_TRY(auto value, read_varint_checked(IntegerType::U32));
        return static_cast<std::uint32_t>(value);
    }
    Result<std::int64_t, DecodeError> read_i64() noexcept {
        auto bits = read_u64();
        if (!bits) return err(bits.error().as_signed());
        return zigzag_decode(bits.value());
    }
    Result<std::int32_t, DecodeError> read_i32() noexcept {
        auto bits = read_u32();
        if (!bits) return err(bits.error().as_signed());
        return zigzag_decode(bits.value());
    }
    Result<float, DecodeError> read_f32() noexcept { return read_raw<float>(); }
    Result<double, DecodeError> read_f64() noexcept { return read_raw<double>(); }

    Result<bool, DecodeError> read_bool() noexcept {
        VORL_TRY(auto byte, read_u8());
        if (byte > 1) return err(DecodeError::invalid_boolean(byte));
        return byte == 1;
    }
    // True when the optional value is present.
    Result<bool, DecodeError> read_option_tag(std::string_view type_name) noexcept {
        VORL_TRY(auto byte, read_u8());
        if (byte > 1) return err(DecodeError::unexpected_variant(type_name, {0, 1}, byte));
        return byte == 1;
    }
    Result<std::uint32_t, DecodeError> read_enum_tag(std::string_view type_name, std::uint32_t max_index) noexcept {
        auto index = read_u32();
        if (!index) return index;
        if (index.value() > max_index) {
            return err(DecodeError::unexpected_variant(type_name, {0, max_index}, index.value()));
        }
        return index;
    }

    Result<std::uint64_t, DecodeError> read_len() noexcept { return read_u64(); }
    // A view into the input of a byte string (length, then bytes).
    Result<std::string_view, DecodeError> read_byte_str() noexcept;
    // As read_byte_str, and the bytes must be valid UTF-8.
    Result<std::string_view, DecodeError> read_str() noexcept;
    // n raw bytes; UnexpectedEnd reports what is missing of them.
    Result<const std::uint8_t*, DecodeError> read_exact(std::size_t count) noexcept {
        if (remaining() < count) return err(DecodeError::unexpected_end(count - remaining()));
        const std::uint8_t* at = pos_;
        pos_ += count;
        return at;
    }

    // The marker forms and the end of input; `target` is U32 or U64.
    Result<std::uint64_t, DecodeError> read_varint_checked(IntegerType target) noexcept;

    // `count` values of T (see "runs of integers" above) into `out`, with the
    // errors that reading them one by one reports. out needs room for
    // min(count, remaining()) values: every value takes at least one byte.
    template <class T>
    Result<void, DecodeError> read_varint_run(std::uint64_t count, T* out) noexcept;
    // Steps over `count` varints of T, checked as read_varint_run checks them, without keeping them.
    template <class T>
    Result<void, DecodeError> skip_varint_run(std::uint64_t count) noexcept;

private:
    template <class T>
    Result<T, DecodeError> read_raw() noexcept {
        VORL_TRY(auto bytes, read_exact(sizeof(T)));
        return load_le<T>(bytes);
    }

    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

// Storage to reserve for `count` elements announced by the input: at most what
// the remaining bytes can hold when every element takes at least one byte, so
// a hostile count fails at the end of the input instead of in an allocation.
inline std::size_t bounded_capacity(std::uint64_t count, const SliceReader& reader) noexcept {
    return static_cast<std::size_t>(count < reader.remaining() ? count : reader.remaining());
}

// Writes zigzag(next(i)) for i in [begin, end) to either sink: the counting
// sink adds size(begin, end); the buffer sink runs write(out, from, to), which
// writes values [from, to) unchecked, over chunks that fit at their worst case,
// and put_varint takes the last few values.
template <class Sink, class Next, class Size, class Write>
void put_zigzag_run(Sink& sink, std::size_t begin, std::size_t end, Next next, Size size, Write write) {
    if constexpr (Sink::counts_only) {
        sink.add(size(begin, end));
    } else {
        std::size_t i = begin;
        while (i < end) {
            const std::size_t safe = std::min(end - i, sink.room() / VARINT_MAX_SIZE_U64);
            if (safe == 0) {
                sink.put_varint(zigzag_encode(next(i++)));
                if (!sink.status()) return;
                continue;
            }
            sink.advance(write(sink.cursor(), i, i + safe));
            i += safe;
        }
    }
}

}  // namespace vorl

#include "core/encoding.hpp"

#include <cstdint>

#include "core/kernels/varint_runs.hpp"
#include "core/utf8.hpp"

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
    VORL_TRY(auto length, read_len());
    if (length > remaining()) return err(DecodeError::unexpected_end(length - remaining()));
    const auto size = static_cast<std::size_t>(length);
    std::string_view bytes(reinterpret_cast<const char*>(pos_), size);
    pos_ += size;
    return bytes;
}

Result<std::string_view, DecodeError> SliceReader::read_str() noexcept {
    auto bytes = read_byte_str();
    if (!bytes) return bytes;
    const auto* data = reinterpret_cast<const std::uint8_t*>(bytes.value().data());
    if (auto problem = validate_utf8(data, bytes.value().size())) {
        return err(DecodeError::invalid_utf8(*problem));
    }
    return bytes;
}

template <class T>
std::uint64_t varint_run_size(const T* values, std::size_t count) noexcept {
    return varint_run_kernels().of<T>().size(values, count);
}
template <class T>
std::size_t write_varint_run(std::uint8_t* out, const T* values, std::size_t count) noexcept {
    return varint_run_kernels().of<T>().write(out, values, count);
}
template <class T>
Result<void, DecodeError> SliceReader::read_varint_run(std::uint64_t count, T* out) noexcept {
    return varint_run_kernels().of<T>().read(*this, count, out);
}

template <class T>
Result<void, DecodeError> SliceReader::skip_varint_run(std::uint64_t count) noexcept {
    // The run kernels decode faster than a walk over the markers steps, so the values are read
    // chunk by chunk into scratch that stays in the cache, with the same errors as a full read.
    constexpr std::uint64_t SCRATCH = 1024;
    T scratch[SCRATCH];
    for (std::uint64_t done = 0; done < count;) {
        const std::uint64_t chunk = std::min(count - done, SCRATCH);
        VORL_TRY_VOID(read_varint_run(chunk, scratch));
        done += chunk;
    }
    return {};
}

#define VORL_RUN_INSTANCES(T)                                                                       \
    template std::uint64_t varint_run_size<T>(const T*, std::size_t) noexcept;                      \
    template std::size_t write_varint_run<T>(std::uint8_t*, const T*, std::size_t) noexcept;        \
    template Result<void, DecodeError> SliceReader::read_varint_run<T>(std::uint64_t, T*) noexcept; \
    template Result<void, DecodeError> SliceReader::skip_varint_run<T>(std::uint64_t) noexcept;

VORL_RUN_INSTANCES(std::int32_t)
VORL_RUN_INSTANCES(std::uint32_t)
VORL_RUN_INSTANCES(std::int64_t)
VORL_RUN_INSTANCES(std::uint64_t)
#undef VORL_RUN_INSTANCES

}  // namespace vorl

#include "python/arrow_piece.hpp"

#include <cstring>
#include <limits>

namespace pyvorl {
namespace {

// Counts and offsets beyond this are refused before any arithmetic on them.
constexpr std::int64_t MAX_COUNT = std::int64_t{1} << 48;
constexpr std::size_t VIEW_BYTES = 16;
constexpr std::int32_t INLINE_VIEW = 12;

template <class T>
T load(const std::uint8_t* bytes, std::uint64_t index) noexcept {
    T value;
    std::memcpy(&value, bytes + index * sizeof(T), sizeof(T));
    return value;
}

std::int64_t load_offset(const std::uint8_t* offsets, std::uint8_t width, std::uint64_t index) noexcept {
    return width == 4 ? load<std::int32_t>(offsets, index) : load<std::int64_t>(offsets, index);
}

bool fixed_buffers(ArrowLayout layout) noexcept {
    return layout == ArrowLayout::Fixed || layout == ArrowLayout::Widened || layout == ArrowLayout::Bool ||
           layout == ArrowLayout::Decimal || layout == ArrowLayout::Dictionary;
}

std::optional<std::string> offset_slices(const ArrowPiece& piece, std::uint8_t width,
                                         std::vector<std::string_view>& out) {
    if (piece.length == 0) return std::nullopt;
    const std::uint8_t* offsets = piece.buffer(1);
    const auto* data = reinterpret_cast<const char*>(piece.buffer(2));
    std::int64_t start = load_offset(offsets, width, piece.offset);
    if (start < 0) return "offset " + std::to_string(start) + " is negative";
    for (std::uint64_t row = 0; row < piece.length; ++row) {
        const std::int64_t end = load_offset(offsets, width, piece.offset + row + 1);
        if (end < start) {
            return "offsets go back from " + std::to_string(start) + " to " + std::to_string(end) + " at row " +
                   std::to_string(row);
        }
        if (end > start && data == nullptr) return "values but no data buffer";
        out.push_back(piece.is_valid(row) ? std::string_view(data + start, static_cast<std::size_t>(end - start))
                                          : std::string_view());
        start = end;
    }
    return std::nullopt;
}

std::optional<std::string> view_slices(const ArrowPiece& piece, std::vector<std::string_view>& out) {
    const std::uint8_t* views = piece.buffer(1);
    const auto variadic = static_cast<std::uint64_t>(piece.array->n_buffers - 3);
    const std::uint8_t* sizes = piece.buffer(static_cast<std::size_t>(piece.array->n_buffers - 1));
    if (variadic > 0 && sizes == nullptr) return std::string("no sizes of its data buffers");
    for (std::uint64_t row = 0; row < piece.length; ++row) {
        if (!piece.is_valid(row)) {
            out.emplace_back();
            continue;
        }
        const std::uint8_t* view = views + (piece.offset + row) * VIEW_BYTES;
        const auto size = load<std::int32_t>(view, 0);
        if (size < 0) return "view of row " + std::to_string(row) + " has a negative length";
        if (size <= INLINE_VIEW) {
            out.emplace_back(reinterpret_cast<const char*>(view + 4), static_cast<std::size_t>(size));
            continue;
        }
        const auto index = load<std::int32_t>(view + 8, 0);
        const auto start = load<std::int32_t>(view + 12, 0);
        if (index < 0 || static_cast<std::uint64_t>(index) >= variadic || start < 0) {
            return "view of row " + std::to_string(row) + " names no data buffer";
        }
        const auto held = load<std::int64_t>(sizes, static_cast<std::uint64_t>(index));
        const auto* data = reinterpret_cast<const char*>(piece.buffer(static_cast<std::size_t>(index) + 2));
        if (data == nullptr || static_cast<std::int64_t>(start) + size > held) {
            return "view of row " + std::to_string(row) + " goes past its data buffer";
        }
        out.emplace_back(data + start, static_cast<std::size_t>(size));
    }
    return std::nullopt;
}

}  // namespace

bool any_zero_bit(const std::uint8_t* bits, std::uint64_t offset, std::uint64_t length) noexcept {
    for (std::uint64_t i = offset; i < offset + length; ++i) {
        if (((bits[i / 8] >> (i % 8)) & 1u) == 0) return true;
    }
    return false;
}

std::optional<std::string> make_piece(const ArrowArray* array, std::uint64_t parent_offset, std::uint64_t length,
                                      ArrowLayout layout, ArrowPiece& out) {
    if (array == nullptr) return std::string("missing array");
    if (array->length < 0 || array->length > MAX_COUNT || array->offset < 0 || array->offset > MAX_COUNT) {
        return "length " + std::to_string(array->length) + " or offset " + std::to_string(array->offset) +
               " out of range";
    }
    if (static_cast<std::uint64_t>(array->length) < parent_offset + length) {
        return "holds " + std::to_string(array->length) + " rows, its batch needs " +
               std::to_string(parent_offset + length);
    }
    if (array->null_count < -1 || array->null_count > array->length) {
        return "null count " + std::to_string(array->null_count) + " out of range";
    }
    const bool views = layout == ArrowLayout::TextView || layout == ArrowLayout::BytesView;
    const std::int64_t needed = fixed_buffers(layout) ? 2 : 3;
    if (views ? array->n_buffers < 3 || array->n_buffers > MAX_COUNT : array->n_buffers != needed) {
        return std::to_string(array->n_buffers) + " buffers where its type has " + std::to_string(needed) +
               (views ? " or more" : "");
    }
    if (array->buffers == nullptr) return std::string("no buffer list");
    out.array = array;
    out.offset = static_cast<std::uint64_t>(array->offset) + parent_offset;
    out.length = length;
    out.validity = nullptr;
    if (array->null_count != 0 && array->buffers[0] != nullptr) {
        out.validity = static_cast<const std::uint8_t*>(array->buffers[0]);
        if (array->null_count == -1 && !any_zero_bit(out.validity, out.offset, length)) out.validity = nullptr;
    } else if (array->null_count > 0) {
        return "null count " + std::to_string(array->null_count) + " without a validity bitmap";
    }
    const bool holds_rows = out.offset + length > 0;
    if (holds_rows && array->buffers[1] == nullptr) return std::string("no values buffer");
    if (layout == ArrowLayout::Dictionary && array->dictionary == nullptr) return std::string("no dictionary");
    return std::nullopt;
}

std::optional<std::string> piece_slices(const ArrowPiece& piece, ArrowLayout layout, std::uint8_t width,
                                        std::vector<std::string_view>& out) {
    if (layout == ArrowLayout::TextView || layout == ArrowLayout::BytesView) return view_slices(piece, out);
    return offset_slices(piece, width, out);
}

std::int64_t piece_index(const ArrowPiece& piece, std::uint8_t width, bool is_signed, std::uint64_t row) noexcept {
    const std::uint8_t* indexes = piece.buffer(1);
    const std::uint64_t at = piece.offset + row;
    switch (width) {
        case 1: return is_signed ? load<std::int8_t>(indexes, at) : load<std::uint8_t>(indexes, at);
        case 2: return is_signed ? load<std::int16_t>(indexes, at) : load<std::uint16_t>(indexes, at);
        case 4: return is_signed ? load<std::int32_t>(indexes, at) : load<std::uint32_t>(indexes, at);
        default: return load<std::int64_t>(indexes, at);  // as unsigned: above INT64_MAX it turns negative
    }
}

}  // namespace pyvorl

// Column bodies: the count-then-values form of every column type except
// DateTime and Decimal (see datetime_column.hpp and decimal_column.hpp).
//
// Hot loops carry a fast path each; the plain SliceReader/put_* operations
// beside them define the bytes, and near the end of the input (or for rare
// marker forms) the fast paths fall back to them.
#pragma once

#include <optional>
#include <span>

#include "core/encoding.hpp"
#include "core/table.hpp"

namespace vorl {

class ChecksumTrail;

// The body of `series` (without its tag), for either sink. A non-null `trail`
// over the content being written takes in the bytes of fixed-width bodies as
// they are copied; the counting sink never looks at it.
template <class Sink>
void encode_series_body(Sink& sink, const SeriesRef& series, ChecksumTrail* trail);

// Room for any column body of `count` values made in one pass: three varints
// before the values (a length, a scale or step, a first value) and nine bytes
// a value, at most. Its pages are touched only as the body is written.
Buffer<std::uint8_t> room_for_body(std::size_t count);

// The body of an integer column (T: std::int32_t, std::uint32_t, std::int64_t
// or std::uint64_t) made in one pass into room for any body, for a writer that
// copies it into the frame instead of counting and then writing (see
// FieldRef::encoded_body). That pays, in time and in the memory the body takes
// meanwhile, where the varints are short: nullopt when the first values take
// more than half their own size.
template <class T>
std::optional<Buffer<std::uint8_t>> encode_short_varint_body(std::span<const T> values);

// The body of a column whose tag has been read, with `trail` (if not null)
// over the content being read, as when writing. Counts from the input never
// reserve more than the remaining bytes can hold.
Result<Series, DecodeError> decode_series_body(SliceReader& reader, DataType tag, ChecksumTrail* trail);

// Steps over the body of a column whose tag has been read, keeping none of its values: the same
// structural checks as decode_series_body (counts, lengths, varint forms and ranges, boolean
// bytes, decimal scales), but texts are not checked as UTF-8. The checksum is left to the trail
// to catch up on. The column's element count (0 for Null, which has none).
Result<std::uint64_t, DecodeError> skip_series_body(SliceReader& reader, DataType tag);

}  // namespace vorl

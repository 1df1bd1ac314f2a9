// The compact DateTime column body: N = count + 1, the step g, t(0)/g, then
// (t(i) - t(i-1))/g, all zigzag, so regular timestamps cost about one byte per
// value. The step comes from datetime_step.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "core/buffer.hpp"
#include "core/datetime_step.hpp"
#include "core/encoding.hpp"

namespace vorl {

class ChecksumTrail;

template <class Sink>
void datetime_array_bincode_encode(std::span<const std::int64_t> values, Sink& sink);

// The writing half of datetime_array_bincode_encode with a plan made earlier.
// The values may have changed since (another thread may own the array): a
// writing sink then either holds a body that restores each value as it was
// read (by the plan, for a column of one difference), or has failed (values
// off the plan's grid); a counting sink counts a well-formed body. Nothing is
// undefined for any value. values must not be empty.
template <class Sink>
void encode_datetime_column(std::span<const std::int64_t> values, const DatetimePlan& plan, Sink& sink);

// The body datetime_array_bincode_encode writes, made by its writing pass
// alone into room for any body, without the counting pass; nullopt when the
// values changed between the plan and the writing (see encode_datetime_column).
std::optional<Buffer<std::uint8_t>> encode_datetime_body(std::span<const std::int64_t> values);

// A non-null `trail` over the content being read is folded block by block, as the bytes are read.
Result<Buffer<std::int64_t>, DecodeError> datetime_array_bincode_decode(SliceReader& reader,
                                                                        ChecksumTrail* trail = nullptr);
// Steps over such a body, checked as the decoder checks it, keeping nothing; its element count.
Result<std::uint64_t, DecodeError> datetime_array_bincode_skip(SliceReader& reader);

}  // namespace vorl

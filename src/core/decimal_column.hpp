// The compact Decimal column body: N = count + 1, the column scale (zigzag,
// always the byte 2*scale), then count zigzag differences of the signed
// magnitudes, so prices at one scale cost about one byte per value.
#pragma once

#include <span>

#include "core/buffer.hpp"
#include "core/decimal.hpp"
#include "core/encoding.hpp"

namespace vorl {

class ChecksumTrail;

// The scale is that of the first element that is neither NaN nor infinity;
// every element is written against it unscaled.
template <class Sink>
void d64_array_bincode_encode(std::span<const D64> values, Sink& sink);

// The body d64_array_bincode_encode writes for the decimals doubles_to_d64
// (floats_to_d64 for float) makes of `values` at `places`, made in one pass:
// each block is converted, and its differences written, while it is in
// cache, with no D64 column in between. Each value is read once, so values
// changing meanwhile give a well-formed body. Or the index of the first value
// refused: one whose decimal does not fit, or NaN when nan_refused (where
// the conversion would give zero).
template <class Float>
Result<Buffer<std::uint8_t>, std::size_t> encode_decimal_body(std::span<const Float> values, unsigned places,
                                                              bool nan_refused);

// Elements come back with the one column scale and no NaN/infinity flags. A
// non-null `trail` over the content being read is folded block by block, as
// the bytes are read.
Result<Buffer<D64>, DecodeError> d64_array_bincode_decode(SliceReader& reader, ChecksumTrail* trail = nullptr);

// The same column as doubles (d64_to_double of each element), converted block
// by block while the block is still in cache, and its scale (0 when empty).
struct DecimalDoubles {
    Buffer<double> values;
    unsigned scale = 0;
};
Result<DecimalDoubles, DecodeError> d64_array_bincode_decode_doubles(SliceReader& reader,
                                                                     ChecksumTrail* trail = nullptr);
// Steps over such a body, checked as the decoder checks it, keeping nothing; its element count.
Result<std::uint64_t, DecodeError> d64_array_bincode_skip(SliceReader& reader);

}  // namespace vorl

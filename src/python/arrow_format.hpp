// What an Arrow C data format string says about a column: how its buffers are read and which
// NumPy array they become, or, for a type no frame column holds, the name it is refused under.
#pragma once

#include <cstdint>
#include <string>

#include "python/arrow_abi.hpp"

namespace pyvorl {

enum class ArrowLayout : std::uint8_t {
    Fixed,       // one data buffer of `width`-byte values, viewed as `dtype`
    Widened,     // int32 values copied into int64 (date32, time32)
    Bool,        // bit-packed values
    Decimal,     // `width`-byte two's complement unscaled values
    Text,        // UTF-8 with `width`-byte offsets
    TextView,    // UTF-8 in 16-byte views over variadic buffers
    Bytes,       // binary with `width`-byte offsets
    BytesView,   // binary in 16-byte views
    Dictionary,  // `width`-byte signed or unsigned indexes into a text dictionary
    Refused,     // no frame column holds it; `refusal` says why
};

struct ArrowColumnPlan {
    ArrowLayout layout = ArrowLayout::Refused;
    std::uint8_t width = 0;                     // bytes per value, per offset or per index
    bool is_signed = true;                      // Dictionary: the index type
    const char* dtype = nullptr;                // Fixed, Widened: the NumPy dtype spelling
    int scale = 0;                              // Decimal
    ArrowLayout values = ArrowLayout::Refused;  // Dictionary: Text or TextView
    std::uint8_t values_width = 0;              // Dictionary with Text values: the offset width
    std::string refusal;                        // Refused: the type, as "list<int64>"
};

// The plan of a column of type `schema` (a child of the stream's struct).
ArrowColumnPlan plan_arrow_column(const ArrowSchema& schema);

// The type a schema describes, spelled as Arrow libraries print it: "int64", "list<item: int64>",
// "decimal128(40, 2)". `depth` bounds the nesting shown.
std::string arrow_type_name(const ArrowSchema& schema, int depth = 0);

}  // namespace pyvorl

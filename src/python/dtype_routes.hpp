// How every NumPy dtype travels in a frame written by dumps and comes back
// from loads: the one table of that mapping. A dtype with no column type of
// its own travels in a wider one, and its name goes under "pyvorl.dtype" in
// the field metadata, so that loads can give the dtype back and peers still
// read a plain column.
#pragma once

#include <Python.h>

#include <string_view>

#include "core/data_type.hpp"
#include "core/datetime_units.hpp"
#include "python/handle.hpp"
#include "python/numpy_api.hpp"

namespace pyvorl {

inline constexpr std::string_view DTYPE_KEY = "pyvorl.dtype";

enum class Carriage : std::uint8_t {
    AsIs,          // the array's own elements, read in place; nothing recorded
    Widened,       // cast to the column's element type; cast back on the way out
    Microseconds,  // datetime64 in s, ms or ns as microseconds, when all convert
                   // exactly; otherwise as its int64 ticks (an Int64 column)
    Ticks,         // the int64 ticks of a timedelta64, viewed back on the way out
};

struct DtypeRoute {
    const char* name;  // NumPy's name for the dtype, which is what is recorded
    char kind;         // NumPy's kind letter and item size, which tell numbers apart
    std::size_t size;
    vorl::DataType column;
    Carriage carriage;
};

// The route of a native-order dtype, or nullptr when no column type carries it.
const DtypeRoute* route_of(PyArray_Descr* descr);

// The dtype a widened route's values travel in (int32 for int8).
PyArray_Descr* widened_descr(const DtypeRoute& route);

// The unit of a datetime64 or timedelta64 route (microseconds for any other).
vorl::TimeUnit unit_of(const DtypeRoute& route);

// Whether a float dtype can be stored as decimals (float16, float32, float64);
// float16 goes through float64. Decimal columns come back as float64, cast
// back to the recorded dtype when one is recorded.
bool stores_decimals(PyArray_Descr* descr);

// The array as loads gives it back: `array` as decoded, turned into the dtype
// recorded for it. A record that names no dtype, or one that dumps never
// stores the way this column is stored, is damage: ValueError naming the
// column, with the record escaped and cut short.
PyRef restore_recorded_dtype(PyRef array, PyObject* recorded, std::string_view column);

}  // namespace pyvorl

// One column of a Table as an Arrow array: the buffers each kind of column needs,
// built from what the package prepared (pyvorl/_arrow_export.py decides the types;
// this file only lays out their bytes). Fixed-width data is lent, not copied.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>

#include "python/arrow_nodes.hpp"

namespace pyvorl::arrow {

enum class ColumnKind {
    Fixed,       // data: a C-contiguous buffer of `extra` bytes a row, lent as it is
    Bits,        // data: a bool array, bit-packed
    Texts,       // data: an object array of str ("u", "U") or bytes ("z", "Z")
    ArrowTexts,  // data: int64 offsets of rows + 1 entries into the bytes of extra; lent for "U"/"Z"
    Decimal,     // data: a float64 array; extra: (scale, precision, bytes a value)
    Dictionary,  // data: an object array of str; extra: (categories list or None, value format)
};

// A column as the package describes it; the objects are borrowed from its tuple.
struct ColumnSpec {
    PyObject* name = nullptr;
    FieldDescription field;  // name, format, metadata and flags as asked
    ColumnKind kind = ColumnKind::Fixed;
    PyObject* data = nullptr;
    PyObject* validity = nullptr;  // bytes of the Arrow validity bitmap, or nullptr
    PyObject* extra = nullptr;
};

// The field the column goes out as: texts whose data outgrows 32-bit offsets take
// the large type. False with a Python error set when the column cannot be exported.
bool describe_column(const ColumnSpec& spec, std::int64_t rows, FieldDescription& field);

// Fills `out` with the column's array of `rows` rows and `field` with its
// description. False with a Python error set, and `out` left released, on failure.
bool build_column(const ColumnSpec& spec, std::int64_t rows, ArrowArray* out, FieldDescription& field);

}  // namespace pyvorl::arrow

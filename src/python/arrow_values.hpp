// The NumPy array, validity bitmap and dictionary of one Arrow column, from its checked pieces.
#pragma once

#include <Python.h>

#include <cstdint>
#include <string>
#include <vector>

#include "python/arrow_format.hpp"
#include "python/arrow_piece.hpp"
#include "python/handle.hpp"

namespace pyvorl {

struct ColumnInput {
    const ArrowSchema& field;
    const ArrowColumnPlan& plan;
    const std::string& label;  // "column 'x'", for errors
    const std::vector<ArrowPiece>& pieces;
    std::uint64_t rows;
    PyObject* keeper;  // the capsule owning the only batch, which a view may keep; nullptr for several
};

struct ColumnOutput {
    PyRef values;
    PyRef validity;       // bytes, or None
    PyRef dictionary;     // (value format, [categories]), or None
    std::string refusal;  // set (and nothing else) when the values rule the column out
};

// False with the Python error set on failure.
bool column_values(const ColumnInput& input, ColumnOutput& output);

}  // namespace pyvorl

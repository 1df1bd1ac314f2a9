#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/decimal.hpp"
#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/codec/functions.hpp"
#include "python/convert.hpp"
#include "python/dtype_routes.hpp"
#include "python/frame_bytes.hpp"
#include "python/metadata.hpp"
#include "python/numpy_api.hpp"
#include "python/py_array_typed.hpp"
#include "python/value_error.hpp"
#include "python/without_lock.hpp"

namespace pyvorl::codec {
namespace {

using vorl::DataType;

// One column on its way into a frame. Arrays are read in place. A thread that
// changes an array whose encoded size depends on its values (varint and
// compact columns) while the lock is released can make the counting pass and
// the writing pass disagree: the writer stays inside the frame and reports
// it, and encode() then starts over from private copies of those arrays.
struct Column {
    std::string_view name;
    std::optional<vorl::Metadata> metadata;
    PyArrayTyped typed;
};

// One column from its name, 1-D array, decimal places (or None) and field
// metadata entries (or None).
std::optional<Column> take_column(PyObject* name_object, PyObject* data, PyObject* places_object,
                                  PyObject* metadata_entries) {
    Column column;
    const auto name = utf8_view(name_object);
    if (!name) {
        if (PyUnicode_Check(name_object)) raise_unencodable(name_object, "column name");
        return std::nullopt;
    }
    column.name = *name;
    std::optional<std::uint64_t> places;
    if (places_object != Py_None) {
        const unsigned long long asked = PyLong_AsUnsignedLongLong(places_object);
        if (PyErr_Occurred() != nullptr) return std::nullopt;
        if (asked > vorl::D64_MAX_SCALE) {
            raise_value_error(column_label(name_object) + ": decimal places must be at most 15, got " +
                              std::to_string(asked));
            return std::nullopt;
        }
        places = asked;
    }
    if (metadata_entries != Py_None) {
        auto metadata = metadata_from_python(metadata_entries, "field metadata of " + column_label(name_object));
        if (!metadata) return std::nullopt;
        column.metadata = std::move(*metadata);
    }
    auto typed = intake_column(data, {IntakePolicy::Exact, places, name_object, column.name});
    if (!typed) return std::nullopt;
    column.typed = std::move(*typed);
    if (column.typed.recorded_dtype != nullptr) {
        if (!column.metadata) column.metadata.emplace();
        vorl::metadata_insert(*column.metadata, std::string(DTYPE_KEY),
                              vorl::string_variant(column.typed.recorded_dtype));
    }
    return column;
}

// The frame of the columns and the table metadata; another thread may be
// changing the arrays meanwhile.
PyObject* encode_columns(std::vector<Column>& columns, vorl::Metadata table_metadata) {
    std::size_t estimate = 0;
    vorl::TableRef table{vorl::TABLE_PAYLOAD_MAGIC_VERSION, {}, std::move(table_metadata), false};
    table.fields.reserve(columns.size());
    for (Column& column : columns) {
        estimate += column.typed.byte_estimate();
        vorl::FieldRef field = column.typed.field(column.name);
        field.metadata = std::move(column.metadata);
        table.fields.push_back(std::move(field));
    }
    const bool release = estimate >= RELEASE_LOCK_BYTES;
    bool changed = false;
    PyRef frame = frame_bytes(table, release, &changed);
    if (changed) {
        // Another thread changed a column meanwhile (NumPy changes arrays
        // without the lock, too): encode a snapshot instead.
        maybe_without_lock(release, [&] {
            for (std::size_t i = 0; i < columns.size(); ++i) {
                columns[i].typed.take_private_copy();
                table.fields[i].series = columns[i].typed.view();
            }
        });
        frame = frame_bytes(table, release);
    }
    return frame.release();
}

// The table metadata of a table with no other: "obj", and "table" when named.
std::optional<vorl::Metadata> names_metadata(PyObject* obj, PyObject* name) {
    vorl::Metadata metadata;
    for (const auto& [key, value] : {std::pair{"obj", obj}, std::pair{"table", name}}) {
        const auto text = utf8_view(value);
        if (!text) {
            raise_unencodable(value, key == std::string_view("obj") ? "obj" : "name");
            return std::nullopt;
        }
        // By key, not by object: an empty obj and an empty name are one interned str.
        if (key == std::string_view("obj") || !text->empty())
            vorl::metadata_insert(metadata, key, vorl::string_variant(std::string(*text)));
    }
    return metadata;
}

}  // namespace

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 2 || !PyList_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "encode(columns: list, table_metadata: list)");
            return nullptr;
        }
        if (numpy_types() == nullptr) return nullptr;
        // A private copy of the list holds every column tuple, and so every
        // name and array, while their views are in use.
        PyRef items(PyList_GetSlice(args[0], 0, PyList_Size(args[0])));
        if (!items) return nullptr;
        auto table_metadata = metadata_from_python(args[1], "metadata");
        if (!table_metadata) return nullptr;
        std::vector<Column> columns;
        columns.reserve(static_cast<std::size_t>(PyList_Size(items.get())));
        for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
            PyObject* item = PyList_GetItem(items.get(), i);
            if (!PyTuple_Check(item) || PyTuple_Size(item) != 4) {
                PyErr_SetString(PyExc_TypeError, "columns must be (name, data, places, metadata) tuples");
                return nullptr;
            }
            auto column = take_column(PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1), PyTuple_GetItem(item, 2),
                                      PyTuple_GetItem(item, 3));
            if (!column) return nullptr;
            columns.push_back(std::move(*column));
        }
        return encode_columns(columns, table_metadata->value_or(vorl::Metadata{}));
    });
}

PyObject* encode_arrays(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 3) {
            PyErr_SetString(PyExc_TypeError, "encode_arrays(columns: dict, obj: str, name: str)");
            return nullptr;
        }
        if (numpy_types() == nullptr) return nullptr;
        // Anything but exact str names, 1-D arrays of one length and str
        // names of the object and table goes the general way.
        if (!PyDict_CheckExact(args[0]) || !PyUnicode_CheckExact(args[1]) || !PyUnicode_CheckExact(args[2])) {
            Py_RETURN_NONE;
        }
        PyRef items(PyDict_Items(args[0]));  // holds every name and array while their views are in use
        if (!items) return nullptr;
        const Py_ssize_t count = PyList_Size(items.get());
        npy_intp rows = -1;
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GetItem(items.get(), i);
            PyObject* data = PyTuple_GetItem(item, 1);
            if (!PyUnicode_CheckExact(PyTuple_GetItem(item, 0)) || !PyArray_CheckExact(data) ||
                PyArray_NDIM(reinterpret_cast<PyArrayObject*>(data)) != 1) {
                Py_RETURN_NONE;
            }
            const npy_intp length = PyArray_DIM(reinterpret_cast<PyArrayObject*>(data), 0);
            if (rows >= 0 && length != rows) Py_RETURN_NONE;
            rows = length;
        }
        auto table_metadata = names_metadata(args[1], args[2]);
        if (!table_metadata) return nullptr;
        std::vector<Column> columns;
        columns.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t i = 0; i < count; ++i) {
            PyObject* item = PyList_GetItem(items.get(), i);
            auto column = take_column(PyTuple_GetItem(item, 0), PyTuple_GetItem(item, 1), Py_None, Py_None);
            if (!column) return nullptr;
            columns.push_back(std::move(*column));
        }
        return encode_columns(columns, std::move(*table_metadata));
    });
}

}  // namespace pyvorl::codec

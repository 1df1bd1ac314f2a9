#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_order.hpp"
#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/buffer_view.hpp"
#include "python/codec/functions.hpp"
#include "python/convert.hpp"
#include "python/metadata.hpp"
#include "python/numpy_api.hpp"
#include "python/table_output.hpp"
#include "python/value_error.hpp"
#include "python/without_lock.hpp"

namespace pyvorl::codec {
namespace {

// The frame must fill the buffer exactly: what the header announces decides
// between a truncated frame and trailing bytes, before the checksum is read.
bool check_envelope(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < vorl::TABLE_FRAME_HEADER_SIZE) {
        raise_value_error("truncated frame: " + std::to_string(bytes.size()) + " of the 8 header bytes");
        return false;
    }
    const auto length = vorl::table_frame_length(bytes);
    if (!length) {
        raise_value_error("not a table frame: the first bytes are not a frame header");
        return false;
    }
    const std::uint64_t whole = length.value();
    if (bytes.size() < whole) {
        raise_value_error("truncated frame: the header announces " + std::to_string(whole) +
                          " bytes, the buffer holds " + std::to_string(bytes.size()));
        return false;
    }
    if (bytes.size() > whole) {
        raise_value_error("trailing bytes: " + std::to_string(bytes.size() - whole) + " bytes after a frame of " +
                          std::to_string(whole));
        return false;
    }
    return true;
}

// A Null column has no length of its own: it takes the table's, that of
// its first other column (one that a selection stepped over, if it kept none).
std::size_t rows_of_non_null_columns(const vorl::Table& table) {
    for (const vorl::Field& field : table.fields) {
        if (vorl::series_type(field.series) != vorl::DataType::Null) return vorl::series_length(field.series);
    }
    return static_cast<std::size_t>(table.skipped_rows.value_or(0));
}

// Names must be unique; checked before any column becomes an array, so a
// frame of many fields named alike costs nothing to refuse.
bool check_unique_names(const std::vector<vorl::Field>& fields) {
    std::vector<std::string_view> names;
    names.reserve(fields.size());
    for (const vorl::Field& field : fields) names.emplace_back(field.name);
    std::sort(names.begin(), names.end());
    const auto repeated = std::adjacent_find(names.begin(), names.end());
    if (repeated == names.end()) return true;
    PyRef name(PyUnicode_FromStringAndSize(repeated->data(), static_cast<Py_ssize_t>(repeated->size())));
    if (!name) return false;
    PyRef shown(PyObject_Repr(name.get()));
    if (!shown) return false;
    PyErr_Format(PyExc_ValueError, "column %U appears twice", shown.get());
    return false;
}

// The rows of a field's array, or of its texts in Arrow's layout (offsets, data, is_text).
Py_ssize_t rows_of(PyObject* array) {
    if (PyTuple_Check(array)) return PyArray_DIM(reinterpret_cast<PyArrayObject*>(PyTuple_GetItem(array, 0)), 0) - 1;
    return PyArray_DIM(reinterpret_cast<PyArrayObject*>(array), 0);
}

// The parts of the Table that loads returns, filled field by field.
struct TableParts {
    PyRef columns{PyDict_New()};
    PyRef field_metadata{PyDict_New()};
    PyRef reserved_fields{PyDict_New()};
    PyRef decimals{PyDict_New()};
    PyRef first_name;
    Py_ssize_t rows = 0;

    bool made() const noexcept { return columns && field_metadata && reserved_fields && decimals; }

    // Sets dict[name] = `value` when the dict it goes into is not empty.
    static bool keep_unless_empty(PyObject* dict, PyObject* name, PyObject* value) {
        return PyDict_Size(value) == 0 || PyDict_SetItem(dict, name, value) == 0;
    }

    bool add(vorl::Field& field, NullColumns& nulls, const OutputPolicy& policy) {
        const std::optional<unsigned> scale = field.decimal_scale;
        PyRef name(PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
        if (!name) return false;
        PyRef array = field_array(field, nulls, policy);  // takes the recorded dtype out of the metadata
        if (!array) return false;
        const Py_ssize_t length = rows_of(array.get());
        if (!first_name) {
            first_name = PyRef::borrow(name.get());
            rows = length;
        } else if (length != rows) {
            PyErr_Format(PyExc_ValueError, "column %R has %zd rows, column %R has %zd", name.get(), length,
                         first_name.get(), rows);
            return false;
        }
        if (field.metadata && !field.metadata->empty()) {
            PyRef user(PyDict_New()), reserved(PyDict_New());
            if (!user || !reserved || !metadata_into_dicts(field.metadata, user.get(), reserved.get())) return false;
            if (!keep_unless_empty(field_metadata.get(), name.get(), user.get()) ||
                !keep_unless_empty(reserved_fields.get(), name.get(), reserved.get())) {
                return false;
            }
        }
        if (scale) {
            PyRef places(PyLong_FromUnsignedLong(*scale));
            if (!places || PyDict_SetItem(decimals.get(), name.get(), places.get()) != 0) return false;
        }
        return PyDict_SetItem(columns.get(), name.get(), array.get()) == 0;
    }
};

// The object or table name, taken out of the table's metadata: its String
// entry, or "" when there is none or it holds another type.
PyRef take_name(std::optional<vorl::Metadata>& metadata, std::string_view key) {
    std::string_view text;
    if (metadata) {
        if (const auto found = metadata->find(key); found != metadata->end()) {
            if (const auto* held = std::get_if<vorl::index_of<vorl::DataType::String>>(&found->second)) text = *held;
            PyRef name(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            metadata->erase(found);
            return name;
        }
    }
    return PyRef(PyUnicode_FromStringAndSize(nullptr, 0));
}

// The names of a list of str, viewed: the list (an argument) outlives the decoding.
std::optional<vorl::FieldSelection> selection_of(PyObject* names) {
    if (!PyList_Check(names)) {
        PyErr_SetString(PyExc_TypeError, "columns must be a list of str");
        return std::nullopt;
    }
    std::vector<std::string_view> views;
    for (Py_ssize_t i = 0; i < PyList_Size(names); ++i) {
        PyObject* name = PyList_GetItem(names, i);
        const auto view = PyUnicode_Check(name) ? utf8_view(name) : std::nullopt;
        if (!view) {
            if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_TypeError, "columns must be a list of str");
            return std::nullopt;
        }
        views.push_back(*view);
    }
    return vorl::FieldSelection(std::move(views));
}

// KeyError for the first asked-for name that the frame does not hold.
bool all_selected_found(PyObject* names, PyObject* columns) {
    for (Py_ssize_t i = 0; i < PyList_Size(names); ++i) {
        PyObject* name = PyList_GetItem(names, i);
        const int found = PyDict_Contains(columns, name);
        if (found < 0) return false;
        if (found == 0) {
            PyErr_SetObject(PyExc_KeyError, name);
            return false;
        }
    }
    return true;
}

}  // namespace

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs < 1 || nargs > 4) {
            PyErr_SetString(PyExc_TypeError, "decode(buffer, string_dtype=False, columns=None, texts_as_arrow=False)");
            return nullptr;
        }
        // Date-times in UTC, dtypes as recorded, one array for every Null column.
        OutputPolicy policy{.shared_null_array = true, .restore_recorded_dtype = true};
        if (nargs >= 2) {
            const int string_dtype = PyObject_IsTrue(args[1]);
            if (string_dtype < 0) return nullptr;
            policy.string_dtype = string_dtype != 0;
        }
        if (nargs == 4) {
            const int texts_as_arrow = PyObject_IsTrue(args[3]);
            if (texts_as_arrow < 0) return nullptr;
            policy.texts_as_arrow = texts_as_arrow != 0 && !policy.string_dtype;
        }
        std::optional<vorl::FieldSelection> selection;
        if (nargs >= 3 && args[2] != Py_None) {
            selection = selection_of(args[2]);
            if (!selection) return nullptr;
        }
        if (numpy_types() == nullptr) return nullptr;
        BufferView buffer;
        if (!buffer.acquire(args[0])) return nullptr;
        std::span<const std::uint8_t> bytes = buffer.bytes();
        if (!check_envelope(bytes)) return nullptr;

        // Only a bytes object is known not to change: any other buffer (a
        // bytearray, a writable view, a mapping of a file that another process
        // rewrites) is read once into private memory, so that what is checked
        // is what is decoded and the checksum covers every value returned.
        // The buffer stays exported (it cannot be resized or closed) meanwhile.
        vorl::Buffer<std::uint8_t> snapshot;
        const bool immutable = PyBytes_Check(args[0]) != 0;
        if (!immutable) snapshot = vorl::Buffer<std::uint8_t>::uninitialized(bytes.size());
        std::optional<vorl::Result<vorl::Table, vorl::TableFrameError>> table;
        policy.release_lock = bytes.size() >= RELEASE_LOCK_BYTES;
        maybe_without_lock(policy.release_lock, [&] {
            if (!immutable) {
                std::memcpy(snapshot.data(), bytes.data(), bytes.size());
                bytes = snapshot.span();
            }
            // The envelope is checked: the reader takes the body alone.
            const vorl::DecodeOptions options{.selection = selection ? &*selection : nullptr,
                                              .decimals_as_doubles = true};
            table.emplace(vorl::unpack_table_frame(bytes.subspan(vorl::TABLE_FRAME_HEADER_SIZE), true, options));
        });
        if (!*table) {
            raise_value_error("damaged frame: " + table->error().to_string());
            return nullptr;
        }
        vorl::Table& decoded = table->value();
        PyRef obj = take_name(decoded.metadata, "obj");
        PyRef name = take_name(decoded.metadata, "table");
        PyRef metadata(PyDict_New()), reserved_metadata(PyDict_New());
        if (!obj || !name || !metadata || !reserved_metadata ||
            !metadata_into_dicts(decoded.metadata, metadata.get(), reserved_metadata.get())) {
            return nullptr;
        }
        NullColumns nulls(rows_of_non_null_columns(decoded));
        std::vector<vorl::Field> fields = std::move(decoded).into_fields();
        if (!check_unique_names(fields)) return nullptr;
        TableParts parts;
        if (!parts.made()) return nullptr;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (!parts.add(fields[i], nulls, policy)) return nullptr;
            fields[i] = vorl::Field{};  // release this column's remaining memory as we go
        }
        if (nargs >= 3 && args[2] != Py_None && !all_selected_found(args[2], parts.columns.get())) return nullptr;
        PyRef rows(PyLong_FromSsize_t(parts.rows));
        if (!rows) return nullptr;
        return PyTuple_Pack(9, parts.columns.get(), rows.get(), obj.get(), name.get(), metadata.get(),
                            parts.field_metadata.get(), parts.decimals.get(), parts.reserved_fields.get(),
                            reserved_metadata.get());
    });
}

}  // namespace pyvorl::codec

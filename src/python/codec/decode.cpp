#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/byte_order.hpp"
#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/codec/functions.hpp"
#include "python/metadata.hpp"
#include "python/numpy_api.hpp"
#include "python/table_output.hpp"
#include "python/value_error.hpp"
#include "python/without_lock.hpp"

namespace pyvorl::codec {
namespace {

// A read-only view of any C-contiguous buffer, released on every path.
class BufferView {
public:
    BufferView() = default;
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;
    ~BufferView() {
        if (held_) PyBuffer_Release(&view_);
    }
    bool acquire(PyObject* object) {
        held_ = PyObject_GetBuffer(object, &view_, PyBUF_C_CONTIGUOUS) == 0;
        return held_;
    }
    std::span<const std::uint8_t> bytes() const noexcept {
        return {static_cast<const std::uint8_t*>(view_.buf), static_cast<std::size_t>(view_.len)};
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// The frame must fill the buffer exactly: what the header announces decides
// between a truncated frame and trailing bytes, before the checksum is read.
bool check_envelope(std::span<const std::uint8_t> bytes) {
    if (bytes.size() < vorl::TABLE_FRAME_HEADER_SIZE) {
        raise_value_error("truncated frame: " + std::to_string(bytes.size()) + " of the 8 header bytes");
        return false;
    }
    const auto body = vorl::check_table_frame_header(bytes);
    if (!body) {
        raise_value_error("not a table frame: the first bytes are not a frame header");
        return false;
    }
    const std::uint64_t whole = std::uint64_t{body.value()} + vorl::TABLE_FRAME_HEADER_SIZE;
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
// its first other column.
std::size_t rows_of_non_null_columns(const vorl::Table& table) {
    for (const vorl::Field& field : table.fields) {
        if (vorl::series_type(field.series) != vorl::DataType::Null) return vorl::series_length(field.series);
    }
    return 0;
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

PyRef field_to_python(vorl::Field& field, std::optional<unsigned> scale_of_decimals, NullColumns& nulls,
                      const OutputPolicy& policy) {
    const auto type = vorl::series_type(field.series);
    PyRef array = field_array(field, nulls, policy);  // takes the recorded dtype out of the metadata
    if (!array) return {};
    PyRef metadata = metadata_to_python(field.metadata);
    if (!metadata) return {};
    const auto tag = static_cast<int>(scale_of_decimals ? vorl::DataType::Decimal : type);
    PyRef scale = scale_of_decimals ? PyRef(PyLong_FromUnsignedLong(*scale_of_decimals)) : PyRef::borrow(Py_None);
    if (!scale) return {};
    PyRef name(PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
    if (!name) return {};
    return PyRef(Py_BuildValue("(OiOOO)", name.get(), tag, array.get(), metadata.get(), scale.get()));
}

}  // namespace

PyObject* decode(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 1 && nargs != 2) {
            PyErr_SetString(PyExc_TypeError, "decode(buffer, string_dtype=False)");
            return nullptr;
        }
        // Date-times in UTC, dtypes as recorded, one array for every Null column.
        OutputPolicy policy{.shared_null_array = true, .restore_recorded_dtype = true};
        if (nargs == 2) {
            const int string_dtype = PyObject_IsTrue(args[1]);
            if (string_dtype < 0) return nullptr;
            policy.string_dtype = string_dtype != 0;
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
        std::vector<std::optional<unsigned>> scales;
        policy.release_lock = bytes.size() >= RELEASE_LOCK_BYTES;
        maybe_without_lock(policy.release_lock, [&] {
            if (!immutable) {
                std::memcpy(snapshot.data(), bytes.data(), bytes.size());
                bytes = snapshot.span();
            }
            table.emplace(vorl::unpack_table_frame(bytes, false));
            if (*table) scales = decimals_to_doubles(table->value());
        });
        if (!*table) {
            raise_value_error("damaged frame: " + table->error().to_string());
            return nullptr;
        }
        vorl::Table& decoded = table->value();
        PyRef table_metadata = metadata_to_python(decoded.metadata);
        if (!table_metadata) return nullptr;
        NullColumns nulls(rows_of_non_null_columns(decoded));
        std::vector<vorl::Field> fields = std::move(decoded).into_fields();
        if (!check_unique_names(fields)) return nullptr;
        PyRef columns(PyList_New(static_cast<Py_ssize_t>(fields.size())));
        if (!columns) return nullptr;
        for (std::size_t i = 0; i < fields.size(); ++i) {
            PyRef column = field_to_python(fields[i], scales[i], nulls, policy);
            if (!column) return nullptr;
            PyList_SetItem(columns.get(), static_cast<Py_ssize_t>(i), column.release());
            fields[i] = vorl::Field{};  // release this column's remaining memory as we go
        }
        return Py_BuildValue("(OO)", table_metadata.get(), columns.get());
    });
}

}  // namespace pyvorl::codec

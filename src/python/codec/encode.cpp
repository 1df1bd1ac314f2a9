#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "core/decimal.hpp"
#include "core/encoding.hpp"
#include "core/frame.hpp"
#include "core/huge_pages.hpp"
#include "python/args.hpp"
#include "python/codec/functions.hpp"
#include "python/codec/metadata.hpp"
#include "python/codec/without_lock.hpp"
#include "python/convert.hpp"
#include "python/numpy_api.hpp"
#include "python/py_array_typed.hpp"
#include "python/value_error.hpp"

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
    std::optional<PyArrayTyped> typed;  // shared intake: floats, bools, converted datetimes, texts, float decimals
    // Integer arrays read in place: int32/int64/uint32/uint64/datetime64[us].
    PyRef owner;  // the array, or the bytes object that holds a byte-string column
    DataType integer_type = DataType::Null;
    const void* source = nullptr;
    std::size_t length = 0;
    std::size_t element_size = 0;
    vorl::Buffer<std::uint8_t> private_copy;
    std::vector<std::string_view> pieces;  // byte strings
    vorl::Buffer<vorl::D64> decimals;      // decimal texts
    bool is_bytes = false;
    bool is_decimal_texts = false;

    std::size_t byte_estimate() const noexcept {
        if (is_bytes) return PyBytes_Size(owner.get()) + 8 * pieces.size();
        if (integer_type != DataType::Null) return length * element_size;
        return 8 * (typed ? vorl::series_length(typed->view()) : decimals.size());
    }

    // Points the column at a copy of its integers that no other thread can change.
    void take_private_copy() {
        if (integer_type == DataType::Null) return;
        private_copy = vorl::Buffer<std::uint8_t>::uninitialized(length * element_size);
        if (length != 0) std::memcpy(private_copy.data(), source, length * element_size);
        source = private_copy.data();
    }

    template <class T>
    std::span<const T> integers() const noexcept {
        return {static_cast<const T*>(source), length};
    }

    vorl::SeriesRef view() const noexcept {
        if (typed) return typed->view();
        if (is_bytes)
            return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::Bytes>>,
                                   std::span<const std::string_view>(pieces)};
        if (is_decimal_texts)
            return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::Decimal>>, decimals.span()};
        switch (integer_type) {
            case DataType::DateTime:
                return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::DateTime>>,
                                       integers<std::int64_t>()};
            case DataType::Int64:
                return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::Int64>>, integers<std::int64_t>()};
            case DataType::Int32:
                return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::Int32>>, integers<std::int32_t>()};
            case DataType::UInt32:
                return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::UInt32>>,
                                       integers<std::uint32_t>()};
            case DataType::UInt64:
                return vorl::SeriesRef{std::in_place_index<vorl::index_of<DataType::UInt64>>,
                                       integers<std::uint64_t>()};
            default: break;
        }
        return vorl::SeriesRef{};
    }
};

// The elements of a list or of a 1-D contiguous object array, borrowed. Nothing
// that reads them runs Python code, so neither can change during the walk.
class Items {
public:
    bool take(PyObject* data) {
        if (PyList_Check(data)) {
            list_ = data;
            length_ = static_cast<std::size_t>(PyList_Size(data));
            return true;
        }
        const NumpyTypes* types = numpy_types();
        if (types == nullptr) return false;
        auto* array = reinterpret_cast<PyArrayObject*>(data);
        const bool usable = PyArray_Check(data) && PyArray_NDIM(array) == 1 &&
                            PyArray_EquivTypes(PyArray_DESCR(array), types->object) &&
                            (PyArray_FLAGS(array) & NPY_ARRAY_C_CONTIGUOUS) != 0;
        if (!usable) {
            PyErr_SetString(PyExc_TypeError, "texts must be a list or a 1-D contiguous object array");
            return false;
        }
        objects_ = static_cast<PyObject* const*>(PyArray_DATA(array));
        length_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
        return true;
    }
    std::size_t size() const noexcept { return length_; }
    // NumPy reads a NULL element of an object array as None.
    PyObject* operator[](std::size_t i) const noexcept {
        if (list_ != nullptr) return PyList_GetItem(list_, static_cast<Py_ssize_t>(i));
        return objects_[i] != nullptr ? objects_[i] : Py_None;
    }
    PyObject* const* objects() const noexcept { return objects_; }

private:
    PyObject* list_ = nullptr;
    PyObject* const* objects_ = nullptr;
    std::size_t length_ = 0;
};

// The integer arrays read in place; every other kind goes through the shared intake.
bool take_integer_array(Column& column, PyObject* data) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr || !PyArray_Check(data)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    const struct {
        PyArray_Descr* descr;
        DataType type;
        std::size_t size;
    } kinds[] = {
        {types->int64, DataType::Int64, 8},          {types->int32, DataType::Int32, 4},
        {types->uint32, DataType::UInt32, 4},        {types->uint64, DataType::UInt64, 8},
        {types->datetime_us, DataType::DateTime, 8},
    };
    for (const auto& kind : kinds) {
        if (!PyArray_EquivTypes(PyArray_DESCR(array), kind.descr)) continue;
        const int flags = PyArray_FLAGS(array);
        const bool aligned = (flags & NPY_ARRAY_ALIGNED) != 0, contiguous = (flags & NPY_ARRAY_C_CONTIGUOUS) != 0;
        if (PyArray_NDIM(array) != 1 || !aligned || !contiguous) return false;
        column.owner = PyRef::borrow(data);
        column.integer_type = kind.type;
        column.source = PyArray_DATA(array);
        column.length = static_cast<std::size_t>(PyArray_DIM(array, 0));
        column.element_size = kind.size;
        return true;
    }
    return false;
}

// Byte strings: every element's bytes copied into one bytes object, read in
// one walk.
bool take_bytes(Column& column, const Items& items) {
    const std::size_t length = items.size();
    column.pieces.reserve(length);
    std::size_t total = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto bytes = bytes_view(items[i]);
        if (!bytes) return false;
        column.pieces.emplace_back(reinterpret_cast<const char*>(bytes->data()), bytes->size());
        total += bytes->size();
    }
    column.owner = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!column.owner) return false;
    char* to = PyBytes_AsString(column.owner.get());
    for (std::string_view& piece : column.pieces) {
        if (!piece.empty()) std::memcpy(to, piece.data(), piece.size());
        piece = std::string_view(to, piece.size());
        to += piece.size();
    }
    column.is_bytes = true;
    return true;
}

// Decimal texts at `places`: every text must be a finite decimal with at most
// that many places, so nothing is rounded or dropped on the way.
bool take_decimal_texts(Column& column, const Items& items, unsigned places) {
    const std::size_t length = items.size();
    column.decimals = vorl::Buffer<vorl::D64>::uninitialized(length);
    const std::string prefix = "column '" + std::string(column.name) + "' row ";
    for (std::size_t i = 0; i < length; ++i) {
        PyObject* item = items[i];
        const auto text = utf8_view(item);
        if (!text) return false;
        auto parsed = vorl::parse_d64(*text);
        std::string problem;
        if (!parsed || parsed->is_special()) {
            problem = "is not a finite decimal";
        } else if (parsed->scale() > places) {
            problem = "has more than " + std::to_string(places) + (places == 1 ? " decimal place" : " decimal places");
        } else if (!vorl::set_decimal(parsed.value(), places)) {
            problem = "does not fit a decimal with " + std::to_string(places) + " places";
        }
        if (!problem.empty()) {
            raise_value_error(prefix + std::to_string(i) + ": " + repr_text(item).value_or("?") + " " + problem);
            return false;
        }
        column.decimals[i] = parsed.value();
    }
    column.is_decimal_texts = true;
    return true;
}

std::optional<Column> take_column(PyObject* item) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 5) {
        PyErr_SetString(PyExc_TypeError, "columns must be (name, kind, data, places, metadata) tuples");
        return std::nullopt;
    }
    Column column;
    const auto name = utf8_view(PyTuple_GetItem(item, 0));
    const auto kind = utf8_view(PyTuple_GetItem(item, 1));
    if (!name || !kind) return std::nullopt;
    column.name = *name;
    PyObject* data = PyTuple_GetItem(item, 2);
    PyObject* places_object = PyTuple_GetItem(item, 3);
    std::optional<std::uint64_t> places;
    if (places_object != Py_None) {
        places = PyLong_AsUnsignedLongLong(places_object);
        if (PyErr_Occurred() != nullptr) return std::nullopt;
        if (*places > vorl::D64_MAX_SCALE) {
            raise_value_error("column '" + std::string(column.name) + "': decimal places must be at most 15, got " +
                              std::to_string(*places));
            return std::nullopt;
        }
    }
    auto metadata = metadata_from_python(PyTuple_GetItem(item, 4));
    if (!metadata) return std::nullopt;
    column.metadata = std::move(*metadata);

    bool taken = false;
    Items items;
    if (*kind == "b" || *kind == "t") {
        if (!items.take(data)) return std::nullopt;
    }
    if (*kind == "b") {
        taken = take_bytes(column, items);
    } else if (*kind == "t" && places) {
        taken = take_decimal_texts(column, items, static_cast<unsigned>(*places));
    } else if (*kind == "t" && items.objects() != nullptr) {
        column.typed = intake_text_objects(items.objects(), items.size());
        taken = column.typed.has_value();
    } else if (!places && take_integer_array(column, data)) {
        taken = true;
    } else if (PyErr_Occurred() == nullptr) {
        column.typed = intake_column(data, places, column.name);
        taken = column.typed.has_value();
    }
    if (!taken) return std::nullopt;
    return column;
}

// The frame of `table`, counted and written without the lock when `release`
// is set. When the writing pass disagrees with the counting pass: null, with
// no exception set if `retry` is set.
PyRef encode_frame(const vorl::TableRef& table, bool release, bool retry) {
    std::optional<vorl::Result<std::size_t, vorl::TableFramePackError>> size;
    maybe_without_lock(release, [&] { size.emplace(vorl::table_frame_size(table)); });
    if (!*size) {
        raise_value_error(size->error().message());
        return PyRef{};
    }
    const std::size_t frame_size = size->value();
    PyRef frame(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(frame_size)));
    if (!frame) return PyRef{};
    auto* out = reinterpret_cast<std::uint8_t*>(PyBytes_AsString(frame.get()));
    std::optional<vorl::Result<void, vorl::TableFramePackError>> written;
    maybe_without_lock(release, [&] {
        vorl::advise_huge_pages(out, frame_size);
        written.emplace(vorl::write_table_frame(table, {out, frame_size}));
    });
    if (!*written) {
        if (!retry) PyErr_SetString(PyExc_SystemError, written->error().message().c_str());
        return PyRef{};
    }
    return frame;
}

}  // namespace

PyObject* encode(PyObject*, PyObject* const* args, Py_ssize_t nargs) noexcept {
    return run_guarded([&]() -> PyObject* {
        if (nargs != 2 || !PyList_Check(args[0])) {
            PyErr_SetString(PyExc_TypeError, "encode(columns: list, table_metadata: list)");
            return nullptr;
        }
        // A private copy of the list holds every column tuple, and so every
        // name and array, while their views are in use.
        PyRef items(PyList_GetSlice(args[0], 0, PyList_Size(args[0])));
        if (!items) return nullptr;
        auto table_metadata = metadata_from_python(args[1]);
        if (!table_metadata) return nullptr;
        std::vector<Column> columns;
        columns.reserve(static_cast<std::size_t>(PyList_Size(items.get())));
        std::size_t estimate = 0;
        for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
            auto column = take_column(PyList_GetItem(items.get(), i));
            if (!column) return nullptr;
            estimate += column->byte_estimate();
            columns.push_back(std::move(*column));
        }
        vorl::TableRef table{vorl::TABLE_PAYLOAD_MAGIC_VERSION, {}, std::move(*table_metadata), false};
        table.fields.reserve(columns.size());
        for (Column& column : columns) {
            vorl::FieldRef field = vorl::FieldRef::of(column.name, column.view());
            field.metadata = std::move(column.metadata);
            table.fields.push_back(std::move(field));
        }
        const bool release = estimate >= RELEASE_LOCK_BYTES;
        PyRef frame = encode_frame(table, release, true);
        if (!frame && !PyErr_Occurred()) {
            // Another thread changed a column meanwhile (NumPy changes arrays
            // without the lock, too): encode a snapshot instead.
            maybe_without_lock(release, [&] {
                for (std::size_t i = 0; i < columns.size(); ++i) {
                    columns[i].take_private_copy();
                    table.fields[i].series = columns[i].view();
                }
            });
            frame = encode_frame(table, release, false);
        }
        return frame.release();
    });
}

}  // namespace pyvorl::codec

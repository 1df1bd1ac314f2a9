#include "python/py_array_typed.hpp"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <string>

#include "core/column_codec.hpp"
#include "core/d64_columns.hpp"
#include "core/datetime_column.hpp"
#include "core/datetime_units.hpp"
#include "core/decimal.hpp"
#include "core/decimal_column.hpp"
#include "core/huge_pages.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/numpy_api.hpp"
#include "python/string_dtype.hpp"
#include "python/value_error.hpp"
#include "python/without_lock.hpp"

namespace pyvorl {

using vorl::D64;
using vorl::DataType;
using vorl::SeriesRef;

namespace {

template <DataType T, class Element>
SeriesRef viewed_as(const ViewedArray& viewed) noexcept {
    return SeriesRef{std::in_place_index<vorl::index_of<T>>,
                     std::span(static_cast<const Element*>(viewed.data), viewed.length)};
}

SeriesRef view_of(const ViewedArray& viewed) noexcept {
    switch (viewed.type) {
        case DataType::Int64: return viewed_as<DataType::Int64, std::int64_t>(viewed);
        case DataType::Float64: return viewed_as<DataType::Float64, double>(viewed);
        case DataType::Int32: return viewed_as<DataType::Int32, std::int32_t>(viewed);
        case DataType::Float32: return viewed_as<DataType::Float32, float>(viewed);
        case DataType::Bool: return viewed_as<DataType::Bool, std::uint8_t>(viewed);
        case DataType::DateTime: return viewed_as<DataType::DateTime, std::int64_t>(viewed);
        case DataType::UInt32: return viewed_as<DataType::UInt32, std::uint32_t>(viewed);
        case DataType::UInt64: return viewed_as<DataType::UInt64, std::uint64_t>(viewed);
        default: break;
    }
    return SeriesRef{};
}

SeriesRef view_of(const DateTimes& datetimes) noexcept {
    return SeriesRef{std::in_place_index<vorl::index_of<DataType::DateTime>>, datetimes.micros.span()};
}

SeriesRef view_of(const Texts& texts) noexcept {
    return SeriesRef{std::in_place_index<vorl::index_of<DataType::String>>,
                     std::span<const std::string_view>(texts.views)};
}

SeriesRef view_of(const Decimals& decimals) noexcept {
    return SeriesRef{std::in_place_index<vorl::index_of<DataType::Decimal>>, decimals.values.span()};
}

// An empty view of the column type `Type`.
template <DataType Type>
SeriesRef empty_view() noexcept {
    using View = std::variant_alternative_t<vorl::index_of<Type>, SeriesRef>;
    return SeriesRef{std::in_place_index<vorl::index_of<Type>>, View{}};
}

// Only the type: the body holds the values.
SeriesRef view_of(const EncodedBody& encoded) noexcept {
    switch (encoded.type) {
        case DataType::DateTime: return empty_view<DataType::DateTime>();
        case DataType::Int64: return empty_view<DataType::Int64>();
        case DataType::Int32: return empty_view<DataType::Int32>();
        case DataType::UInt32: return empty_view<DataType::UInt32>();
        case DataType::UInt64: return empty_view<DataType::UInt64>();
        default: return empty_view<DataType::Decimal>();
    }
}

SeriesRef view_of(const ByteStrings& bytes) noexcept {
    return SeriesRef{std::in_place_index<vorl::index_of<DataType::Bytes>>,
                     std::span<const std::string_view>(bytes.views)};
}

std::size_t element_size(DataType type) noexcept {
    switch (type) {
        case DataType::Bool: return 1;
        case DataType::Int32:
        case DataType::UInt32:
        case DataType::Float32: return 4;
        default: return 8;
    }
}

}  // namespace

SeriesRef PyArrayTyped::view() const noexcept {
    return std::visit([](const auto& alternative) { return view_of(alternative); }, column);
}

vorl::FieldRef PyArrayTyped::field(std::string_view name) const noexcept {
    vorl::FieldRef made = vorl::FieldRef::of(name, view());
    if (const auto* encoded = std::get_if<EncodedBody>(&column)) made.encoded_body = encoded->bytes.span();
    return made;
}

std::size_t PyArrayTyped::byte_estimate() const noexcept {
    if (const auto* encoded = std::get_if<EncodedBody>(&column)) return encoded->bytes.size();
    if (const auto* viewed = std::get_if<ViewedArray>(&column)) return viewed->length * element_size(viewed->type);
    if (const auto* bytes = std::get_if<ByteStrings>(&column)) {
        return static_cast<std::size_t>(PyBytes_Size(bytes->owner.get())) + 8 * bytes->views.size();
    }
    return 8 * vorl::series_length(view());
}

void PyArrayTyped::take_private_copy() {
    auto* viewed = std::get_if<ViewedArray>(&column);
    if (viewed == nullptr) return;
    const std::size_t size = viewed->length * element_size(viewed->type);
    viewed->private_copy = vorl::Buffer<std::uint8_t>::uninitialized(size);
    if (size != 0) std::memcpy(viewed->private_copy.data(), viewed->data, size);
    viewed->data = viewed->private_copy.data();
}

void raise_misplaced_element(const TextRows& rows, std::size_t row, PyObject* item, bool bytes_column) {
    PyRef name(PyUnicode_FromStringAndSize(rows.column.data(), static_cast<Py_ssize_t>(rows.column.size())));
    if (!name) return;
    const auto column = repr_text(name.get());
    if (!column) return;
    const std::string where = "column " + *column + " row " + std::to_string(row);
    if (PyErr_Occurred() != nullptr) return raise_unencodable(item, where);
    if (item == Py_None) return raise_value_error(where + ": None in a text column");
    PyRef type_name(PyType_GetName(Py_TYPE(item)));
    const auto type = type_name ? utf8_view(type_name.get()) : std::nullopt;
    if (!type) return;
    const bool text_or_bytes = PyUnicode_Check(item) || PyBytes_Check(item);
    const char* holds = !text_or_bytes ? "a text column" : bytes_column ? "a column of bytes" : "a column of str";
    raise_value_error(where + ": " + std::string(*type) + " object in " + holds);
}

namespace {

// A D64 has four bits of scale.
bool check_decimal_places(std::uint64_t places, std::string_view column_name) {
    if (places <= vorl::D64_MAX_SCALE) return true;
    raise_value_error("decimal places for column '" + std::string(column_name) + "' must be at most " +
                      std::to_string(vorl::D64_MAX_SCALE) + ", got " + std::to_string(places));
    return false;
}

// The value as repr() shows it in Python, where the caller wrote it.
void raise_unfit_decimal(double value, unsigned places, std::string_view column_name) {
    PyRef number(PyFloat_FromDouble(value));
    if (!number) return;
    const auto shown = repr_text(number.get());
    if (!shown) return;
    raise_value_error("column '" + std::string(column_name) + "': value " + *shown + " does not fit a decimal with " +
                      std::to_string(places) + " places");
}

template <class Float>
std::variant<EncodedBody, std::size_t> floats_as_decimals(std::span<const Float> values, unsigned places,
                                                          bool nan_refused, bool release_lock) {
    std::optional<vorl::Result<vorl::Buffer<std::uint8_t>, std::size_t>> body;
    maybe_without_lock(release_lock, [&] { body.emplace(vorl::encode_decimal_body(values, places, nan_refused)); });
    if (!*body) return body->error();
    return EncodedBody{DataType::Decimal, std::move(*body).value()};
}

template <class Float>
std::optional<PyArrayTyped> floats_to_decimals(const Float* values, std::size_t length, unsigned places,
                                               std::string_view column_name) {
    auto decimals = decimals_of(std::span<const Float>(values, length), places, false, false);
    if (auto* made = std::get_if<EncodedBody>(&decimals)) return PyArrayTyped{std::move(*made)};
    raise_unfit_decimal(static_cast<double>(values[std::get<std::size_t>(decimals)]), places, column_name);
    return std::nullopt;
}

// A float64 or float32 array as decimals with `places` places.
std::optional<PyArrayTyped> intake_float_decimals(DataType type, const void* data, std::size_t length,
                                                  std::uint64_t places, std::string_view column_name) {
    if (!check_decimal_places(places, column_name)) return std::nullopt;
    const auto scale = static_cast<unsigned>(places);
    if (type == DataType::Float64) {
        return floats_to_decimals(static_cast<const double*>(data), length, scale, column_name);
    }
    return floats_to_decimals(static_cast<const float*>(data), length, scale, column_name);
}

// Microseconds from another unit; NaT stays NaT, and a value whose
// microseconds do not fit is refused rather than wrapped.
std::optional<PyArrayTyped> convert_datetimes(const std::int64_t* values, std::size_t length, vorl::TimeUnit unit,
                                              std::string_view column_name) {
    auto micros = microseconds_of({values, length}, unit);
    if (auto* made = std::get_if<DateTimes>(&micros)) return PyArrayTyped{std::move(*made)};
    raise_value_error("column '" + std::string(column_name) + "': value " +
                      std::to_string(values[std::get<std::size_t>(micros)]) +
                      " does not fit a datetime in microseconds");
    return std::nullopt;
}

struct ArrayDType {
    DataType type;
    vorl::TimeUnit unit;  // of datetimes
};

// The accepted dtype `descr` is equivalent to; otherwise ValueError.
std::optional<ArrayDType> classify_dtype(PyArray_Descr* descr, const NumpyTypes& types) {
    const struct {
        PyArray_Descr* reference;
        ArrayDType dtype;
    } accepted[] = {
        {types.int64, {DataType::Int64, vorl::TimeUnit::Microsecond}},
        {types.float64, {DataType::Float64, vorl::TimeUnit::Microsecond}},
        {types.int32, {DataType::Int32, vorl::TimeUnit::Microsecond}},
        {types.float32, {DataType::Float32, vorl::TimeUnit::Microsecond}},
        {types.boolean, {DataType::Bool, vorl::TimeUnit::Microsecond}},
        {types.datetime_us, {DataType::DateTime, vorl::TimeUnit::Microsecond}},
        {types.datetime_ms, {DataType::DateTime, vorl::TimeUnit::Millisecond}},
        {types.datetime_s, {DataType::DateTime, vorl::TimeUnit::Second}},
        {types.datetime_ns, {DataType::DateTime, vorl::TimeUnit::Nanosecond}},
    };
    for (const auto& candidate : accepted) {
        if (PyArray_EquivTypes(descr, candidate.reference)) return candidate.dtype;
    }
    PyRef text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    if (text) PyErr_Format(PyExc_ValueError, "unsupported data type: %U", text.get());
    return std::nullopt;
}

// One dimension, aligned and contiguous, so that its buffer can be read as a span.
bool check_layout(PyObject* column, PyArrayObject* array) {
    if (PyArray_NDIM(array) != 1) {
        raise_type_mismatch(column, "ndarray");
        return false;
    }
    const int flags = PyArray_FLAGS(array);
    if (!(flags & NPY_ARRAY_ALIGNED) || !(flags & (NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_F_CONTIGUOUS))) {
        PyErr_SetString(PyExc_TypeError, "The given array is not contiguous or is misaligned.");
        return false;
    }
    return true;
}

std::optional<PyArrayTyped> intake_array(PyObject* column, std::optional<std::uint64_t> decimal_places,
                                         std::string_view column_name) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return std::nullopt;
    if (!PyArray_Check(column)) {
        raise_type_mismatch(column, "ndarray");
        return std::nullopt;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(column);
    const auto dtype = classify_dtype(PyArray_DESCR(array), *types);
    if (!dtype || !check_layout(column, array)) return std::nullopt;

    const void* data = PyArray_DATA(array);
    const auto length = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const bool is_float = dtype->type == DataType::Float64 || dtype->type == DataType::Float32;
    if (decimal_places && is_float) {
        return intake_float_decimals(dtype->type, data, length, *decimal_places, column_name);
    }
    if (dtype->type == DataType::DateTime && dtype->unit != vorl::TimeUnit::Microsecond) {
        return convert_datetimes(static_cast<const std::int64_t*>(data), length, dtype->unit, column_name);
    }
    // Microsecond datetimes are already what the frame holds: viewed in
    // place like the fixed-width kinds rather than copied.
    return PyArrayTyped{ViewedArray{dtype->type, PyRef::borrow(column), data, length}};
}

// Up to 16 bytes in a few overlapping moves, instead of a memcpy call per
// short text; longer texts take memcpy.
inline void copy_text(char* to, const char* from, std::size_t size) noexcept {
    if (size > 16) {
        std::memcpy(to, from, size);
    } else if (size >= 8) {
        std::uint64_t head, tail;
        std::memcpy(&head, from, 8);
        std::memcpy(&tail, from + size - 8, 8);
        std::memcpy(to, &head, 8);
        std::memcpy(to + size - 8, &tail, 8);
    } else if (size >= 4) {
        std::uint32_t head, tail;
        std::memcpy(&head, from, 4);
        std::memcpy(&tail, from + size - 4, 4);
        std::memcpy(to, &head, 4);
        std::memcpy(to + size - 4, &tail, 4);
    } else if (size > 0) {
        to[0] = from[0];
        to[size / 2] = from[size / 2];
        to[size - 1] = from[size - 1];
    }
}

// A capsule that frees the texts' bytes with the column.
PyRef own_text_bytes(vorl::Buffer<char> bytes) {
    static constexpr const char* NAME = "pyvorl.text_bytes";
    char* data = bytes.release().data;
    PyRef capsule(PyCapsule_New(data, NAME, [](PyObject* self) {
        vorl::Buffer<char>::free_released(static_cast<char*>(PyCapsule_GetPointer(self, NAME)));
    }));
    if (!capsule) vorl::Buffer<char>::free_released(data);
    return capsule;
}

// A list of str: the UTF-8 of every element is copied into one buffer that
// the column owns, so the frame writer reads the texts in order instead
// of visiting two million scattered str objects again, and the elements need
// no references of their own (taking and dropping them is two more visits).
// Nothing in the walk below runs Python code (the UTF-8 form of a str is
// computed in C, and no object is made before its end), so the list cannot
// change under it.
// The length is read once, before the walk. item_at(i) gives element i, borrowed.
template <class ItemAt>
std::optional<PyArrayTyped> intake_texts(std::size_t length, ItemAt item_at, const TextRows* rows) {
    Texts texts;
    texts.views.reserve(length);
    vorl::advise_huge_pages(texts.views.data(), length * sizeof(std::string_view));
    // Each str is visited once: its UTF-8 is copied into one buffer that the
    // column owns while the object is in cache (a second pass over millions of
    // scattered objects costs a cache miss each). The buffer starts at a guess
    // of 16 bytes per text (untouched pages cost nothing) and is replaced by a
    // larger one, and the views rebased, when the texts are longer.
    vorl::Buffer<char> bytes = vorl::Buffer<char>::uninitialized(length * 16 + 64);
    vorl::advise_huge_pages(bytes.data(), bytes.size());
    std::size_t used = 0;
    const auto make_room = [&](std::size_t size) {
        vorl::Buffer<char> larger = vorl::Buffer<char>::uninitialized(std::max(bytes.size() * 2, used + size));
        if (used != 0) std::memcpy(larger.data(), bytes.data(), used);
        for (std::string_view& text : texts.views) {
            text = std::string_view(larger.data() + (text.data() - bytes.data()), text.size());
        }
        bytes = std::move(larger);
    };
    // Lists often hold the same few str objects many times over (venues,
    // sides): the copy of a recently seen object is shared by identity. A list
    // whose first elements are all distinct stops looking.
    struct Seen {
        PyObject* object = nullptr;
        std::size_t offset = 0;
        std::size_t size = 0;
    };
    std::array<Seen, 64> seen{};
    constexpr std::size_t TRIAL = 4096;
    std::size_t hits = 0;
    bool remembering = true;
    for (std::size_t i = 0; i < length; ++i) {
        PyObject* item = item_at(i);
        if (i == TRIAL) remembering = hits >= TRIAL / 4;
        Seen* slot = remembering ? &seen[(reinterpret_cast<std::uintptr_t>(item) >> 4) % seen.size()] : nullptr;
        if (slot != nullptr && slot->object == item) {
            ++hits;
            texts.views.emplace_back(bytes.data() + slot->offset, slot->size);
            continue;
        }
        // An exact str needs no call to learn its type.
        if (Py_TYPE(item) != &PyUnicode_Type && !PyUnicode_Check(item)) {
            rows != nullptr ? raise_misplaced_element(*rows, i, item, false) : raise_type_mismatch(item, "str");
            return std::nullopt;
        }
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(item, &size);
        if (utf8 == nullptr) {
            if (rows != nullptr) raise_misplaced_element(*rows, i, item, false);
            return std::nullopt;
        }
        const auto count = static_cast<std::size_t>(size);
        if (bytes.size() - used < count) make_room(count);
        copy_text(bytes.data() + used, utf8, count);
        texts.views.emplace_back(bytes.data() + used, count);
        if (slot != nullptr) *slot = Seen{item, used, count};
        used += count;
    }
    texts.owner = own_text_bytes(std::move(bytes));
    if (!texts.owner) return std::nullopt;
    return PyArrayTyped{std::move(texts)};
}

// Decimal lists are copied first: the copy owns a reference to every element,
// so nothing that runs while an unencodable text raises (and is forgiven) can
// free an element that is still to be read.
std::optional<PyArrayTyped> intake_list(PyObject* column, std::optional<std::uint64_t> decimal_places,
                                        std::string_view column_name) {
    if (!PyList_Check(column)) {
        raise_type_mismatch(column, "list");
        return std::nullopt;
    }
    if (decimal_places && !check_decimal_places(*decimal_places, column_name)) return std::nullopt;
    if (!decimal_places) {
        return intake_text_list(column);
    }
    PyRef items(PyList_GetSlice(column, 0, PyList_Size(column)));
    if (!items) return std::nullopt;
    const auto length = static_cast<std::size_t>(PyList_Size(items.get()));
    Decimals decimals{vorl::Buffer<D64>::uninitialized(length)};
    const auto places = static_cast<unsigned>(*decimal_places);
    for (std::size_t i = 0; i < length; ++i) {
        PyObject* item = PyList_GetItem(items.get(), static_cast<Py_ssize_t>(i));
        D64 value = D64::nan();
        if (PyUnicode_Check(item)) {
            Py_ssize_t size = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item, &size);
            if (text == nullptr) {
                PyErr_Clear();  // an unencodable text is not a number either
            } else if (auto parsed = vorl::parse_d64({text, static_cast<std::size_t>(size)})) {
                value = parsed.value();
                if (!vorl::set_decimal(value, places)) value = D64::nan();
            }
        }
        decimals.values[i] = value;
    }
    return PyArrayTyped{std::move(decimals)};
}

}  // namespace

std::optional<PyArrayTyped> intake_text_objects(PyObject* const* items, std::size_t length, const TextRows* rows) {
    // NumPy reads a NULL element of an object array as None.
    return intake_texts(length, [items](std::size_t i) { return items[i] != nullptr ? items[i] : Py_None; }, rows);
}

std::optional<PyArrayTyped> intake_text_list(PyObject* list, const TextRows* rows) {
    const auto length = static_cast<std::size_t>(PyList_Size(list));
    return intake_texts(
        length, [list](std::size_t i) { return PyList_GetItem(list, static_cast<Py_ssize_t>(i)); }, rows);
}

std::optional<PyArrayTyped> intake_string_dtype(PyObject* object, const TextRows& rows) {
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    vorl::Buffer<char> bytes;
    Texts texts;
    std::size_t missing = 0;
    if (!copy_string_dtype_texts(array, bytes, texts.views, missing)) {
        if (PyErr_Occurred() == nullptr) PyErr_SetString(PyExc_MemoryError, "StringDType element could not be read");
        return std::nullopt;
    }
    if (missing < static_cast<std::size_t>(PyArray_DIM(array, 0))) {
        raise_misplaced_element(rows, missing, Py_None, false);
        return std::nullopt;
    }
    texts.owner = own_text_bytes(std::move(bytes));
    if (!texts.owner) return std::nullopt;
    return PyArrayTyped{std::move(texts)};
}

std::optional<PyArrayTyped> intake_byte_objects(PyObject* const* items, std::size_t length, const TextRows& rows) {
    ByteStrings bytes;
    bytes.views.reserve(length);
    std::size_t total = 0;
    for (std::size_t i = 0; i < length; ++i) {
        PyObject* item = items[i] != nullptr ? items[i] : Py_None;
        if (!PyBytes_Check(item)) {
            raise_misplaced_element(rows, i, item, true);
            return std::nullopt;
        }
        const auto size = static_cast<std::size_t>(PyBytes_Size(item));
        bytes.views.emplace_back(PyBytes_AsString(item), size);
        total += size;
    }
    bytes.owner = PyRef(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(total)));
    if (!bytes.owner) return std::nullopt;
    char* to = PyBytes_AsString(bytes.owner.get());
    for (std::string_view& piece : bytes.views) {
        if (!piece.empty()) std::memcpy(to, piece.data(), piece.size());
        piece = std::string_view(to, piece.size());
        to += piece.size();
    }
    return PyArrayTyped{std::move(bytes)};
}

// Defined with the exact intake (exact_intake.cpp).
std::optional<PyArrayTyped> intake_exact_column(PyObject* data, std::optional<unsigned> places, PyObject* name_object,
                                                std::string_view name);

namespace {

std::optional<PyArrayTyped> intake_specified_column(PyObject* column, std::optional<std::uint64_t> decimal_places,
                                                    std::string_view column_name) {
    // Dispatch on the type's own name, so subclasses with other names are refused.
    PyRef type_name(PyType_GetName(Py_TYPE(column)));
    if (!type_name) return std::nullopt;
    if (PyUnicode_CompareWithASCIIString(type_name.get(), "list") == 0) {
        return intake_list(column, decimal_places, column_name);
    }
    if (PyUnicode_CompareWithASCIIString(type_name.get(), "ndarray") == 0) {
        return intake_array(column, decimal_places, column_name);
    }
    PyErr_Format(PyExc_ValueError, "unsupported data type: %U", type_name.get());
    return std::nullopt;
}

// The body of a datetime or integer column made now, or nullopt to leave the
// column to the frame's two passes (long varints, another type, or a datetime
// column that another thread changed meanwhile).
std::optional<vorl::Buffer<std::uint8_t>> body_of(const SeriesRef& series) {
    switch (vorl::series_type(series)) {
        case DataType::DateTime:
            return vorl::encode_datetime_body(std::get<vorl::index_of<DataType::DateTime>>(series));
        case DataType::Int64: return vorl::encode_short_varint_body(std::get<vorl::index_of<DataType::Int64>>(series));
        case DataType::Int32: return vorl::encode_short_varint_body(std::get<vorl::index_of<DataType::Int32>>(series));
        case DataType::UInt32:
            return vorl::encode_short_varint_body(std::get<vorl::index_of<DataType::UInt32>>(series));
        case DataType::UInt64:
            return vorl::encode_short_varint_body(std::get<vorl::index_of<DataType::UInt64>>(series));
        default: return std::nullopt;
    }
}

// Datetime columns, and integer columns of short varints, viewed in place or
// converted, are encoded as they are taken in: the body is written in one pass
// over the values, with no counting pass before it. A column left as it is
// goes to the frame's two passes, which make it from a private copy when they
// see its values change.
void encode_compact_now(PyArrayTyped& typed, bool release_lock_allowed) {
    const SeriesRef series = typed.view();
    constexpr std::array COMPACT = {DataType::DateTime, DataType::Int64, DataType::Int32, DataType::UInt32,
                                    DataType::UInt64};
    // Other columns have nothing to make now, and must not drop the lock for it.
    if (std::find(COMPACT.begin(), COMPACT.end(), vorl::series_type(series)) == COMPACT.end()) return;
    std::optional<vorl::Buffer<std::uint8_t>> body;
    maybe_without_lock(release_lock_allowed && typed.byte_estimate() >= RELEASE_LOCK_BYTES,
                       [&] { body = body_of(series); });
    if (body) typed.column = EncodedBody{vorl::series_type(series), std::move(*body)};
}

}  // namespace

std::optional<PyArrayTyped> intake_column(PyObject* column, const ColumnIntake& how) {
    std::optional<PyArrayTyped> typed;
    if (how.policy == IntakePolicy::Specified) {
        typed = intake_specified_column(column, how.decimal_places, how.name_text);
    } else {
        std::optional<unsigned> places;
        if (how.decimal_places) places = static_cast<unsigned>(*how.decimal_places);
        typed = intake_exact_column(column, places, how.name, how.name_text);
    }
    if (typed) encode_compact_now(*typed, how.policy == IntakePolicy::Exact);
    return typed;
}

std::variant<DateTimes, std::size_t> microseconds_of(std::span<const std::int64_t> values, vorl::TimeUnit unit) {
    DateTimes datetimes{vorl::Buffer<std::int64_t>::uninitialized(values.size())};
    vorl::advise_huge_pages(datetimes.micros.data(), values.size() * sizeof(std::int64_t));
    const std::size_t unfit = vorl::to_microseconds(values, unit, datetimes.micros.data());
    if (unfit != values.size()) return unfit;
    return datetimes;
}

std::variant<EncodedBody, std::size_t> decimals_of(std::span<const double> values, unsigned places, bool nan_refused,
                                                   bool release_lock) {
    return floats_as_decimals(values, places, nan_refused, release_lock);
}

std::variant<EncodedBody, std::size_t> decimals_of(std::span<const float> values, unsigned places, bool nan_refused,
                                                   bool release_lock) {
    return floats_as_decimals(values, places, nan_refused, release_lock);
}

}  // namespace pyvorl

#include "python/arrow_columns.hpp"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <optional>
#include <string_view>

#include "python/handle.hpp"
#include "python/large_layout.hpp"
#include "python/numpy_api.hpp"
#include "python/py_array_typed.hpp"
#include "python/value_error.hpp"

namespace pyvorl::arrow {
namespace {

constexpr std::uint64_t SMALL_OFFSETS_LIMIT = std::numeric_limits<std::int32_t>::max();

std::string row_label(const ColumnSpec& spec, std::int64_t row) {
    return column_label(spec.name) + " row " + std::to_string(row);
}

void raise_wrong_item(const ColumnSpec& spec, std::int64_t row, PyObject* item, const char* expected) {
    PyRef type_name(PyType_GetName(Py_TYPE(item)));
    Py_ssize_t size = 0;
    const char* name = type_name ? PyUnicode_AsUTF8AndSize(type_name.get(), &size) : nullptr;
    if (name == nullptr) return;
    PyRef message(PyUnicode_FromFormat("%s: %s is not %s", row_label(spec, row).c_str(), name, expected));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
}

// The validity bits of a column, read where they are needed; all rows are valid without them.
struct Validity {
    const std::uint8_t* bits = nullptr;
    bool valid(std::int64_t row) const noexcept { return bits == nullptr || ((bits[row >> 3] >> (row & 7)) & 1U) != 0; }
};

// A Python buffer the array keeps until it is released. nullptr with the error set.
const Py_buffer* hold_buffer(ArrayNode& node, PyObject* object) {
    auto view = std::make_unique<Py_buffer>();
    if (PyObject_GetBuffer(object, view.get(), PyBUF_C_CONTIGUOUS) != 0) return nullptr;
    node.views.push_back(std::move(view));
    return node.views.back().get();
}

// Adds the validity buffer (kept by reference) and gives the null count.
std::optional<std::int64_t> add_validity(const ColumnSpec& spec, std::int64_t rows, ArrayNode& node,
                                         Validity& validity) {
    if (spec.validity == nullptr) {
        node.buffers.push_back(nullptr);
        return 0;
    }
    const Py_buffer* view = hold_buffer(node, spec.validity);
    if (view == nullptr) return std::nullopt;
    const auto size = static_cast<std::uint64_t>(view->len);
    if (size != (static_cast<std::uint64_t>(rows) + 7) / 8) {
        raise_value_error(column_label(spec.name) + ": validity bitmap of " + std::to_string(size) + " bytes for " +
                          std::to_string(rows) + " rows");
        return std::nullopt;
    }
    const auto* bits = static_cast<const std::uint8_t*>(view->buf);
    std::int64_t valid = 0;
    for (std::uint64_t i = 0; i < size; ++i) {
        unsigned byte = bits[i];
        if (i + 1 == size && rows % 8 != 0) byte &= (1U << (rows % 8)) - 1U;  // bits past the last row
        valid += std::popcount(byte);
    }
    validity.bits = bits;
    node.buffers.push_back(bits);
    return rows - valid;
}

// A buffer of exactly rows * width bytes. nullptr with the error set.
const std::uint8_t* hold_rows(const ColumnSpec& spec, std::int64_t rows, std::uint64_t width, ArrayNode& node) {
    const Py_buffer* view = hold_buffer(node, spec.data);
    if (view == nullptr) return nullptr;
    if (static_cast<std::uint64_t>(view->len) != static_cast<std::uint64_t>(rows) * width) {
        raise_value_error(column_label(spec.name) + ": " + std::to_string(view->len) + " bytes of data for " +
                          std::to_string(rows) + " rows of " + std::to_string(width) + " bytes");
        return nullptr;
    }
    return rows == 0 ? static_cast<const std::uint8_t*>(empty_buffer()) : static_cast<const std::uint8_t*>(view->buf);
}

// The elements of a 1-D object array, or of a list.
struct Items {
    PyObject* list = nullptr;
    const char* base = nullptr;
    npy_intp stride = 0;
    std::int64_t count = 0;
    PyObject* at(std::int64_t row) const noexcept {
        if (list != nullptr) return PyList_GetItem(list, static_cast<Py_ssize_t>(row));
        PyObject* item = *reinterpret_cast<PyObject* const*>(base + row * stride);
        return item != nullptr ? item : Py_None;
    }
};

std::optional<Items> object_items(const ColumnSpec& spec, std::int64_t rows) {
    if (numpy_types() == nullptr) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(spec.data);
    if (!PyArray_Check(spec.data) || PyArray_NDIM(array) != 1 || PyArray_TYPE(array) != NPY_OBJECT ||
        PyArray_DIM(array, 0) != rows) {
        raise_value_error(column_label(spec.name) + ": texts must come as a 1-D object array of " +
                          std::to_string(rows) + " rows");
        return std::nullopt;
    }
    return Items{nullptr, static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0), rows};
}

bool is_binary(std::string_view format) { return format == "z" || format == "Z"; }
bool is_large(std::string_view format) { return format == "U" || format == "Z"; }

// The bytes of one text or byte string. Nothing, with the error set, for any other object.
std::optional<std::string_view> text_of(PyObject* item, bool binary, const ColumnSpec& spec, std::int64_t row) {
    if (binary && PyBytes_Check(item)) {
        return std::string_view(PyBytes_AsString(item), static_cast<std::size_t>(PyBytes_Size(item)));
    }
    if (!binary && PyUnicode_Check(item)) {
        Py_ssize_t size = 0;
        const char* data = PyUnicode_AsUTF8AndSize(item, &size);
        if (data == nullptr) {
            raise_unencodable(item, row_label(spec, row));
            return std::nullopt;
        }
        return std::string_view(data, static_cast<std::size_t>(size));
    }
    raise_wrong_item(spec, row, item, binary ? "bytes" : "a str");
    return std::nullopt;
}

// The size of all texts at valid rows (nulls hold nothing).
std::optional<std::uint64_t> text_bytes(const Items& items, Validity validity, bool binary, const ColumnSpec& spec) {
    std::uint64_t total = 0;
    for (std::int64_t row = 0; row < items.count; ++row) {
        if (!validity.valid(row)) continue;
        const auto text = text_of(items.at(row), binary, spec, row);
        if (!text) return std::nullopt;
        total += text->size();
    }
    return total;
}

template <class Offset>
void fill_texts(const Items& items, Validity validity, bool binary, const ColumnSpec& spec, Offset* offsets,
                std::uint8_t* data) {
    Offset end = 0;
    offsets[0] = 0;
    for (std::int64_t row = 0; row < items.count; ++row) {
        if (validity.valid(row)) {
            const std::string_view text = *text_of(items.at(row), binary, spec, row);  // measured already
            std::memcpy(data + end, text.data(), text.size());
            end += static_cast<Offset>(text.size());
        }
        offsets[row + 1] = end;
    }
}

// Offsets and data of the texts; the format widens to the large type when the data needs it.
bool add_texts(const ColumnSpec& spec, const Items& items, Validity validity, ArrayNode& node, std::string& format) {
    const bool binary = is_binary(format);
    const auto total = text_bytes(items, validity, binary, spec);
    if (!total) return false;
    if (!is_large(format) && *total > SMALL_OFFSETS_LIMIT) format = binary ? "Z" : "U";
    const auto count = static_cast<std::size_t>(items.count);
    std::uint8_t* data = *total == 0 ? nullptr : node.add_owned(*total);
    std::uint8_t* offsets = node.add_owned((count + 1) * (is_large(format) ? 8 : 4));
    if (is_large(format)) {
        fill_texts(items, validity, binary, spec, reinterpret_cast<std::int64_t*>(offsets), data);
    } else {
        fill_texts(items, validity, binary, spec, reinterpret_cast<std::int32_t*>(offsets), data);
    }
    node.buffers.push_back(offsets);
    node.buffers.push_back(data != nullptr ? data : empty_buffer());
    return true;
}

// Texts already in Arrow's large layout, held by the node. Their UTF-8 was checked when decoded.
struct LargeLayout {
    const std::int64_t* offsets;
    const std::uint8_t* data;
    std::uint64_t size;  // bytes of data the offsets reach
};

std::optional<LargeLayout> hold_large_layout(const ColumnSpec& spec, std::int64_t rows, ArrayNode& node) {
    const Py_buffer* offsets = hold_buffer(node, spec.data);
    const Py_buffer* data = offsets != nullptr ? hold_buffer(node, spec.extra) : nullptr;
    if (data == nullptr) return std::nullopt;
    const auto* positions = static_cast<const std::int64_t*>(offsets->buf);
    const auto count = static_cast<std::uint64_t>(rows) + 1;
    if (static_cast<std::uint64_t>(offsets->len) != count * 8 || offsets->itemsize != 8 ||
        !offsets_fit({positions, count}, static_cast<std::uint64_t>(data->len))) {
        raise_value_error(column_label(spec.name) + ": texts need " + std::to_string(count) +
                          " ascending int64 offsets inside their data");
        return std::nullopt;
    }
    const auto size = static_cast<std::uint64_t>(positions[rows]);
    const void* bytes = size == 0 ? empty_buffer() : data->buf;
    return LargeLayout{positions, static_cast<const std::uint8_t*>(bytes), size};
}

// The large offsets lent as they are, or narrowed into a copy when the format says so and
// the data allows it (else the format widens).
bool add_large_layout(const ColumnSpec& spec, std::int64_t rows, ArrayNode& node, std::string& format) {
    const auto layout = hold_large_layout(spec, rows, node);
    if (!layout) return false;
    if (!is_large(format) && layout->size > SMALL_OFFSETS_LIMIT) format = is_binary(format) ? "Z" : "U";
    if (is_large(format)) {
        node.buffers.push_back(layout->offsets);
    } else {
        auto* narrow = reinterpret_cast<std::int32_t*>(node.add_owned((static_cast<std::size_t>(rows) + 1) * 4));
        for (std::int64_t row = 0; row <= rows; ++row) narrow[row] = static_cast<std::int32_t>(layout->offsets[row]);
        node.buffers.push_back(narrow);
    }
    node.buffers.push_back(layout->data);
    return true;
}

// Writes the integral double `value` as a little-endian two's complement of `width` bytes.
void write_integer(double value, std::uint8_t* out, std::size_t width) {
    std::uint64_t limbs[4] = {};
    const std::size_t count = width / 8;
    double magnitude = std::fabs(value);
    for (std::size_t k = count; k-- > 0;) {
        const double scale = std::ldexp(1.0, static_cast<int>(64 * k));
        const double limb = std::floor(magnitude / scale);  // exact: the value has at most 53 significant bits
        limbs[k] = static_cast<std::uint64_t>(limb);
        magnitude -= limb * scale;
    }
    if (value < 0) {
        std::uint64_t carry = 1;
        for (std::size_t k = 0; k < count; ++k) {
            limbs[k] = ~limbs[k] + carry;
            carry = (carry != 0 && limbs[k] == 0) ? 1 : 0;
        }
    }
    std::memcpy(out, limbs, width);
}

struct DecimalShape {
    long scale;
    long precision;
    long width;
};

std::optional<DecimalShape> decimal_shape(const ColumnSpec& spec) {
    DecimalShape shape{};
    if (!PyTuple_Check(spec.extra) ||
        !PyArg_ParseTuple(spec.extra, "lll", &shape.scale, &shape.precision, &shape.width)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "decimal column needs (scale, precision, width)");
        return std::nullopt;
    }
    if (shape.scale < 0 || shape.scale > 15 || (shape.width != 16 && shape.width != 32) || shape.precision < 1 ||
        shape.precision > (shape.width == 16 ? 38 : 76)) {
        raise_value_error(column_label(spec.name) + ": no decimal type of this scale, precision and width");
        return std::nullopt;
    }
    return shape;
}

bool add_decimals(const ColumnSpec& spec, std::int64_t rows, Validity validity, ArrayNode& node) {
    const auto shape = decimal_shape(spec);
    if (!shape) return false;
    const std::uint8_t* source = hold_rows(spec, rows, 8, node);
    if (source == nullptr) return false;
    const auto width = static_cast<std::size_t>(shape->width);
    std::uint8_t* out = node.add_owned(static_cast<std::size_t>(rows) * width);
    const double factor = std::pow(10.0, static_cast<double>(shape->scale));
    const double limit = std::pow(10.0, static_cast<double>(shape->precision));
    for (std::int64_t row = 0; row < rows; ++row) {
        if (!validity.valid(row)) continue;  // zeros under nulls
        double value = 0;
        std::memcpy(&value, source + row * 8, 8);
        const double unscaled = std::nearbyint(value * factor);
        if (!(std::fabs(unscaled) < limit)) {
            PyRef shown(PyFloat_FromDouble(value));
            raise_value_error(row_label(spec, row) + ": " + (shown ? repr_text(shown.get()).value_or("?") : "?") +
                              " does not fit decimal(" + std::to_string(shape->precision) + ", " +
                              std::to_string(shape->scale) + ")");
            return false;
        }
        write_integer(unscaled, out + static_cast<std::size_t>(row) * width, width);
    }
    node.buffers.push_back(rows == 0 ? empty_buffer() : out);
    return true;
}

bool add_bits(const ColumnSpec& spec, std::int64_t rows, ArrayNode& node) {
    const std::uint8_t* source = hold_rows(spec, rows, 1, node);
    if (source == nullptr) return false;
    std::uint8_t* bits = node.add_owned((static_cast<std::size_t>(rows) + 7) / 8 + 1);
    for (std::int64_t row = 0; row < rows; ++row) {
        bits[row >> 3] |= static_cast<std::uint8_t>((source[row] != 0 ? 1U : 0U) << (row & 7));
    }
    node.buffers.push_back(bits);
    return true;
}

// The signed or unsigned width of a dictionary's index format.
std::optional<std::pair<int, bool>> index_type(std::string_view format) {
    static constexpr std::string_view SIGNED = "csil", UNSIGNED = "CSIL";
    if (format.size() != 1) return std::nullopt;
    if (const auto at = SIGNED.find(format[0]); at != std::string_view::npos) return std::pair{1 << at, true};
    if (const auto at = UNSIGNED.find(format[0]); at != std::string_view::npos) return std::pair{1 << at, false};
    return std::nullopt;
}

void write_index(std::uint8_t* out, std::uint64_t index, int width) {
    // Little-endian hosts: the low bytes of the index are the narrower integer.
    std::memcpy(out, &index, static_cast<std::size_t>(width));
}

// Indices into the categories (given, or the distinct values in order of first appearance),
// and the categories as the dictionary child.
bool add_dictionary(const ColumnSpec& spec, std::int64_t rows, Validity validity, ArrayNode& node,
                    FieldDescription& field) {
    PyObject* categories = nullptr;
    const char* value_format = nullptr;
    if (!PyTuple_Check(spec.extra) || !PyArg_ParseTuple(spec.extra, "Os", &categories, &value_format)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "dictionary column needs (categories, value format)");
        return false;
    }
    const auto index = index_type(field.format);
    if (!index || (categories != Py_None && !PyList_Check(categories))) {
        raise_value_error(column_label(spec.name) + ": no dictionary of index format " + field.format);
        return false;
    }
    const auto items = object_items(spec, rows);
    if (!items) return false;
    const std::uint64_t most = index->second
                                   ? (std::uint64_t{1} << (8 * index->first - 1))
                                   : (index->first == 8 ? ~std::uint64_t{0} : std::uint64_t{1} << (8 * index->first));
    PyRef positions(PyDict_New());
    PyRef found(categories == Py_None ? PyList_New(0) : PyRef::borrow(categories).release());
    if (!positions || !found) return false;
    const Py_ssize_t given = PyList_Size(found.get());
    for (Py_ssize_t i = 0; i < given; ++i) {
        PyRef position(PyLong_FromSsize_t(i));
        if (!position || PyDict_SetItem(positions.get(), PyList_GetItem(found.get(), i), position.get()) != 0) {
            return false;
        }
    }
    const int width = index->first;
    std::uint8_t* indices = node.add_owned(static_cast<std::size_t>(rows) * static_cast<std::size_t>(width));
    for (std::int64_t row = 0; row < rows; ++row) {
        if (!validity.valid(row)) continue;  // index 0 under nulls
        PyObject* value = items->at(row);
        if (!PyUnicode_Check(value)) {
            raise_wrong_item(spec, row, value, "a str");
            return false;
        }
        PyObject* position = PyDict_GetItemWithError(positions.get(), value);
        if (position == nullptr && PyErr_Occurred()) return false;
        std::uint64_t at = 0;
        if (position != nullptr) {
            at = PyLong_AsUnsignedLongLong(position);
        } else if (categories != Py_None) {
            raise_value_error(row_label(spec, row) + ": " + repr_text(value).value_or("?") +
                              " is not one of its categories");
            return false;
        } else {
            at = static_cast<std::uint64_t>(PyList_Size(found.get()));
            PyRef number(PyLong_FromUnsignedLongLong(at));
            if (!number || PyDict_SetItem(positions.get(), value, number.get()) != 0 ||
                PyList_Append(found.get(), value) != 0) {
                return false;
            }
        }
        write_index(indices + row * width, at, width);
    }
    if (static_cast<std::uint64_t>(PyList_Size(found.get())) > most) {
        raise_value_error(column_label(spec.name) + ": " + std::to_string(PyList_Size(found.get())) +
                          " categories do not fit index format " + field.format);
        return false;
    }
    node.buffers.push_back(rows == 0 ? empty_buffer() : indices);
    ArrowArray* dictionary = node.add_dictionary();
    const auto count = static_cast<std::int64_t>(PyList_Size(found.get()));
    ArrayNode* values = start_array(dictionary, count);
    values->buffers.push_back(nullptr);
    FieldDescription value_field{value_format, "", "", 0, {}, nullptr};
    if (!add_texts(spec, Items{found.get(), nullptr, 0, count}, Validity{}, *values, value_field.format)) return false;
    if (value_field.format != value_format) {  // the schema, made without the values, says the narrow type
        raise_value_error(column_label(spec.name) + ": categories of more than 2 GiB need a large value type");
        return false;
    }
    finish_array(dictionary, 0);
    field.dictionary = std::make_shared<const FieldDescription>(std::move(value_field));
    return true;
}

std::optional<std::uint64_t> fixed_width(const ColumnSpec& spec) {
    const long long width = PyLong_AsLongLong(spec.extra);
    if (width <= 0 || width > 32) {
        if (!PyErr_Occurred())
            raise_value_error(column_label(spec.name) + ": no fixed width of " + std::to_string(width));
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(width);
}

std::optional<std::int64_t> fill_column(const ColumnSpec& spec, std::int64_t rows, ArrayNode& node,
                                        FieldDescription& field) {
    Validity validity;
    const auto null_count = add_validity(spec, rows, node, validity);
    if (!null_count) return std::nullopt;
    bool filled = false;
    switch (spec.kind) {
        case ColumnKind::Fixed: {
            const auto width = fixed_width(spec);
            const std::uint8_t* data = width ? hold_rows(spec, rows, *width, node) : nullptr;
            if (data != nullptr) node.buffers.push_back(data);
            filled = data != nullptr;
            break;
        }
        case ColumnKind::Bits: filled = add_bits(spec, rows, node); break;
        case ColumnKind::Decimal: filled = add_decimals(spec, rows, validity, node); break;
        case ColumnKind::Texts: {
            const auto items = object_items(spec, rows);
            filled = items && add_texts(spec, *items, validity, node, field.format);
            break;
        }
        case ColumnKind::ArrowTexts: filled = add_large_layout(spec, rows, node, field.format); break;
        case ColumnKind::Dictionary: filled = add_dictionary(spec, rows, validity, node, field); break;
    }
    return filled ? null_count : std::nullopt;
}

std::optional<const char*> dictionary_value_format(const ColumnSpec& spec) {
    PyObject* categories = nullptr;
    const char* value_format = nullptr;
    if (!PyTuple_Check(spec.extra) || !PyArg_ParseTuple(spec.extra, "Os", &categories, &value_format)) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "dictionary column needs (categories, value format)");
        return std::nullopt;
    }
    return value_format;
}

}  // namespace

bool describe_column(const ColumnSpec& spec, std::int64_t rows, FieldDescription& field) {
    field = spec.field;
    if (spec.kind == ColumnKind::Texts && !is_large(field.format)) {
        // The offsets' width depends on the size of the data, which only the texts say.
        const auto items = object_items(spec, rows);
        if (!items) return false;
        ArrayNode scratch;
        Validity validity;
        const bool measured = add_validity(spec, rows, scratch, validity).has_value();
        const auto total = measured ? text_bytes(*items, validity, is_binary(field.format), spec) : std::nullopt;
        for (auto& view : scratch.views) PyBuffer_Release(view.get());
        scratch.views.clear();
        if (!total) return false;
        if (*total > SMALL_OFFSETS_LIMIT) field.format = is_binary(field.format) ? "Z" : "U";
    } else if (spec.kind == ColumnKind::ArrowTexts && !is_large(field.format)) {
        ArrayNode scratch;
        const auto layout = hold_large_layout(spec, rows, scratch);
        for (auto& view : scratch.views) PyBuffer_Release(view.get());
        scratch.views.clear();
        if (!layout) return false;
        if (layout->size > SMALL_OFFSETS_LIMIT) field.format = is_binary(field.format) ? "Z" : "U";
    } else if (spec.kind == ColumnKind::Dictionary) {
        const auto value_format = dictionary_value_format(spec);
        if (!value_format) return false;
        field.dictionary = std::make_shared<const FieldDescription>(FieldDescription{*value_format, "", "", 0, {}, {}});
    }
    return true;
}

bool build_column(const ColumnSpec& spec, std::int64_t rows, ArrowArray* out, FieldDescription& field) {
    field = spec.field;
    start_array(out, rows);
    try {
        const auto null_count = fill_column(spec, rows, *static_cast<ArrayNode*>(out->private_data), field);
        if (!null_count) {
            release_if_set(out);
            return false;
        }
        finish_array(out, *null_count);
    } catch (...) {
        release_if_set(out);
        throw;
    }
    return true;
}

}  // namespace pyvorl::arrow

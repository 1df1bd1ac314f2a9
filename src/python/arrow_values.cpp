#include "python/arrow_values.hpp"

#include <cmath>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "core/utf8.hpp"
#include "python/numpy_api.hpp"
#include "python/string_dtype.hpp"
#include "python/value_error.hpp"

namespace pyvorl {
namespace {

// Decimals of at most 15 significant digits each have a float64 of their own, from which the
// encoder takes back exactly that decimal; past them, neighbours can share one.
constexpr std::int64_t FLOAT64_DECIMAL_LIMIT = 1'000'000'000'000'000;

// Arrow's null rows, re-based to row 0: 1 = valid, the bits past the last row 0.
class NullMap {
public:
    explicit NullMap(std::uint64_t rows) : bits_((rows + 7) / 8, 0xFF), rows_(rows) {}
    void set_null(std::uint64_t row) noexcept {
        bits_[row / 8] = static_cast<std::uint8_t>(bits_[row / 8] & ~(1u << (row % 8)));
        any_ = true;
    }
    bool is_null(std::uint64_t row) const noexcept { return ((bits_[row / 8] >> (row % 8)) & 1u) == 0; }
    bool any() const noexcept { return any_; }
    void add(const ArrowPiece& piece, std::uint64_t first) noexcept {
        if (piece.validity == nullptr) return;
        for (std::uint64_t row = 0; row < piece.length; ++row) {
            if (!piece.is_valid(row)) set_null(first + row);
        }
    }
    PyRef bytes() {
        if (!any_) return PyRef::borrow(Py_None);
        if (rows_ % 8 != 0) bits_.back() = static_cast<std::uint8_t>(bits_.back() & ((1u << (rows_ % 8)) - 1));
        return PyRef(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bits_.data()),
                                               static_cast<Py_ssize_t>(bits_.size())));
    }

private:
    std::vector<std::uint8_t> bits_;
    std::uint64_t rows_;
    bool any_ = false;
};

PyArray_Descr* descr_of(const char* spelling) {
    PyRef text(PyUnicode_FromString(spelling));
    PyArray_Descr* descr = nullptr;
    if (!text || PyArray_DescrConverter(text.get(), &descr) != NPY_SUCCEED) return nullptr;
    return descr;
}

// A new, writable array of `rows` elements (the descriptor reference is stolen).
PyRef new_array(PyArray_Descr* descr, std::uint64_t rows) {
    if (descr == nullptr) return {};
    npy_intp dims[1] = {static_cast<npy_intp>(rows)};
    return PyRef(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
}

char* data_of(const PyRef& array) {
    return static_cast<char*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
}

// What stands under a null, as the bytes of one value: NaN for floats, NaT for date-times, else 0.
std::uint64_t fill_pattern(const ArrowColumnPlan& plan) {
    const std::string_view dtype = plan.dtype;
    if (dtype.starts_with("float")) {
        return plan.width == 2 ? 0x7E00u : plan.width == 4 ? 0x7FC00000u : 0x7FF8000000000000u;
    }
    if (dtype.starts_with("datetime") || dtype.starts_with("timedelta")) return 0x8000000000000000u;
    return 0;
}

bool fills_in_place(const ArrowPiece& piece, std::size_t width, std::uint64_t fill) {
    if (piece.validity == nullptr) return true;
    const std::uint8_t* values = piece.buffer(1);
    for (std::uint64_t row = 0; row < piece.length; ++row) {
        if (!piece.is_valid(row) && std::memcmp(values + (piece.offset + row) * width, &fill, width) != 0) return false;
    }
    return true;
}

// One batch whose buffer is aligned and already holds the fills is viewed; anything else copied once.
PyRef fixed_values(const ColumnInput& input, const NullMap& nulls) {
    const ArrowColumnPlan& plan = input.plan;
    const std::size_t width = plan.width;
    const std::uint64_t fill = fill_pattern(plan);
    if (input.keeper != nullptr) {
        const ArrowPiece& piece = input.pieces[0];
        const std::uint8_t* start = piece.buffer(1) == nullptr ? nullptr : piece.buffer(1) + piece.offset * width;
        if (start != nullptr && reinterpret_cast<std::uintptr_t>(start) % width == 0 &&
            fills_in_place(piece, width, fill)) {
            PyArray_Descr* descr = descr_of(plan.dtype);
            if (descr == nullptr) return {};
            npy_intp dims[1] = {static_cast<npy_intp>(piece.length)};
            PyRef view(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, const_cast<std::uint8_t*>(start),
                                            NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED, nullptr));
            if (!view) return {};
            Py_INCREF(input.keeper);
            if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(view.get()), input.keeper) != 0) return {};
            return view;
        }
    }
    PyRef array = new_array(descr_of(plan.dtype), input.rows);
    if (!array) return {};
    char* out = data_of(array);
    for (const ArrowPiece& piece : input.pieces) {
        if (piece.length > 0) std::memcpy(out, piece.buffer(1) + piece.offset * width, piece.length * width);
        out += piece.length * width;
    }
    out = data_of(array);
    for (std::uint64_t row = 0; row < input.rows; ++row) {
        if (nulls.is_null(row)) std::memcpy(out + row * width, &fill, width);
    }
    return array;
}

// date32 and time32: int32 counts as the int64 ticks of the same unit.
PyRef widened_values(const ColumnInput& input) {
    PyRef array = new_array(descr_of(input.plan.dtype), input.rows);
    if (!array) return {};
    auto* out = reinterpret_cast<std::int64_t*>(data_of(array));
    for (const ArrowPiece& piece : input.pieces) {
        for (std::uint64_t row = 0; row < piece.length; ++row) {
            std::int32_t value;
            std::memcpy(&value, piece.buffer(1) + (piece.offset + row) * 4, 4);
            *out++ = piece.is_valid(row) ? value : std::numeric_limits<std::int64_t>::min();
        }
    }
    return array;
}

PyRef bool_values(const ColumnInput& input) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    PyRef array = new_array(new_descr_reference(types->boolean), input.rows);
    if (!array) return {};
    auto* out = reinterpret_cast<npy_bool*>(data_of(array));
    for (const ArrowPiece& piece : input.pieces) {
        const std::uint8_t* bits = piece.buffer(1);
        for (std::uint64_t row = 0; row < piece.length; ++row) {
            const std::uint64_t bit = piece.offset + row;
            *out++ = piece.is_valid(row) && ((bits[bit / 8] >> (bit % 8)) & 1u) != 0 ? 1 : 0;
        }
    }
    return array;
}

// The unscaled value, when it is below 10**15 in magnitude (the words above the first are then
// its sign extension).
bool small_unscaled(const std::uint8_t* value, std::size_t width, std::int64_t& out) {
    if (width == 4) {
        std::int32_t small;
        std::memcpy(&small, value, 4);
        out = small;
        return true;
    }
    std::memcpy(&out, value, 8);
    const std::uint64_t sign = out < 0 ? ~std::uint64_t{0} : 0;
    for (std::size_t word = 8; word < width; word += 8) {
        std::uint64_t high;
        std::memcpy(&high, value + word, 8);
        if (high != sign) return false;
    }
    return out > -FLOAT64_DECIMAL_LIMIT && out < FLOAT64_DECIMAL_LIMIT;
}

PyRef decimal_values(const ColumnInput& input, std::string& refusal) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    PyRef array = new_array(new_descr_reference(types->float64), input.rows);
    if (!array) return {};
    auto* out = reinterpret_cast<double*>(data_of(array));
    const double scale = std::pow(10.0, input.plan.scale);  // exact: at most 10**15
    const std::size_t width = input.plan.width;
    std::uint64_t first = 0;
    for (const ArrowPiece& piece : input.pieces) {
        for (std::uint64_t row = 0; row < piece.length; ++row) {
            std::int64_t unscaled = 0;
            if (piece.is_valid(row) &&
                !small_unscaled(piece.buffer(1) + (piece.offset + row) * width, width, unscaled)) {
                refusal = arrow_type_name(input.field) + ": the value at row " + std::to_string(first + row) +
                          " has 10**15 units or more: past 15 digits";
                return PyRef::borrow(Py_None);
            }
            *out++ = static_cast<double>(unscaled) / scale;
        }
        first += piece.length;
    }
    return array;
}

bool check_utf8(const ColumnInput& input, std::string_view text, std::uint64_t row) {
    const auto error = vorl::validate_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
    if (!error) return true;
    raise_value_error(input.label + " row " + std::to_string(row) + ": the text is not UTF-8 (from byte " +
                      std::to_string(error->valid_up_to) + ")");
    return false;
}

bool collect_slices(const ColumnInput& input, ArrowLayout layout, std::uint8_t width,
                    std::vector<std::string_view>& texts) {
    texts.reserve(input.rows);
    for (std::size_t b = 0; b < input.pieces.size(); ++b) {
        if (const auto fault = piece_slices(input.pieces[b], layout, width, texts)) {
            raise_value_error(input.label + ": Arrow batch " + std::to_string(b) + ": " + *fault);
            return false;
        }
    }
    return true;
}

PyRef text_values(const ColumnInput& input) {
    std::vector<std::string_view> texts;
    if (!collect_slices(input, input.plan.layout, input.plan.width, texts)) return {};
    for (std::uint64_t row = 0; row < texts.size(); ++row) {
        if (!check_utf8(input, texts[row], row)) return {};
    }
    return string_dtype_array(texts, false);
}

PyRef bytes_values(const ColumnInput& input) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    const ArrowLayout layout =
        input.plan.layout == ArrowLayout::BytesView ? ArrowLayout::BytesView : ArrowLayout::Bytes;
    std::vector<std::string_view> slices;
    if (!collect_slices(input, layout, input.plan.width, slices)) return {};
    PyRef array = new_array(new_descr_reference(types->object), input.rows);
    if (!array) return {};
    auto** slots = reinterpret_cast<PyObject**>(data_of(array));
    for (std::uint64_t row = 0; row < slices.size(); ++row) {
        PyObject* item = PyBytes_FromStringAndSize(slices[row].data(), static_cast<Py_ssize_t>(slices[row].size()));
        if (item == nullptr) return {};
        PyObject* old = slots[row];
        slots[row] = item;
        Py_XDECREF(old);
    }
    return array;
}

struct Dictionary {
    std::vector<std::string_view> values;
    ArrowPiece piece;
};

bool read_dictionary(const ColumnInput& input, const ArrowPiece& indexes, std::size_t batch, Dictionary& out) {
    const ArrowArray* values = indexes.array->dictionary;
    const std::string where = input.label + ": Arrow batch " + std::to_string(batch) + ": dictionary: ";
    const std::uint64_t length = values->length < 0 ? 0 : static_cast<std::uint64_t>(values->length);
    if (auto fault = make_piece(values, 0, length, input.plan.values, out.piece)) {
        raise_value_error(where + *fault);
        return false;
    }
    if (auto fault = piece_slices(out.piece, input.plan.values, input.plan.values_width, out.values)) {
        raise_value_error(where + *fault);
        return false;
    }
    for (std::size_t i = 0; i < out.values.size(); ++i) {
        const auto error =
            vorl::validate_utf8(reinterpret_cast<const std::uint8_t*>(out.values[i].data()), out.values[i].size());
        if (error) {
            raise_value_error(where + "value " + std::to_string(i) + " is not UTF-8");
            return false;
        }
    }
    return true;
}

PyRef categories_list(const std::vector<std::string_view>& categories) {
    PyRef list(PyList_New(static_cast<Py_ssize_t>(categories.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < categories.size(); ++i) {
        PyObject* text =
            PyUnicode_DecodeUTF8(categories[i].data(), static_cast<Py_ssize_t>(categories[i].size()), "strict");
        if (text == nullptr) return {};
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), text);
    }
    return list;
}

// The texts the indexes point at; the categories are every batch's dictionary values in the
// order they first appear (one dictionary, in its order, when all batches share it).
PyRef dictionary_values(const ColumnInput& input, NullMap& nulls, PyRef& dictionary) {
    std::vector<std::string_view> texts;
    texts.reserve(input.rows);
    std::vector<std::string_view> categories;
    std::unordered_map<std::string_view, std::size_t> seen;
    std::uint64_t first = 0;
    for (std::size_t b = 0; b < input.pieces.size(); ++b) {
        const ArrowPiece& piece = input.pieces[b];
        Dictionary values;
        if (!read_dictionary(input, piece, b, values)) return {};
        for (std::size_t i = 0; i < values.values.size(); ++i) {
            if (values.piece.is_valid(i) && seen.emplace(values.values[i], categories.size()).second) {
                categories.push_back(values.values[i]);
            }
        }
        for (std::uint64_t row = 0; row < piece.length; ++row) {
            if (!piece.is_valid(row)) {
                texts.emplace_back();
                continue;
            }
            const std::int64_t index = piece_index(piece, input.plan.width, input.plan.is_signed, row);
            if (index < 0 || static_cast<std::uint64_t>(index) >= values.values.size()) {
                raise_value_error(input.label + " row " + std::to_string(first + row) + ": index " +
                                  std::to_string(index) + " is outside its dictionary of " +
                                  std::to_string(values.values.size()) + " values");
                return {};
            }
            if (!values.piece.is_valid(static_cast<std::uint64_t>(index))) nulls.set_null(first + row);
            texts.push_back(values.values[static_cast<std::size_t>(index)]);
        }
        first += piece.length;
        // The texts point into this batch's dictionary, which lives as long as the batch.
    }
    PyRef list = categories_list(categories);
    if (!list) return {};
    dictionary = PyRef(Py_BuildValue("(sO)", input.field.dictionary->format, list.get()));
    if (!dictionary) return {};
    return string_dtype_array(texts, false);
}

}  // namespace

bool column_values(const ColumnInput& input, ColumnOutput& output) {
    if (numpy_types() == nullptr) return false;
    NullMap nulls(input.rows);
    std::uint64_t first = 0;
    for (const ArrowPiece& piece : input.pieces) {
        nulls.add(piece, first);
        first += piece.length;
    }
    output.dictionary = PyRef::borrow(Py_None);
    switch (input.plan.layout) {
        case ArrowLayout::Fixed: output.values = fixed_values(input, nulls); break;
        case ArrowLayout::Widened: output.values = widened_values(input); break;
        case ArrowLayout::Bool: output.values = bool_values(input); break;
        case ArrowLayout::Decimal: output.values = decimal_values(input, output.refusal); break;
        case ArrowLayout::Text:
        case ArrowLayout::TextView: output.values = text_values(input); break;
        case ArrowLayout::Bytes:
        case ArrowLayout::BytesView: output.values = bytes_values(input); break;
        case ArrowLayout::Dictionary: output.values = dictionary_values(input, nulls, output.dictionary); break;
        case ArrowLayout::Refused: break;
    }
    if (!output.values) return false;
    output.validity = nulls.bytes();
    return static_cast<bool>(output.validity);
}

}  // namespace pyvorl

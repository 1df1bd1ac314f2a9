#include <cmath>
#include <string>

#include "core/d64_columns.hpp"
#include "core/datetime_units.hpp"
#include "core/decimal.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/dtype_routes.hpp"
#include "python/numpy_api.hpp"
#include "python/py_array_typed.hpp"
#include "python/value_error.hpp"
#include "python/without_lock.hpp"

// The exact intake, for dumps: every dtype as dtype_routes.hpp routes it,
// decimals that must fit exactly, and errors that name the column and row.
namespace pyvorl {
namespace {

using vorl::DataType;

std::string dtype_text(PyArray_Descr* descr) {
    PyRef text(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
    const auto view = text ? utf8_view(text.get()) : std::nullopt;
    return view ? std::string(*view) : std::string("?");
}

PyArrayTyped viewed(PyRef array, DataType type) {
    auto* data = reinterpret_cast<PyArrayObject*>(array.get());
    const auto length = static_cast<std::size_t>(PyArray_DIM(data, 0));
    const void* values = PyArray_DATA(data);
    return PyArrayTyped{ViewedArray{type, std::move(array), values, length, {}}};
}

// Datetimes in any other fixed unit as microseconds when every value converts exactly
// (nanoseconds that are whole microseconds, seconds and milliseconds whose
// microseconds fit int64); otherwise their ticks, as an Int64 column.
PyArrayTyped datetimes(PyRef array, const DtypeRoute& route) {
    const auto* data = static_cast<const std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())));
    const auto length = static_cast<std::size_t>(PyArray_DIM(reinterpret_cast<PyArrayObject*>(array.get()), 0));
    const vorl::TimeUnit unit = unit_of(route);
    bool exact = true;
    if (unit == vorl::TimeUnit::Nanosecond) {
        for (std::size_t i = 0; i < length && exact; ++i) exact = data[i] == vorl::NOT_A_TIME || data[i] % 1000 == 0;
    }
    if (exact) {
        auto micros = microseconds_of({data, length}, unit);
        if (auto* made = std::get_if<DateTimes>(&micros)) return PyArrayTyped{std::move(*made)};
    }
    return viewed(std::move(array), DataType::Int64);
}

// The elements of a list or of a 1-D contiguous object array, borrowed. Nothing
// that reads them runs Python code, so neither can change during the walk.
class Items {
public:
    explicit Items(PyObject* data) {
        if (PyList_Check(data)) {
            list_ = data;
            length_ = static_cast<std::size_t>(PyList_Size(data));
        } else {
            auto* array = reinterpret_cast<PyArrayObject*>(data);
            objects_ = static_cast<PyObject* const*>(PyArray_DATA(array));
            length_ = static_cast<std::size_t>(PyArray_DIM(array, 0));
        }
    }
    std::size_t size() const noexcept { return length_; }
    // NumPy reads a NULL element of an object array as None.
    PyObject* operator[](std::size_t i) const noexcept {
        if (list_ != nullptr) return PyList_GetItem(list_, static_cast<Py_ssize_t>(i));
        return objects_[i] != nullptr ? objects_[i] : Py_None;
    }

private:
    PyObject* list_ = nullptr;
    PyObject* const* objects_ = nullptr;
    std::size_t length_ = 0;
};

// Decimal texts at `places`: every text must be a finite decimal with at most
// that many places, so nothing is rounded or dropped on the way.
// A plain decimal text: a sign or none, then digits with at most one point
// among or around them, and at least one digit. Nothing else (exponents,
// spaces, "nan") is taken for a number.
bool plain_decimal(std::string_view text) {
    std::size_t i = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
    bool digit = false, point = false;
    for (; i < text.size(); ++i) {
        if (text[i] >= '0' && text[i] <= '9') {
            digit = true;
        } else if (text[i] == '.' && !point) {
            point = true;
        } else {
            return false;
        }
    }
    return digit;
}

std::optional<PyArrayTyped> decimal_texts(const Items& items, unsigned places, PyObject* name) {
    const std::size_t length = items.size();
    Decimals decimals{vorl::Buffer<vorl::D64>::uninitialized(length)};
    for (std::size_t i = 0; i < length; ++i) {
        PyObject* item = items[i];
        std::optional<std::string_view> text;
        if (PyUnicode_Check(item)) {
            text = utf8_view(item);
            if (!text) PyErr_Clear();  // a text that UTF-8 cannot hold is not a decimal either
        }
        auto parsed = text && plain_decimal(*text) ? vorl::parse_d64(*text) : vorl::parse_d64("x");
        std::string problem;
        if (!parsed || parsed->is_special()) {
            problem = "is not a finite decimal";
        } else if (parsed->scale() > places) {
            problem = "has more than " + std::to_string(places) + (places == 1 ? " decimal place" : " decimal places");
        } else if (!vorl::set_decimal(parsed.value(), places)) {
            problem = "does not fit a decimal with " + std::to_string(places) + " places";
        }
        if (!problem.empty()) {
            raise_value_error(column_label(name) + " row " + std::to_string(i) + ": " + repr_text(item).value_or("?") +
                              " " + problem);
            return std::nullopt;
        }
        decimals.values[i] = parsed.value();
    }
    return PyArrayTyped{std::move(decimals)};
}

// float16 values as float64 for the decimal conversion. Where exactly one
// decimal with `places` places rounds to a value in float16's own precision,
// that decimal's nearest double (which the conversion reads as that decimal);
// elsewhere the value itself, which the conversion truncates.
PyRef halves_as_meant(PyArrayObject* halves, unsigned places) {
    const NumpyTypes* types = numpy_types();
    PyRef values(PyArray_CastToType(halves, new_descr_reference(types->float64), 0));
    if (!values) return {};
    auto* exact = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(values.get())));
    const npy_intp length = PyArray_DIM(halves, 0);
    const double scale = std::pow(10.0, places);
    // The nearest decimal and its two neighbours, each as float16 again.
    npy_intp dims[1] = {3 * length};
    PyRef candidates(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(types->float64), 1, dims, nullptr, nullptr,
                                          0, nullptr));
    if (!candidates) return {};
    auto* decimal = static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(candidates.get())));
    for (npy_intp i = 0; i < length; ++i) {
        const double nearest = std::nearbyint(exact[i] * scale);
        for (npy_intp k = 0; k < 3; ++k) decimal[3 * i + k] = (nearest + static_cast<double>(k - 1)) / scale;
    }
    PyRef rounded(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(candidates.get()),
                                     new_descr_reference(PyArray_DESCR(halves)), 0));
    if (!rounded) return {};
    const auto* half = static_cast<const std::uint16_t*>(PyArray_DATA(halves));
    const auto* back = static_cast<const std::uint16_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(rounded.get())));
    for (npy_intp i = 0; i < length; ++i) {
        int hits = 0;
        for (npy_intp k = 0; k < 3; ++k) hits += back[3 * i + k] == half[i] ? 1 : 0;
        if (hits == 1 && back[3 * i + 1] == half[i] && std::isfinite(exact[i])) exact[i] = decimal[3 * i + 1];
    }
    return values;
}

// Float decimals: the decimal that was meant, or the row that has none.
std::optional<PyArrayTyped> float_decimals(PyRef& array, unsigned places, PyObject* name) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return std::nullopt;
    auto* data = reinterpret_cast<PyArrayObject*>(array.get());
    const bool single = PyArray_EquivTypes(PyArray_DESCR(data), types->float32);
    if (!single && !PyArray_EquivTypes(PyArray_DESCR(data), types->float64)) {
        // float16 as meant in its own precision; wider floats as float64.
        array = PyDataType_ELSIZE(PyArray_DESCR(data)) == 2
                    ? halves_as_meant(data, places)
                    : PyRef(PyArray_CastToType(data, new_descr_reference(types->float64), 0));
        if (!array) return std::nullopt;
        data = reinterpret_cast<PyArrayObject*>(array.get());
    }
    const auto length = static_cast<std::size_t>(PyArray_DIM(data, 0));
    const auto* doubles = static_cast<const double*>(PyArray_DATA(data));
    const auto* floats = static_cast<const float*>(PyArray_DATA(data));
    // A decimal has no NaN: refused, where the conversion would give zero.
    const bool release_lock = length * sizeof(double) >= RELEASE_LOCK_BYTES;
    auto decimals = single ? decimals_of({floats, length}, places, true, release_lock)
                           : decimals_of({doubles, length}, places, true, release_lock);
    if (auto* made = std::get_if<EncodedBody>(&decimals)) return PyArrayTyped{std::move(*made)};
    const std::size_t stored = std::get<std::size_t>(decimals);
    const double bad = single ? static_cast<double>(floats[stored]) : doubles[stored];
    PyRef number(PyFloat_FromDouble(bad));
    const auto shown = number ? repr_text(number.get()) : std::nullopt;
    if (!shown) return std::nullopt;
    raise_value_error(column_label(name) + " row " + std::to_string(stored) + ": " + *shown +
                      (std::isfinite(bad) ? " does not fit a decimal with " + std::to_string(places) + " places"
                                          : std::string(" cannot be stored as a decimal")));
    return std::nullopt;
}

// The column of `data` (a 1-D array) as dumps stores it: the route of its
// dtype, decimals where `places` is given, texts and byte strings. Sets
// `recorded` to the dtype's name when the column type does not say it.
std::optional<PyArrayTyped> exact_column(PyRef& array, std::optional<unsigned> places, std::string_view name,
                                         PyObject* name_object, const char*& recorded) {
    auto* data = reinterpret_cast<PyArrayObject*>(array.get());
    PyArray_Descr* descr = PyArray_DESCR(data);
    const char kind = descr->kind;
    const TextRows rows{name};
    const bool texts = kind == 'O' || kind == 'U' || kind == 'T';
    if (kind == 'T' && !places) return intake_string_dtype(array.get(), rows);
    if (texts && kind != 'O') {
        // NumPy's fixed-width and variable-width strings, as the str they hold.
        PyRef list(PyObject_CallMethod(array.get(), "tolist", nullptr));
        if (!list) return std::nullopt;
        array = std::move(list);
    }
    if (places) {
        if (kind == 'f') {
            // Floats wider than float64 are stored from float64, and come back so.
            const DtypeRoute* route = stores_decimals(descr) ? route_of(descr) : nullptr;
            if (route == nullptr)
                recorded = "longdouble";
            else if (route->column != DataType::Float64)
                recorded = route->name;
            return float_decimals(array, *places, name_object);
        }
        if (texts) return decimal_texts(Items(array.get()), *places, name_object);
        raise_value_error(column_label(name_object) + ": decimals apply to float and text columns, not " +
                          dtype_text(descr));
        return std::nullopt;
    }
    if (kind == 'U' || kind == 'T') return intake_text_list(array.get(), &rows);
    if (kind == 'O') {
        const Items items(array.get());
        auto* objects = static_cast<PyObject* const*>(PyArray_DATA(data));
        if (items.size() != 0 && PyBytes_Check(items[0])) return intake_byte_objects(objects, items.size(), rows);
        return intake_text_objects(objects, items.size(), &rows);
    }
    const DtypeRoute* route = route_of(descr);
    if (route == nullptr) {
        if (PyErr_Occurred() == nullptr) {
            raise_value_error(column_label(name_object) + ": unsupported dtype " + dtype_text(descr));
        }
        return std::nullopt;
    }
    switch (route->carriage) {
        case Carriage::AsIs: return viewed(PyRef::borrow(array.get()), route->column);
        case Carriage::Widened: {
            recorded = route->name;
            array = PyRef(PyArray_CastToType(data, new_descr_reference(widened_descr(*route)), 0));
            if (!array) return std::nullopt;
            return viewed(PyRef::borrow(array.get()), route->column);
        }
        case Carriage::Microseconds: recorded = route->name; return datetimes(PyRef::borrow(array.get()), *route);
        case Carriage::Ticks: recorded = route->name; return viewed(PyRef::borrow(array.get()), DataType::Int64);
    }
    return std::nullopt;
}

}  // namespace

std::string column_label(PyObject* name) { return "column " + repr_text(name).value_or("?"); }

std::optional<PyArrayTyped> intake_exact_column(PyObject* data, std::optional<unsigned> places, PyObject* name_object,
                                                std::string_view name) {
    if (!PyArray_Check(data)) {
        raise_type_mismatch(data, "ndarray");
        return std::nullopt;
    }
    // Native byte order, aligned and contiguous: a copy only where the array is
    // not. (Asked for no dtype, NumPy would keep a swapped one as it is.)
    PyArray_Descr* descr = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(data));
    PyArray_Descr* native = PyArray_ISNBO(descr->byteorder) ? nullptr : PyArray_DescrNewByteorder(descr, NPY_NATIVE);
    constexpr int LAYOUT = NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_NOTSWAPPED;
    PyRef array(PyArray_FromAny(data, native, 1, 1, LAYOUT, nullptr));  // takes `native`
    if (!array) return std::nullopt;
    const char* recorded = nullptr;
    auto typed = exact_column(array, places, name, name_object, recorded);
    if (!typed) return std::nullopt;
    typed->source = std::move(array);
    typed->recorded_dtype = recorded;
    return typed;
}

}  // namespace pyvorl

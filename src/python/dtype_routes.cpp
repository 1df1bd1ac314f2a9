#include "python/dtype_routes.hpp"

#include <array>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>

#include "python/convert.hpp"
#include "python/value_error.hpp"

namespace pyvorl {
namespace {

using vorl::DataType;

constexpr DtypeRoute ROUTES[] = {
    {"bool", 'b', 1, DataType::Bool, Carriage::AsIs},
    {"int8", 'i', 1, DataType::Int32, Carriage::Widened},
    {"int16", 'i', 2, DataType::Int32, Carriage::Widened},
    {"int32", 'i', 4, DataType::Int32, Carriage::AsIs},
    {"int64", 'i', 8, DataType::Int64, Carriage::AsIs},
    {"uint8", 'u', 1, DataType::UInt32, Carriage::Widened},
    {"uint16", 'u', 2, DataType::UInt32, Carriage::Widened},
    {"uint32", 'u', 4, DataType::UInt32, Carriage::AsIs},
    {"uint64", 'u', 8, DataType::UInt64, Carriage::AsIs},
    {"float16", 'f', 2, DataType::Float32, Carriage::Widened},
    {"float32", 'f', 4, DataType::Float32, Carriage::AsIs},
    {"float64", 'f', 8, DataType::Float64, Carriage::AsIs},
    {"datetime64[us]", 'M', 8, DataType::DateTime, Carriage::AsIs},
    {"datetime64[s]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"datetime64[ms]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"datetime64[ns]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"datetime64[m]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"datetime64[h]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"datetime64[D]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"datetime64[W]", 'M', 8, DataType::DateTime, Carriage::Microseconds},
    {"timedelta64[s]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[ms]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[us]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[ns]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[m]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[h]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[D]", 'm', 8, DataType::Int64, Carriage::Ticks},
    {"timedelta64[W]", 'm', 8, DataType::Int64, Carriage::Ticks},
};
constexpr std::size_t ROUTE_COUNT = std::size(ROUTES);

PyArray_Descr* descr_named(const char* name) {
    PyRef text(PyUnicode_FromString(name));
    PyArray_Descr* descr = nullptr;
    if (!text || PyArray_DescrConverter(text.get(), &descr) != NPY_SUCCEED) return nullptr;
    return descr;
}

// The descriptors of ROUTES, made on first use (with the interpreter lock
// held) and kept for the process.
const std::array<PyArray_Descr*, ROUTE_COUNT>* route_descrs() {
    static std::array<PyArray_Descr*, ROUTE_COUNT> descrs{};
    static bool ready = false;
    if (ready) return &descrs;
    if (numpy_types() == nullptr) return nullptr;
    for (std::size_t i = 0; i < ROUTE_COUNT; ++i) {
        if (descrs[i] == nullptr && (descrs[i] = descr_named(ROUTES[i].name)) == nullptr) return nullptr;
    }
    ready = true;
    return &descrs;
}

// Only names of the shape dumps writes ("int8", "datetime64[ns]") reach
// NumPy's parser, which takes far more (and some of it slowly).
bool dtype_shaped(std::string_view name) {
    std::size_t i = 0;
    const auto take = [&](auto accepts) {
        const std::size_t start = i;
        while (i < name.size() && accepts(name[i])) ++i;
        return i > start;
    };
    if (!take([](char c) { return c >= 'a' && c <= 'z'; })) return false;
    take([](char c) { return c >= '0' && c <= '9'; });
    if (i == name.size()) return true;
    if (name[i++] != '[' || !take([](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); })) {
        return false;
    }
    return i + 1 == name.size() && name[i] == ']';
}

// repr() of a value from a frame, cut short so that a hostile frame cannot flood an error line.
std::string shown(PyObject* value) {
    std::string text = repr_text(value).value_or("?");
    if (text.size() > 60) text = text.substr(0, 57) + "...";
    return text;
}

void raise_damaged_record(std::string_view column, PyObject* recorded, const std::string& why) {
    PyErr_Clear();
    PyRef name(PyUnicode_FromStringAndSize(column.data(), static_cast<Py_ssize_t>(column.size())));
    raise_value_error("column " + (name ? repr_text(name.get()).value_or("?") : std::string("?")) + ": '" +
                      std::string(DTYPE_KEY) + "' is " + shown(recorded) + ", which " + why);
}

PyRef cast(const PyRef& array, PyArray_Descr* descr) {
    return PyRef(PyArray_CastToType(reinterpret_cast<PyArrayObject*>(array.get()), new_descr_reference(descr), 0));
}

PyArrayObject* as_array(const PyRef& array) { return reinterpret_cast<PyArrayObject*>(array.get()); }

// `array` cast to `descr` when no value is lost: cast back, every value is
// what it was (for the floats of a decimal column, which are rounded on
// purpose: no finite value became infinite). Otherwise `lost` is set.
PyRef cast_without_loss(const PyRef& array, PyArray_Descr* descr, bool rounds, bool& lost) {
    PyRef narrowed = cast(array, descr);
    if (!narrowed) return {};
    PyRef back = cast(narrowed, PyArray_DESCR(as_array(array)));
    if (!back) return {};
    const auto size = static_cast<std::size_t>(PyArray_NBYTES(as_array(array)));
    if (!rounds) {
        lost = size != 0 && std::memcmp(PyArray_DATA(as_array(array)), PyArray_DATA(as_array(back)), size) != 0;
    } else {
        const auto* was = static_cast<const double*>(PyArray_DATA(as_array(array)));
        const auto* now = static_cast<const double*>(PyArray_DATA(as_array(back)));
        for (std::size_t i = 0; i < size / sizeof(double) && !lost; ++i)
            lost = std::isfinite(was[i]) != std::isfinite(now[i]);
    }
    return narrowed;
}

// Datetimes in microseconds brought to the unit of `route`, NaT kept, in one pass (NumPy's
// casts of date-times convert value by value); `lost` when a value does not convert exactly.
PyRef micros_to_unit(const PyRef& array, PyArray_Descr* descr, const DtypeRoute& route, bool& lost) {
    auto* from = reinterpret_cast<PyArrayObject*>(array.get());
    npy_intp dims[1] = {PyArray_DIM(from, 0)};
    PyRef out(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(descr), 1, dims, nullptr, nullptr, 0, nullptr));
    if (!out) return {};
    const auto* in = static_cast<const std::int64_t*>(PyArray_DATA(from));
    auto* to = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(out.get())));
    const std::int64_t micros = vorl::micros_per_tick(unit_of(route));
    constexpr std::int64_t NANOS_LIMIT = std::numeric_limits<std::int64_t>::max() / 1000;
    for (npy_intp i = 0; i < dims[0] && !lost; ++i) {
        const std::int64_t value = in[i];
        if (value == vorl::NOT_A_TIME) {
            to[i] = vorl::NOT_A_TIME;
        } else if (micros == 0) {
            lost = value > NANOS_LIMIT || value < -NANOS_LIMIT;
            to[i] = lost ? 0 : value * 1000;
        } else {
            lost = value % micros != 0;
            to[i] = value / micros;
        }
    }
    return out;
}

}  // namespace

const DtypeRoute* route_of(PyArray_Descr* descr) {
    // Numbers are told apart by kind and size alone (NumPy has two names for
    // int64 on some platforms); date-times need their unit compared too.
    const char kind = descr->kind;
    if (kind != 'M' && kind != 'm') {
        if (descr->byteorder == '>' || (kind != 'b' && kind != 'i' && kind != 'u' && kind != 'f')) return nullptr;
        const auto size = static_cast<std::size_t>(PyDataType_ELSIZE(descr));
        for (const DtypeRoute& route : ROUTES) {
            if (route.kind == kind && route.size == size) return &route;
        }
        return nullptr;
    }
    const auto* descrs = route_descrs();
    if (descrs == nullptr) return nullptr;
    for (std::size_t i = 0; i < ROUTE_COUNT; ++i) {
        if (ROUTES[i].kind == kind && PyArray_EquivTypes(descr, (*descrs)[i])) return &ROUTES[i];
    }
    return nullptr;
}

vorl::TimeUnit unit_of(const DtypeRoute& route) {
    const std::string_view name = route.name;
    if (name.ends_with("[s]")) return vorl::TimeUnit::Second;
    if (name.ends_with("[ms]")) return vorl::TimeUnit::Millisecond;
    if (name.ends_with("[ns]")) return vorl::TimeUnit::Nanosecond;
    if (name.ends_with("[m]")) return vorl::TimeUnit::Minute;
    if (name.ends_with("[h]")) return vorl::TimeUnit::Hour;
    if (name.ends_with("[D]")) return vorl::TimeUnit::Day;
    if (name.ends_with("[W]")) return vorl::TimeUnit::Week;
    return vorl::TimeUnit::Microsecond;
}

PyArray_Descr* widened_descr(const DtypeRoute& route) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return nullptr;
    switch (route.column) {
        case DataType::Int32: return types->int32;
        case DataType::UInt32: return types->uint32;
        default: return types->float32;
    }
}

bool stores_decimals(PyArray_Descr* descr) {
    const DtypeRoute* route = route_of(descr);
    return route != nullptr && (route->column == DataType::Float32 || route->column == DataType::Float64);
}

PyRef restore_recorded_dtype(PyRef array, PyObject* recorded, std::string_view column) {
    const auto name = PyUnicode_Check(recorded) ? utf8_view(recorded) : std::nullopt;
    PyErr_Clear();
    PyArray_Descr* parsed = nullptr;
    if (!name || !dtype_shaped(*name) || PyArray_DescrConverter(recorded, &parsed) != NPY_SUCCEED) {
        raise_damaged_record(column, recorded, "is not a NumPy dtype");
        return {};
    }
    PyRef parsed_ref(reinterpret_cast<PyObject*>(parsed));
    PyArray_Descr* have = PyArray_DESCR(reinterpret_cast<PyArrayObject*>(array.get()));
    if (PyArray_EquivTypes(parsed, have)) return array;
    // A text column comes back as object or StringDType arrays, as loads is asked; a record
    // that names either kind changes nothing, whichever is asked.
    const auto texts = [](char kind) { return kind == 'O' || kind == 'T' || kind == 'U' || kind == 'S'; };
    if ((have->kind == 'O' || have->kind == 'T') && texts(parsed->kind)) return array;
    bool lost = false;
    PyRef restored;
    const DtypeRoute* route = route_of(parsed);
    const NumpyTypes* types = numpy_types();
    if (route == nullptr || types == nullptr) {
        // Floats wider than float64 were stored as float64 decimals and stay so.
        if (types != nullptr && parsed->kind == 'f' && PyArray_EquivTypes(have, types->float64)) return array;
    } else if (route->carriage == Carriage::Widened && PyArray_EquivTypes(have, widened_descr(*route))) {
        restored = cast_without_loss(array, parsed, false, lost);
    } else if (parsed->kind == 'f' && PyArray_EquivTypes(have, types->float64)) {
        restored = cast_without_loss(array, parsed, true, lost);  // a decimal column
    } else if (parsed->kind == 'M' || parsed->kind == 'm') {
        if (PyArray_EquivTypes(have, types->int64)) {
            return PyRef(
                PyArray_View(reinterpret_cast<PyArrayObject*>(array.get()), new_descr_reference(parsed), nullptr));
        }
        if (parsed->kind == 'M' && PyArray_EquivTypes(have, types->datetime_us)) {
            restored = route != nullptr ? micros_to_unit(array, parsed, *route, lost)
                                        : cast_without_loss(array, parsed, false, lost);
        }
    }
    if (restored && !lost) return restored;
    if (!restored && PyErr_Occurred() != nullptr) return {};
    PyRef have_text(PyObject_Str(reinterpret_cast<PyObject*>(have)));
    raise_damaged_record(
        column, recorded,
        "does not fit its " + std::string(have_text ? utf8_view(have_text.get()).value_or("?") : "?") + " values");
    return {};
}

}  // namespace pyvorl

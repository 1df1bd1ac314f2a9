#include "python/table_output.hpp"

#include "core/decimal.hpp"
#include "core/local_offset.hpp"
#include "python/numpy_api.hpp"
#include "python/slice_container.hpp"

namespace pyvorl {
namespace {

using vorl::Buffer;

template <class T>
void free_buffer(void* data, std::size_t, std::size_t) noexcept {
    Buffer<T>::free_released(static_cast<T*>(data));
}

void free_object_buffer(void* data, std::size_t count, std::size_t) noexcept {
    auto* objects = static_cast<PyObject**>(data);
    for (std::size_t i = 0; i < count; ++i) Py_XDECREF(objects[i]);
    Buffer<PyObject*>::free_released(objects);
}

// An array over `buffer`, which a new container then owns. descr is borrowed.
template <class T>
PyRef array_over(Buffer<T> buffer, PyArray_Descr* descr, ReleaseBuffer release) {
    const auto released = buffer.release();
    PyRef container = make_slice_container(release, released.data, released.size, released.capacity);
    if (!container) return {};
    npy_intp dims[1] = {static_cast<npy_intp>(released.size)};
    // An empty buffer may have no allocation at all; NumPy then gets one of its own.
    void* data = released.data;
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(descr), 1, dims, nullptr, data,
                                     data == nullptr ? 0 : NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) return {};
    if (data == nullptr) return array;
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), container.release()) != 0) return {};
    return array;
}

// A NumPy-owned copy, for element types without a matching buffer layout.
template <class T>
PyRef array_copy(const Buffer<T>& buffer, PyArray_Descr* descr) {
    npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(descr), 1, dims, nullptr, nullptr, 0, nullptr));
    if (!array) return {};
    if (!buffer.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), buffer.data(), buffer.size() * sizeof(T));
    }
    return array;
}

template <bool Text>
PyRef objects_array(const vorl::VarColumn& column, PyArray_Descr* descr) {
    Buffer<PyObject*> objects = Buffer<PyObject*>::uninitialized(column.size());
    for (std::size_t i = 0; i < column.size(); ++i) {
        const std::string_view element = column[i];
        const auto size = static_cast<Py_ssize_t>(element.size());
        PyObject* object = Text ? PyUnicode_FromStringAndSize(element.data(), size)
                                : PyBytes_FromStringAndSize(element.data(), size);
        if (object == nullptr) {
            objects.truncate(i);
            free_object_buffer(objects.data(), objects.size(), objects.capacity());
            objects.release();
            return {};
        }
        objects[i] = object;
    }
    return array_over(std::move(objects), descr, free_object_buffer);
}

}  // namespace

PyRef series_to_array(vorl::Series series, std::size_t row_count) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    switch (vorl::series_type(series)) {
        case vorl::DataType::Null: {
            npy_intp dims[1] = {static_cast<npy_intp>(row_count)};
            return PyRef(PyArray_Zeros(1, dims, new_descr_reference(types->boolean), 0));
        }
        case vorl::DataType::DateTime: {
            auto& values = std::get<1>(series);
            // Frames keep UTC; Python sees local wall-clock time. The sum wraps.
            const auto offset = static_cast<std::uint64_t>(vorl::local_offset_micros());
            for (std::int64_t& value : values) value = static_cast<std::int64_t>(static_cast<std::uint64_t>(value) + offset);
            return array_over(std::move(values), types->datetime_us, free_buffer<std::int64_t>);
        }
        case vorl::DataType::Int64: return array_over(std::move(std::get<2>(series)), types->int64, free_buffer<std::int64_t>);
        case vorl::DataType::Float64: return array_over(std::move(std::get<3>(series)), types->float64, free_buffer<double>);
        case vorl::DataType::Decimal: {
            const auto& decimals = std::get<4>(series);
            Buffer<double> values = Buffer<double>::uninitialized(decimals.size());
            for (std::size_t i = 0; i < decimals.size(); ++i) values[i] = vorl::d64_to_double(decimals[i]);
            return array_over(std::move(values), types->float64, free_buffer<double>);
        }
        case vorl::DataType::String: return objects_array<true>(std::get<5>(series), types->object);
        case vorl::DataType::Bool: return array_over(std::move(std::get<6>(series)), types->boolean, free_buffer<std::uint8_t>);
        case vorl::DataType::Int32: return array_over(std::move(std::get<7>(series)), types->int32, free_buffer<std::int32_t>);
        case vorl::DataType::UInt32: return array_copy(std::get<8>(series), types->uint32);
        case vorl::DataType::UInt64: return array_copy(std::get<9>(series), types->uint64);
        case vorl::DataType::Float32: return array_over(std::move(std::get<10>(series)), types->float32, free_buffer<float>);
        case vorl::DataType::Bytes: return objects_array<false>(std::get<11>(series), types->object);
    }
    PyErr_SetString(PyExc_SystemError, "unknown column type");
    return {};
}

PyRef table_to_py_list(vorl::Table table) {
    const std::size_t row_count = table.row_count();
    std::vector<vorl::Field> fields = std::move(table).into_fields();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return {};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        vorl::Field& field = fields[i];
        PyRef name(PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
        if (!name) return {};
        PyRef array = series_to_array(std::move(field.series), row_count);
        if (!array) return {};
        PyRef pair(PyTuple_New(2));
        if (!pair) return {};
        PyTuple_SetItem(pair.get(), 0, name.release());  // steals
        PyTuple_SetItem(pair.get(), 1, array.release());
        PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
        field = vorl::Field{};  // release this column's remaining memory as we go
    }
    return list;
}

}  // namespace pyvorl

#include "python/table_output.hpp"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/datetime_units.hpp"
#include "core/decimal.hpp"
#include "core/huge_pages.hpp"
#include "core/local_offset.hpp"
#include "python/dtype_routes.hpp"
#include "python/metadata.hpp"
#include "python/numpy_api.hpp"
#include "python/slice_container.hpp"
#include "python/string_dtype.hpp"

namespace pyvorl {
namespace {

using vorl::Buffer;
using vorl::DataType;

template <class T>
void free_buffer(void* data, std::size_t, std::size_t) noexcept {
    Buffer<T>::free_released(static_cast<T*>(data));
}

void free_object_buffer(void* data, std::size_t count, std::size_t) noexcept {
    auto* objects = static_cast<PyObject**>(data);
    for (std::size_t i = 0; i < count; ++i) Py_XDECREF(objects[i]);
    Buffer<PyObject*>::free_released(objects);
}

// Where an array of no elements points when its buffer has no allocation at
// all: NumPy would otherwise allocate memory of its own for it, and the array
// would come back unlike the same column with values.
alignas(16) unsigned char no_elements[16];

// An array over `size` elements at `data`, kept alive by `base` (a new
// reference, stolen also on failure). descr is borrowed.
PyRef array_with_base(void* data, std::size_t size, PyArray_Descr* descr, int flags, PyRef base) {
    npy_intp dims[1] = {static_cast<npy_intp>(size)};
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(descr), 1, dims, nullptr,
                                     data == nullptr ? no_elements : data, flags, nullptr));
    if (!array) return {};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) != 0) return {};
    return array;
}

// An array over `size` elements at `data`, memory released from a Buffer
// that a new container then owns. descr is borrowed.
PyRef array_over_memory(void* data, std::size_t size, std::size_t capacity, PyArray_Descr* descr,
                        ReleaseBuffer release) {
    PyRef container = make_slice_container(release, data, size, capacity);
    if (!container) return {};
    return array_with_base(data, size, descr, NPY_ARRAY_WRITEABLE, std::move(container));
}

template <class T>
PyRef array_over(Buffer<T> buffer, PyArray_Descr* descr, ReleaseBuffer release) {
    const auto released = buffer.release();
    return array_over_memory(released.data, released.size, released.capacity, descr, release);
}

// A NumPy-owned copy, for element types without a matching buffer layout.
template <class T>
PyRef array_copy(const Buffer<T>& buffer, PyArray_Descr* descr) {
    npy_intp dims[1] = {static_cast<npy_intp>(buffer.size())};
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(descr), 1, dims, nullptr, nullptr, 0, nullptr));
    if (!array) return {};
    if (!buffer.empty()) {
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.get())), buffer.data(),
                    buffer.size() * sizeof(T));
    }
    return array;
}

// Columns of texts often repeat a few short values (venues, symbols, sides):
// each such text becomes one str shared by the elements that hold it, instead
// of a new object per element, which is most of the cost of such a column.
// Elements are equal either way; a shared str is immutable. The cache is
// direct-mapped and forgets on collisions; it only remembers objects that the
// column's own buffer holds references to, and gives itself up when the first
// elements show that the column does not repeat.
class ShortTextCache {
public:
    // The element's str, new or shared (a new reference); nullptr with a
    // Python exception set.
    PyObject* text(std::string_view element) {
        if (!enabled_ || element.size() > MAX_SIZE || element.empty()) return make(element);
        const Key key = key_of(element);
        Entry& entry = entries_[slot_of(key)];
        if (entry.object != nullptr && entry.key == key) {
            ++hits_;
            Py_INCREF(entry.object);
            return entry.object;
        }
        if (++misses_ == TRIAL && hits_ < TRIAL / 2) enabled_ = false;
        PyObject* object = make(element);
        if (object != nullptr) entry = Entry{key, object};
        return object;
    }

private:
    static constexpr std::size_t MAX_SIZE = 16;
    static constexpr std::size_t SLOTS = 1024;
    static constexpr std::uint64_t TRIAL = 4096;  // misses before the hit rate is judged

    // Size and bytes, read as up to two overlapping words that stay inside
    // the element: with the size they determine every byte.
    struct Key {
        std::uint64_t head;
        std::uint64_t tail;
        std::uint64_t size;
        friend bool operator==(const Key&, const Key&) = default;
    };
    struct Entry {
        Key key{};
        PyObject* object = nullptr;  // borrowed: the column's buffer owns it
    };

    static Key key_of(std::string_view element) noexcept {
        const char* bytes = element.data();
        const std::size_t size = element.size();
        Key key{0, 0, size};
        if (size >= 8) {
            std::memcpy(&key.head, bytes, 8);
            std::memcpy(&key.tail, bytes + size - 8, 8);
        } else if (size >= 4) {
            std::uint32_t head, tail;
            std::memcpy(&head, bytes, 4);
            std::memcpy(&tail, bytes + size - 4, 4);
            key.head = head;
            key.tail = tail;
        } else {
            key.head = static_cast<unsigned char>(bytes[0]) |
                       static_cast<unsigned>(static_cast<unsigned char>(bytes[size / 2])) << 8 |
                       static_cast<unsigned>(static_cast<unsigned char>(bytes[size - 1])) << 16;
        }
        return key;
    }
    static std::size_t slot_of(const Key& key) noexcept {
        const std::uint64_t mixed = (key.head * 0x9E3779B97F4A7C15ull) ^ (key.tail * 0xC2B2AE3D27D4EB4Full) ^ key.size;
        return static_cast<std::size_t>((mixed ^ (mixed >> 29)) % SLOTS);
    }
    static PyObject* make(std::string_view element) {
        return PyUnicode_FromStringAndSize(element.data(), static_cast<Py_ssize_t>(element.size()));
    }

    std::vector<Entry> entries_ = std::vector<Entry>(SLOTS);
    std::uint64_t hits_ = 0;
    std::uint64_t misses_ = 0;
    bool enabled_ = true;
};

// Elements of texts in Arrow's large layout, as objects_array reads them.
struct LargeLayoutTexts {
    std::span<const std::int64_t> offsets;  // size() + 1 ascending positions in data
    const char* data;
    std::size_t size() const noexcept { return offsets.size() - 1; }
    std::string_view operator[](std::size_t i) const noexcept {
        return {data + offsets[i], static_cast<std::size_t>(offsets[i + 1] - offsets[i])};
    }
};

template <bool Text, class Column>
PyRef objects_array(const Column& column, PyArray_Descr* descr) {
    Buffer<PyObject*> objects = Buffer<PyObject*>::uninitialized(column.size());
    vorl::advise_huge_pages(objects.data(), objects.capacity() * sizeof(PyObject*));
    ShortTextCache texts;
    for (std::size_t i = 0; i < column.size(); ++i) {
        const std::string_view element = column[i];
        PyObject* object = Text ? texts.text(element)
                                : PyBytes_FromStringAndSize(element.data(), static_cast<Py_ssize_t>(element.size()));
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

// (offsets, data, is_text) of a String or Bytes column: the data keeps the
// decoded memory; the offsets gain the leading 0 that the element ends lack.
PyRef large_layout(vorl::VarColumn column, bool text, const NumpyTypes& types) {
    const std::span<const std::uint64_t> ends = column.ends();
    npy_intp dims[1] = {static_cast<npy_intp>(ends.size() + 1)};
    PyRef offsets(
        PyArray_NewFromDescr(&PyArray_Type, new_descr_reference(types.int64), 1, dims, nullptr, nullptr, 0, nullptr));
    if (!offsets) return {};
    auto* positions = static_cast<std::int64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(offsets.get())));
    positions[0] = 0;
    if (!ends.empty()) std::memcpy(positions + 1, ends.data(), ends.size_bytes());
    PyRef data = array_over(column.take_bytes(), types.uint8, free_buffer<char>);
    if (!data) return {};
    return PyRef(Py_BuildValue("(OOO)", offsets.get(), data.get(), text ? Py_True : Py_False));
}

}  // namespace

PyRef objects_of_large_layout(std::span<const std::int64_t> offsets, std::span<const char> data, bool text) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    const LargeLayoutTexts column{offsets, data.data()};
    return text ? objects_array<true>(column, types->object) : objects_array<false>(column, types->object);
}

namespace {}  // namespace

PyRef NullColumns::array() {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    if (!container_) {
        data_ = row_count_ == 0 ? nullptr : std::calloc(row_count_, 1);
        if (data_ == nullptr && row_count_ != 0) {
            PyErr_NoMemory();
            return {};
        }
        container_ = make_slice_container(free_buffer<std::uint8_t>, data_, row_count_, row_count_);
        if (!container_) return {};
    }
    return array_with_base(data_, row_count_, types->boolean, 0, PyRef::borrow(container_.get()));
}

PyRef NullColumns::shared_array() {
    if (!shared_) shared_ = array();
    return shared_ ? PyRef::borrow(shared_.get()) : PyRef{};
}

namespace {

PyRef series_to_array(vorl::Series series, NullColumns& nulls, const OutputPolicy& policy) {
    const NumpyTypes* types = numpy_types();
    if (types == nullptr) return {};
    switch (vorl::series_type(series)) {
        case DataType::Null: return policy.shared_null_array ? nulls.shared_array() : nulls.array();
        case DataType::DateTime: {
            auto& values = vorl::get<DataType::DateTime>(series);
            // Frames keep UTC; the caller chooses the wall clock (the sum wraps, NaT stays NaT).
            vorl::add_offset_keeping_nat(values.span(), policy.datetime_offset);
            return array_over(std::move(values), types->datetime_us, free_buffer<std::int64_t>);
        }
        case DataType::Int64:
            return array_over(std::move(vorl::get<DataType::Int64>(series)), types->int64, free_buffer<std::int64_t>);
        case DataType::Float64:
            return array_over(std::move(vorl::get<DataType::Float64>(series)), types->float64, free_buffer<double>);
        case DataType::Decimal: break;  // decoded as Float64 (DecodeOptions::decimals_as_doubles)
        case DataType::String:
            if (policy.string_dtype)
                return string_dtype_array(vorl::get<DataType::String>(series), policy.release_lock);
            if (policy.texts_as_arrow)
                return large_layout(std::move(vorl::get<DataType::String>(series)), true, *types);
            return objects_array<true>(vorl::get<DataType::String>(series), types->object);
        case DataType::Bool:
            return array_over(std::move(vorl::get<DataType::Bool>(series)), types->boolean, free_buffer<std::uint8_t>);
        case DataType::Int32:
            return array_over(std::move(vorl::get<DataType::Int32>(series)), types->int32, free_buffer<std::int32_t>);
        case DataType::UInt32: return array_copy(vorl::get<DataType::UInt32>(series), types->uint32);
        case DataType::UInt64: return array_copy(vorl::get<DataType::UInt64>(series), types->uint64);
        case DataType::Float32:
            return array_over(std::move(vorl::get<DataType::Float32>(series)), types->float32, free_buffer<float>);
        case DataType::Bytes:
            if (policy.texts_as_arrow)
                return large_layout(std::move(vorl::get<DataType::Bytes>(series)), false, *types);
            return objects_array<false>(vorl::get<DataType::Bytes>(series), types->object);
    }
    PyErr_SetString(PyExc_SystemError, "unconverted column type");
    return {};
}

// The value recorded under "pyvorl.dtype", taken out of the field's metadata;
// nothing (and no error) when there is none.
PyRef take_recorded_dtype(vorl::Field& field) {
    if (!field.metadata) return {};
    const auto found = field.metadata->find(DTYPE_KEY);
    if (found == field.metadata->end()) return {};
    PyRef recorded(variant_to_python(found->second));
    if (recorded) field.metadata->erase(found);
    return recorded;
}

}  // namespace

PyRef field_array(vorl::Field& field, NullColumns& nulls, const OutputPolicy& policy) {
    PyRef recorded;
    if (policy.restore_recorded_dtype) {
        recorded = take_recorded_dtype(field);
        if (!recorded && PyErr_Occurred() != nullptr) return {};
    }
    if (recorded) {  // the recorded dtype applies to an array
        OutputPolicy as_array = policy;
        as_array.texts_as_arrow = false;
        PyRef array = series_to_array(std::move(field.series), nulls, as_array);
        return array ? restore_recorded_dtype(std::move(array), recorded.get(), field.name) : PyRef{};
    }
    return series_to_array(std::move(field.series), nulls, policy);
}

PyRef table_to_py_list(vorl::Table table) {
    NullColumns nulls(table.row_count());
    std::vector<vorl::Field> fields = std::move(table).into_fields();
    PyRef list(PyList_New(static_cast<Py_ssize_t>(fields.size())));
    if (!list) return {};
    const OutputPolicy policy{.datetime_offset = vorl::local_offset_micros()};
    for (std::size_t i = 0; i < fields.size(); ++i) {
        vorl::Field& field = fields[i];
        PyRef name(PyUnicode_FromStringAndSize(field.name.data(), static_cast<Py_ssize_t>(field.name.size())));
        if (!name) return {};
        PyRef array = field_array(field, nulls, policy);
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

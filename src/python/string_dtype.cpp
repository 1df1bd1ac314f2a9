#include "python/string_dtype.hpp"

#include <cstddef>
#include <cstring>

#include "python/numpy_api.hpp"
#include "python/without_lock.hpp"

namespace pyvorl {
namespace {

// The lock on an array's string allocator, held while its elements are
// written and given back on every path. NumPy's allocator takes no Python
// objects and has its own lock, so it is used with or without the
// interpreter lock; nothing that needs the interpreter lock may run while it is held.
class HeldAllocator {
public:
    explicit HeldAllocator(PyArray_Descr* descr) noexcept
        : allocator_(NpyString_acquire_allocator(reinterpret_cast<const PyArray_StringDTypeObject*>(descr))) {}
    HeldAllocator(const HeldAllocator&) = delete;
    HeldAllocator& operator=(const HeldAllocator&) = delete;
    ~HeldAllocator() { NpyString_release_allocator(allocator_); }
    npy_string_allocator* get() const noexcept { return allocator_; }

private:
    npy_string_allocator* allocator_;
};

// Every element in order; the number of elements written, which is short of
// the column only when the allocator ran out of memory.
template <class Texts>
std::size_t pack_texts(const Texts& column, PyArray_Descr* descr, char* data, std::size_t stride) noexcept {
    HeldAllocator allocator(descr);
    for (std::size_t i = 0; i < column.size(); ++i) {
        const std::string_view text = column[i];
        auto* packed = reinterpret_cast<npy_packed_static_string*>(data + i * stride);
        if (NpyString_pack(allocator.get(), packed, text.data(), text.size()) != 0) return i;
    }
    return column.size();
}

template <class Texts>
PyRef texts_array(const Texts& column, bool release_lock) {
    if (numpy_types() == nullptr) return {};
    PyArray_Descr* descr = PyArray_GetDefaultDescr(&PyArray_StringDType);
    if (descr == nullptr) return {};
    // NumPy gives the new array a descriptor (and so an allocator) of its own,
    // zero-filled elements, and frees whatever the elements hold with it.
    npy_intp dims[1] = {static_cast<npy_intp>(column.size())};
    PyRef array(PyArray_NewFromDescr(&PyArray_Type, descr, 1, dims, nullptr, nullptr, 0, nullptr));
    if (!array) return {};
    auto* object = reinterpret_cast<PyArrayObject*>(array.get());
    PyArray_Descr* own = PyArray_DESCR(object);
    char* data = static_cast<char*>(PyArray_DATA(object));
    const auto stride = static_cast<std::size_t>(PyArray_ITEMSIZE(object));
    std::size_t packed = 0;
    maybe_without_lock(release_lock, [&] { packed = pack_texts(column, own, data, stride); });
    if (packed != column.size()) {
        PyErr_NoMemory();
        return {};
    }
    return array;
}

}  // namespace

PyRef string_dtype_array(const vorl::VarColumn& column, bool release_lock) { return texts_array(column, release_lock); }

PyRef string_dtype_array(std::span<const std::string_view> texts, bool release_lock) {
    return texts_array(texts, release_lock);
}

bool copy_string_dtype_texts(PyArrayObject* array, vorl::Buffer<char>& bytes, std::vector<std::string_view>& views,
                             std::size_t& missing) {
    const auto length = static_cast<std::size_t>(PyArray_DIM(array, 0));
    const npy_intp stride = PyArray_STRIDE(array, 0);
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const auto element = [&](std::size_t i) {
        return reinterpret_cast<const npy_packed_static_string*>(data + static_cast<npy_intp>(i) * stride);
    };
    missing = length;
    HeldAllocator allocator(PyArray_DESCR(array));
    // Sizes first, then one allocation and the copies, all under the one lock.
    std::size_t total = 0;
    npy_static_string text{0, nullptr};
    for (std::size_t i = 0; i < length; ++i) {
        const int state = NpyString_load(allocator.get(), element(i), &text);
        if (state < 0) return false;
        if (state == 1) {
            missing = i;
            return true;
        }
        total += text.size;
    }
    bytes = vorl::Buffer<char>::uninitialized(total + 1);
    views.reserve(length);
    std::size_t used = 0;
    for (std::size_t i = 0; i < length; ++i) {
        if (NpyString_load(allocator.get(), element(i), &text) != 0) return false;
        if (text.size != 0) std::memcpy(bytes.data() + used, text.buf, text.size);
        views.emplace_back(bytes.data() + used, text.size);
        used += text.size;
    }
    return true;
}

}  // namespace pyvorl

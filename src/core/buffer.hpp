// Buffer<T>: an owned, malloc-backed run of trivially copyable elements that
// can be released to a foreign owner. Decoded columns live in these so that the
// Python layer can hand the very allocation to NumPy instead of copying it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <span>
#include <type_traits>
#include <utility>

namespace vorl {

template <class T>
class Buffer {
    static_assert(std::is_trivially_copyable_v<T>);

public:
    // What release() hands over; free it with Buffer<T>::free_released.
    struct Released {
        T* data;
        std::size_t size;
        std::size_t capacity;
    };

    Buffer() noexcept = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    Buffer(Buffer&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          size_(std::exchange(other.size_, 0)),
          capacity_(std::exchange(other.capacity_, 0)) {}
    Buffer& operator=(Buffer&& other) noexcept {
        if (this != &other) {
            std::free(data_);
            data_ = std::exchange(other.data_, nullptr);
            size_ = std::exchange(other.size_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
        }
        return *this;
    }
    ~Buffer() { std::free(data_); }

    // size elements with indeterminate values, to be overwritten by the caller.
    static Buffer uninitialized(std::size_t size) {
        Buffer buffer;
        buffer.reserve(size);
        buffer.size_ = size;
        return buffer;
    }

    void reserve(std::size_t capacity) {
        if (capacity <= capacity_) return;
        if (capacity > std::numeric_limits<std::size_t>::max() / sizeof(T)) throw std::bad_alloc();
        void* grown = std::realloc(data_, capacity * sizeof(T));
        if (grown == nullptr) throw std::bad_alloc();
        data_ = static_cast<T*>(grown);
        capacity_ = capacity;
    }
    void push_back(T value) {
        if (size_ == capacity_) reserve(capacity_ < 8 ? 8 : capacity_ * 2);
        data_[size_++] = value;
    }
    void append(const T* values, std::size_t count) {
        if (count == 0) return;
        if (capacity_ - size_ < count) {
            if (count > std::numeric_limits<std::size_t>::max() - size_) throw std::bad_alloc();
            reserve(std::max(size_ + count, capacity_ * 2));
        }
        std::memcpy(data_ + size_, values, count * sizeof(T));
        size_ += count;
    }
    // Shrinks only; the capacity stays.
    void truncate(std::size_t size) noexcept {
        if (size < size_) size_ = size;
    }

    T* data() noexcept { return data_; }
    const T* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    std::size_t capacity() const noexcept { return capacity_; }
    bool empty() const noexcept { return size_ == 0; }
    T& operator[](std::size_t i) noexcept { return data_[i]; }
    const T& operator[](std::size_t i) const noexcept { return data_[i]; }
    T* begin() noexcept { return data_; }
    T* end() noexcept { return data_ + size_; }
    const T* begin() const noexcept { return data_; }
    const T* end() const noexcept { return data_ + size_; }
    std::span<T> span() noexcept { return {data_, size_}; }
    std::span<const T> span() const noexcept { return {data_, size_}; }

    Released release() noexcept {
        return Released{std::exchange(data_, nullptr), std::exchange(size_, 0), std::exchange(capacity_, 0)};
    }
    static void free_released(T* data) noexcept { std::free(data); }

    // The same allocation as elements of U, which have T's size, for columns
    // converted in place; malloc aligns it for any U.
    template <class U>
        requires(sizeof(U) == sizeof(T))
    Buffer<U> reinterpret_as() && noexcept {
        Buffer<U> other;
        other.data_ = reinterpret_cast<U*>(std::exchange(data_, nullptr));
        other.size_ = std::exchange(size_, 0);
        other.capacity_ = std::exchange(capacity_, 0);
        return other;
    }

private:
    template <class>
    friend class Buffer;

    T* data_ = nullptr;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
};

}  // namespace vorl

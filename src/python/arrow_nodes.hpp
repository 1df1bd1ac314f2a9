// What an exported ArrowSchema or ArrowArray owns behind its private_data, and
// the release callbacks that free it. A consumer may release any struct from any
// thread, and may move children out first (leaving their release NULL), so every
// node frees only itself and the children still in place.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "python/arrow_abi.hpp"

namespace pyvorl::arrow {

// A field as the schema describes it: plain C++ data, so that a stream can hand
// out fresh copies of its schema without the interpreter.
struct FieldDescription {
    std::string format;
    std::string name;
    std::string metadata;  // Arrow's binary encoding; empty for none
    std::int64_t flags = 0;
    std::vector<FieldDescription> children;
    std::shared_ptr<const FieldDescription> dictionary;
};

// Fills `out` with a new schema of `field` (release set). Throws std::bad_alloc.
void export_schema(const FieldDescription& field, ArrowSchema* out);

// The storage of one array. Buffers point into `owned`, into the Python buffers
// held in `views` (dropped under the interpreter lock), or at a static empty byte.
struct ArrayNode {
    std::vector<const void*> buffers;
    std::vector<std::vector<std::uint8_t>> owned;
    std::vector<std::unique_ptr<Py_buffer>> views;
    std::vector<std::unique_ptr<ArrowArray>> child_storage;
    std::vector<ArrowArray*> children;
    std::unique_ptr<ArrowArray> dictionary;

    // A buffer of `size` zero bytes that the node owns.
    std::uint8_t* add_owned(std::size_t size);
    // A child or dictionary struct, released with this node unless moved out.
    ArrowArray* add_child();
    ArrowArray* add_dictionary();
};

// Makes `out` an array of `length` rows owning a new, empty node (release set), so
// that an error while the node is filled is cleaned up by out->release(out).
ArrayNode* start_array(ArrowArray* out, std::int64_t length);

// Points the struct's counts and pointers at what its node now holds.
void finish_array(ArrowArray* out, std::int64_t null_count);

// A non-null address for a buffer of zero bytes.
const void* empty_buffer() noexcept;

// Releases a struct that was not moved out, if it holds anything.
inline void release_if_set(ArrowArray* array) noexcept {
    if (array != nullptr && array->release != nullptr) array->release(array);
}
inline void release_if_set(ArrowSchema* schema) noexcept {
    if (schema != nullptr && schema->release != nullptr) schema->release(schema);
}

}  // namespace pyvorl::arrow

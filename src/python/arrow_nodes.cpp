#include "python/arrow_nodes.hpp"

namespace pyvorl::arrow {
namespace {

struct SchemaNode {
    std::string format;
    std::string name;
    std::string metadata;
    std::vector<std::unique_ptr<ArrowSchema>> child_storage;
    std::vector<ArrowSchema*> children;
    std::unique_ptr<ArrowSchema> dictionary;
};

void release_schema(ArrowSchema* schema) noexcept {
    if (schema == nullptr || schema->release == nullptr) return;
    auto* node = static_cast<SchemaNode*>(schema->private_data);
    for (ArrowSchema* child : node->children) release_if_set(child);
    release_if_set(node->dictionary.get());
    delete node;
    schema->release = nullptr;
    schema->private_data = nullptr;
}

// The Python buffers go under the interpreter lock, which the releasing thread
// may or may not hold. Once the interpreter has gone there is nothing left to drop.
void drop_views(std::vector<std::unique_ptr<Py_buffer>>& views) noexcept {
    if (views.empty()) return;
    if (Py_IsInitialized() == 0) {
        for (auto& view : views) static_cast<void>(view.release());
        return;
    }
    const PyGILState_STATE state = PyGILState_Ensure();
    PyObject* pending = PyErr_GetRaisedException();  // a release during error cleanup keeps the error
    for (auto& view : views) PyBuffer_Release(view.get());
    views.clear();
    PyErr_SetRaisedException(pending);
    PyGILState_Release(state);
}

void release_array(ArrowArray* array) noexcept {
    if (array == nullptr || array->release == nullptr) return;
    auto* node = static_cast<ArrayNode*>(array->private_data);
    for (ArrowArray* child : node->children) release_if_set(child);
    release_if_set(node->dictionary.get());
    drop_views(node->views);
    delete node;
    array->release = nullptr;
    array->private_data = nullptr;
}

}  // namespace

void export_schema(const FieldDescription& field, ArrowSchema* out) {
    auto node = std::make_unique<SchemaNode>();
    node->format = field.format;
    node->name = field.name;
    node->metadata = field.metadata;
    *out = ArrowSchema{};
    out->flags = field.flags;
    out->release = &release_schema;
    out->private_data = node.get();
    SchemaNode* kept = node.release();  // from here on, out->release frees it
    try {
        for (const FieldDescription& child : field.children) {
            kept->child_storage.push_back(std::make_unique<ArrowSchema>());
            kept->children.push_back(kept->child_storage.back().get());
            export_schema(child, kept->children.back());
        }
        if (field.dictionary) {
            kept->dictionary = std::make_unique<ArrowSchema>();
            export_schema(*field.dictionary, kept->dictionary.get());
        }
    } catch (...) {
        release_schema(out);
        throw;
    }
    out->format = kept->format.c_str();
    out->name = kept->name.c_str();
    out->metadata = kept->metadata.empty() ? nullptr : kept->metadata.data();
    out->n_children = static_cast<std::int64_t>(kept->children.size());
    out->children = kept->children.empty() ? nullptr : kept->children.data();
    out->dictionary = kept->dictionary.get();
}

std::uint8_t* ArrayNode::add_owned(std::size_t size) {
    owned.emplace_back(size, std::uint8_t{0});
    return owned.back().data();
}

ArrowArray* ArrayNode::add_child() {
    child_storage.push_back(std::make_unique<ArrowArray>());
    children.push_back(child_storage.back().get());
    return children.back();
}

ArrowArray* ArrayNode::add_dictionary() {
    dictionary = std::make_unique<ArrowArray>();
    return dictionary.get();
}

ArrayNode* start_array(ArrowArray* out, std::int64_t length) {
    auto node = std::make_unique<ArrayNode>();
    *out = ArrowArray{};
    out->length = length;
    out->release = &release_array;
    out->private_data = node.get();
    return node.release();
}

void finish_array(ArrowArray* out, std::int64_t null_count) {
    auto* node = static_cast<ArrayNode*>(out->private_data);
    out->null_count = null_count;
    out->n_buffers = static_cast<std::int64_t>(node->buffers.size());
    out->buffers = node->buffers.empty() ? nullptr : node->buffers.data();
    out->n_children = static_cast<std::int64_t>(node->children.size());
    out->children = node->children.empty() ? nullptr : node->children.data();
    out->dictionary = node->dictionary.get();
}

const void* empty_buffer() noexcept {
    alignas(64) static const std::uint8_t zero[64] = {};
    return zero;
}

}  // namespace pyvorl::arrow

#include "python/arrow_export.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "python/arrow_columns.hpp"
#include "python/convert.hpp"
#include "python/handle.hpp"
#include "python/value_error.hpp"

namespace pyvorl::arrow {
namespace {

constexpr const char* SCHEMA_CAPSULE = "arrow_schema";
constexpr const char* STREAM_CAPSULE = "arrow_array_stream";

std::optional<std::string> text_argument(PyObject* object) {
    const auto text = utf8_view(object);
    if (!text) return std::nullopt;
    return std::string(*text);
}

// Arrow's binary metadata, or "" for None.
std::optional<std::string> metadata_argument(PyObject* object) {
    if (object == Py_None) return std::string();
    const auto bytes = bytes_view(object);
    if (!bytes) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(bytes->data()), bytes->size());
}

std::optional<ColumnKind> kind_argument(PyObject* object) {
    const auto text = utf8_view(object);
    if (!text) return std::nullopt;
    static constexpr std::pair<std::string_view, ColumnKind> KINDS[] = {
        {"fixed", ColumnKind::Fixed},           {"bits", ColumnKind::Bits},
        {"texts", ColumnKind::Texts},           {"decimal", ColumnKind::Decimal},
        {"dictionary", ColumnKind::Dictionary}, {"arrow_texts", ColumnKind::ArrowTexts},
    };
    for (const auto& [name, kind] : KINDS) {
        if (*text == name) return kind;
    }
    raise_value_error("no column kind " + std::string(*text));
    return std::nullopt;
}

std::optional<ColumnSpec> column_spec(PyObject* item) {
    if (!PyTuple_Check(item) || PyTuple_Size(item) != 8) {
        PyErr_SetString(PyExc_TypeError, "each column must be a tuple of 8 items");
        return std::nullopt;
    }
    ColumnSpec spec;
    spec.name = PyTuple_GetItem(item, 0);
    auto name = text_argument(spec.name);
    auto format = name ? text_argument(PyTuple_GetItem(item, 1)) : std::nullopt;
    auto metadata = format ? metadata_argument(PyTuple_GetItem(item, 2)) : std::nullopt;
    if (!metadata) return std::nullopt;
    const long long flags = PyLong_AsLongLong(PyTuple_GetItem(item, 3));
    if (flags == -1 && PyErr_Occurred()) return std::nullopt;
    const auto kind = kind_argument(PyTuple_GetItem(item, 4));
    if (!kind) return std::nullopt;
    spec.field = FieldDescription{std::move(*format), std::move(*name), std::move(*metadata), flags, {}, {}};
    spec.kind = *kind;
    spec.data = PyTuple_GetItem(item, 5);
    PyObject* validity = PyTuple_GetItem(item, 6);
    spec.validity = validity == Py_None ? nullptr : validity;
    spec.extra = PyTuple_GetItem(item, 7);
    return spec;
}

std::optional<std::vector<ColumnSpec>> column_specs(PyObject* columns) {
    if (!PyList_Check(columns)) {
        PyErr_SetString(PyExc_TypeError, "columns must be a list");
        return std::nullopt;
    }
    std::vector<ColumnSpec> specs;
    for (Py_ssize_t i = 0; i < PyList_Size(columns); ++i) {
        auto spec = column_spec(PyList_GetItem(columns, i));
        if (!spec) return std::nullopt;
        specs.push_back(std::move(*spec));
    }
    return specs;
}

FieldDescription struct_of(std::string table_metadata) {
    return FieldDescription{"+s", "", std::move(table_metadata), 0, {}, {}};
}

// The one batch and the schema it has. Nothing here needs the interpreter: a
// consumer may drive the stream from any thread.
struct StreamState {
    FieldDescription schema;
    ArrowArray batch{};
};

int stream_schema(ArrowArrayStream* stream, ArrowSchema* out) noexcept {
    try {
        export_schema(static_cast<StreamState*>(stream->private_data)->schema, out);
        return 0;
    } catch (...) {
        return ENOMEM;
    }
}

int stream_next(ArrowArrayStream* stream, ArrowArray* out) noexcept {
    auto* state = static_cast<StreamState*>(stream->private_data);
    *out = state->batch;  // the batch moves out, once; a released struct marks the end
    state->batch.release = nullptr;
    return 0;
}

const char* stream_error(ArrowArrayStream*) noexcept { return nullptr; }

void stream_release(ArrowArrayStream* stream) noexcept {
    if (stream == nullptr || stream->release == nullptr) return;
    auto* state = static_cast<StreamState*>(stream->private_data);
    release_if_set(&state->batch);
    delete state;
    stream->release = nullptr;
    stream->private_data = nullptr;
}

void schema_capsule_destructor(PyObject* capsule) noexcept {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, SCHEMA_CAPSULE));
    if (schema == nullptr) {
        PyErr_Clear();
        return;
    }
    release_if_set(schema);  // not moved out by a consumer
    delete schema;
}

void stream_capsule_destructor(PyObject* capsule) noexcept {
    auto* stream = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(capsule, STREAM_CAPSULE));
    if (stream == nullptr) {
        PyErr_Clear();
        return;
    }
    if (stream->release != nullptr) stream->release(stream);
    delete stream;
}

// Builds every column into one struct batch and describes it. False with the error set.
bool build_batch(const std::vector<ColumnSpec>& specs, Py_ssize_t rows, StreamState& state) {
    ArrayNode* node = start_array(&state.batch, rows);
    node->buffers.push_back(nullptr);  // a struct without nulls
    for (const ColumnSpec& spec : specs) {
        state.schema.children.emplace_back();
        if (!build_column(spec, rows, node->add_child(), state.schema.children.back())) return false;
    }
    finish_array(&state.batch, 0);
    return true;
}

}  // namespace

PyObject* schema_capsule(PyObject* columns, PyObject* table_metadata, Py_ssize_t num_rows) {
    const auto specs = column_specs(columns);
    const auto metadata = specs ? metadata_argument(table_metadata) : std::nullopt;
    if (!metadata) return nullptr;
    FieldDescription schema = struct_of(*metadata);
    for (const ColumnSpec& spec : *specs) {
        schema.children.emplace_back();
        if (!describe_column(spec, num_rows, schema.children.back())) return nullptr;
    }
    auto out = std::make_unique<ArrowSchema>();
    export_schema(schema, out.get());
    PyObject* capsule = PyCapsule_New(out.get(), SCHEMA_CAPSULE, &schema_capsule_destructor);
    if (capsule == nullptr) {
        release_if_set(out.get());
        return nullptr;
    }
    static_cast<void>(out.release());
    return capsule;
}

PyObject* stream_capsule(PyObject* columns, PyObject* table_metadata, Py_ssize_t num_rows) {
    const auto specs = column_specs(columns);
    const auto metadata = specs ? metadata_argument(table_metadata) : std::nullopt;
    if (!metadata) return nullptr;
    auto state = std::make_unique<StreamState>();
    state->schema = struct_of(*metadata);
    try {
        if (!build_batch(*specs, num_rows, *state)) {
            release_if_set(&state->batch);
            return nullptr;
        }
    } catch (...) {
        release_if_set(&state->batch);
        throw;
    }
    auto stream = std::make_unique<ArrowArrayStream>();
    *stream = ArrowArrayStream{&stream_schema, &stream_next, &stream_error, &stream_release, state.release()};
    PyObject* capsule = PyCapsule_New(stream.get(), STREAM_CAPSULE, &stream_capsule_destructor);
    if (capsule == nullptr) {
        stream_release(stream.get());
        return nullptr;
    }
    static_cast<void>(stream.release());
    return capsule;
}

}  // namespace pyvorl::arrow

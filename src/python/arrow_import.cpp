#include "python/arrow_import.hpp"

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "core/utf8.hpp"
#include "python/arrow_abi.hpp"
#include "python/arrow_format.hpp"
#include "python/arrow_piece.hpp"
#include "python/arrow_values.hpp"
#include "python/handle.hpp"
#include "python/numpy_api.hpp"
#include "python/value_error.hpp"

namespace pyvorl {
namespace {

constexpr const char* BATCH_CAPSULE = "pyvorl.arrow_batch";
constexpr std::uint64_t MAX_ROWS = std::uint64_t{1} << 48;

struct SchemaOwner {
    ArrowSchema schema{};
    SchemaOwner() = default;
    SchemaOwner(const SchemaOwner&) = delete;
    SchemaOwner& operator=(const SchemaOwner&) = delete;
    ~SchemaOwner() {
        if (schema.release != nullptr) schema.release(&schema);
    }
};

struct StreamOwner {
    ArrowArrayStream stream{};
    StreamOwner() = default;
    StreamOwner(const StreamOwner&) = delete;
    StreamOwner& operator=(const StreamOwner&) = delete;
    ~StreamOwner() {
        if (stream.release != nullptr) stream.release(&stream);
    }
};

// Runs when the last array viewing the batch goes, with the interpreter lock held.
void release_batch(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, BATCH_CAPSULE));
    if (array == nullptr) {
        PyErr_Clear();
        return;
    }
    if (array->release != nullptr) array->release(array);
    delete array;
}

// Moves `source` into a capsule that releases it; `source` is left released (moved from) even
// when the capsule cannot be made.
PyRef keep_batch(ArrowArray& source) {
    auto* owned = new (std::nothrow) ArrowArray(source);
    if (owned == nullptr) {
        source.release(&source);
        PyErr_NoMemory();
        return {};
    }
    source.release = nullptr;
    PyRef capsule(PyCapsule_New(owned, BATCH_CAPSULE, release_batch));
    if (!capsule) {
        owned->release(owned);
        delete owned;
    }
    return capsule;
}

struct Batch {
    PyRef keeper;
    const ArrowArray* array;
};

std::int32_t load_int32(const char* at) {
    std::int32_t value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Arrow metadata: an int32 count, then each key and value as an int32 length and its bytes.
PyRef metadata_dict(const char* metadata) {
    if (metadata == nullptr) return PyRef::borrow(Py_None);
    const std::int32_t count = load_int32(metadata);
    if (count < 0) {
        raise_value_error("Arrow metadata announces " + std::to_string(count) + " entries");
        return {};
    }
    PyRef dict(PyDict_New());
    if (!dict) return {};
    const char* at = metadata + 4;
    for (std::int32_t i = 0; i < count; ++i) {
        PyRef parts[2];
        for (PyRef& part : parts) {
            const std::int32_t size = load_int32(at);
            if (size < 0) {
                raise_value_error("Arrow metadata holds a negative length");
                return {};
            }
            part = PyRef(PyBytes_FromStringAndSize(at + 4, size));
            if (!part) return {};
            at += 4 + static_cast<std::size_t>(size);
        }
        if (PyDict_SetItem(dict.get(), parts[0].get(), parts[1].get()) != 0) return {};
    }
    return dict;
}

PyRef utf8_text(const char* text, const char* what) {
    const std::string_view view = text != nullptr ? text : "";
    PyRef object(PyUnicode_DecodeUTF8(view.data(), static_cast<Py_ssize_t>(view.size()), "strict"));
    if (!object) {
        PyErr_Clear();
        raise_value_error(std::string("an Arrow ") + what + " is not UTF-8");
    }
    return object;
}

std::string quoted(PyObject* name) { return repr_text(name).value_or("?"); }

// The struct of every batch holds the columns; its own rows may not be null.
bool check_batches(const ArrowSchema& schema, const std::vector<Batch>& batches, std::uint64_t& rows) {
    rows = 0;
    for (std::size_t i = 0; i < batches.size(); ++i) {
        const ArrowArray& batch = *batches[i].array;
        const std::string where = "Arrow batch " + std::to_string(i);
        if (batch.length < 0 || batch.offset < 0 || static_cast<std::uint64_t>(batch.length) > MAX_ROWS ||
            static_cast<std::uint64_t>(batch.offset) > MAX_ROWS) {
            raise_value_error(where + ": length or offset out of range");
            return false;
        }
        if (batch.n_children != schema.n_children || (batch.n_children > 0 && batch.children == nullptr)) {
            raise_value_error(where + " has " + std::to_string(batch.n_children) + " columns, its schema " +
                              std::to_string(schema.n_children));
            return false;
        }
        const auto* bits = batch.n_buffers >= 1 && batch.buffers != nullptr
                               ? static_cast<const std::uint8_t*>(batch.buffers[0])
                               : nullptr;
        if (batch.null_count != 0 && bits != nullptr &&
            any_zero_bit(bits, static_cast<std::uint64_t>(batch.offset), static_cast<std::uint64_t>(batch.length))) {
            raise_value_error(where + " has null rows, which a table has no place for");
            return false;
        }
        rows += static_cast<std::uint64_t>(batch.length);
        if (rows > MAX_ROWS) {
            raise_value_error("the Arrow stream holds more than 2**48 rows");
            return false;
        }
    }
    return true;
}

// (name, format, metadata, flags, values, validity, dictionary) of one accepted column.
PyRef column_tuple(PyObject* name, const ArrowSchema& field, const ColumnOutput& output) {
    PyRef format = utf8_text(field.format, "format string");
    if (!format) return {};
    PyRef metadata = metadata_dict(field.metadata);
    if (!metadata) return {};
    PyRef flags(PyLong_FromLongLong(field.flags));
    if (!flags) return {};
    return PyRef(Py_BuildValue("(OOOOOOO)", name, format.get(), metadata.get(), flags.get(), output.values.get(),
                               output.validity.get(), output.dictionary.get()));
}

PyObject* read_batches(const ArrowSchema& schema, const std::vector<Batch>& batches) {
    if (schema.format == nullptr || std::string_view(schema.format) != "+s" || schema.n_children < 0 ||
        (schema.n_children > 0 && schema.children == nullptr)) {
        raise_value_error("an Arrow stream of a table has a struct schema, not '" +
                          std::string(schema.format != nullptr ? schema.format : "") + "'");
        return nullptr;
    }
    std::uint64_t rows = 0;
    if (!check_batches(schema, batches, rows)) return nullptr;
    PyRef columns(PyList_New(0));
    if (!columns) return nullptr;
    std::string refusals;
    std::size_t refused = 0;
    for (std::int64_t c = 0; c < schema.n_children; ++c) {
        const ArrowSchema* field = schema.children[c];
        if (field == nullptr) {
            raise_value_error("Arrow schema: column " + std::to_string(c) + " is missing");
            return nullptr;
        }
        PyRef name = utf8_text(field->name, "column name");
        if (!name) return nullptr;
        const ArrowColumnPlan plan = plan_arrow_column(*field);
        const std::string label = "column " + quoted(name.get());
        if (plan.layout == ArrowLayout::Refused) {
            refusals += (refused++ ? ", " : "") + quoted(name.get()) + " (" + plan.refusal + ")";
            continue;
        }
        std::vector<ArrowPiece> pieces(batches.size());
        for (std::size_t b = 0; b < batches.size(); ++b) {
            const ArrowArray& batch = *batches[b].array;
            const auto fault = make_piece(batch.children[c], static_cast<std::uint64_t>(batch.offset),
                                          static_cast<std::uint64_t>(batch.length), plan.layout, pieces[b]);
            if (fault) {
                raise_value_error(label + ": Arrow batch " + std::to_string(b) + ": " + *fault);
                return nullptr;
            }
        }
        PyObject* keeper = batches.size() == 1 ? batches[0].keeper.get() : nullptr;
        ColumnOutput output;
        if (!column_values({*field, plan, label, pieces, rows, keeper}, output)) return nullptr;
        if (!output.refusal.empty()) {
            refusals += (refused++ ? ", " : "") + quoted(name.get()) + " (" + output.refusal + ")";
            continue;
        }
        PyRef item = column_tuple(name.get(), *field, output);
        if (!item || PyList_Append(columns.get(), item.get()) != 0) return nullptr;
    }
    if (refused > 0) {
        const std::string message = (refused == 1 ? "column " : "columns ") + refusals +
                                    (refused == 1 ? " has a type" : " have types") + " that a frame cannot store";
        PyErr_SetString(PyExc_TypeError, message.c_str());
        return nullptr;
    }
    PyRef table_metadata = metadata_dict(schema.metadata);
    if (!table_metadata) return nullptr;
    return Py_BuildValue("(KOO)", static_cast<unsigned long long>(rows), columns.get(), table_metadata.get());
}

void raise_stream_error(ArrowArrayStream& stream, int code, const std::string& doing) {
    const char* detail = stream.get_last_error != nullptr ? stream.get_last_error(&stream) : nullptr;
    raise_value_error(std::string("reading the Arrow stream failed while getting ") + doing + " (error " +
                      std::to_string(code) + (detail != nullptr ? "): " + std::string(detail) : ")"));
}

}  // namespace

PyObject* arrow_columns_of_stream(PyObject* stream_capsule) {
    auto* source = static_cast<ArrowArrayStream*>(PyCapsule_GetPointer(stream_capsule, "arrow_array_stream"));
    if (source == nullptr) return nullptr;
    if (source->release == nullptr) {
        raise_value_error("the Arrow stream has been read already");
        return nullptr;
    }
    StreamOwner owner;
    owner.stream = *source;
    source->release = nullptr;
    ArrowArrayStream& stream = owner.stream;
    SchemaOwner schema;
    if (const int code = stream.get_schema(&stream, &schema.schema); code != 0) {
        raise_stream_error(stream, code, "its schema");
        return nullptr;
    }
    std::vector<Batch> batches;
    for (;;) {
        ArrowArray next{};
        if (const int code = stream.get_next(&stream, &next); code != 0) {
            if (next.release != nullptr) next.release(&next);
            raise_stream_error(stream, code, "batch " + std::to_string(batches.size()));
            return nullptr;
        }
        if (next.release == nullptr) break;
        PyRef keeper = keep_batch(next);
        if (!keeper) return nullptr;
        const auto* array = static_cast<const ArrowArray*>(PyCapsule_GetPointer(keeper.get(), BATCH_CAPSULE));
        batches.push_back({std::move(keeper), array});
    }
    return read_batches(schema.schema, batches);
}

PyObject* arrow_columns_of_array(PyObject* schema_capsule, PyObject* array_capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
    if (schema == nullptr) return nullptr;
    auto* source = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
    if (source == nullptr) return nullptr;
    if (schema->release == nullptr || source->release == nullptr) {
        raise_value_error("the Arrow array has been read already");
        return nullptr;
    }
    std::vector<Batch> batches;
    PyRef keeper = keep_batch(*source);
    if (!keeper) return nullptr;
    const auto* array = static_cast<const ArrowArray*>(PyCapsule_GetPointer(keeper.get(), BATCH_CAPSULE));
    batches.push_back({std::move(keeper), array});
    return read_batches(*schema, batches);
}

}  // namespace pyvorl

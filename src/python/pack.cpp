#include <string_view>
#include <vector>

#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/convert.hpp"
#include "python/frame_bytes.hpp"
#include "python/functions.hpp"
#include "python/pack_arguments.hpp"
#include "python/py_array_typed.hpp"

namespace pyvorl {
namespace {

struct NamedColumn {
    std::string_view name;  // UTF-8 of the column's str, kept alive by the list copy
    PyArrayTyped data;
};

// Walks a private copy of the column list: it holds every tuple, and so every
// name and array, for as long as their views are in use.
std::optional<std::vector<NamedColumn>> intake_columns(PyObject* items, const DecimalPlaces& places) {
    std::vector<NamedColumn> columns;
    const Py_ssize_t count = PyList_Size(items);
    columns.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyList_GetItem(items, i);
        if (!PyTuple_Check(item)) {
            raise_type_mismatch(item, "tuple");
            return std::nullopt;
        }
        PyObject* name_object = PyTuple_GetItem(item, 0);  // IndexError "tuple index out of range"
        if (name_object == nullptr) return std::nullopt;
        const auto name = utf8_view(name_object);
        if (!name) return std::nullopt;
        PyObject* data = PyTuple_GetItem(item, 1);
        if (data == nullptr) return std::nullopt;
        std::optional<std::uint64_t> decimal_places;
        if (!places.empty()) {
            if (const auto found = places.find(*name); found != places.end()) decimal_places = found->second;
        }
        auto typed = intake_column(data, {IntakePolicy::Specified, decimal_places, name_object, *name});
        if (!typed) return std::nullopt;
        columns.push_back(NamedColumn{*name, std::move(*typed)});
    }
    return columns;
}

}  // namespace

PyObject* pack_table_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_guarded([&]() -> PyObject* {
        const auto arguments = convert_pack_arguments(args, nargs, kwnames);
        if (!arguments) return nullptr;
        PyRef items(PyList_GetSlice(arguments->columns, 0, PyList_Size(arguments->columns)));
        if (!items) return nullptr;
        const auto columns = intake_columns(items.get(), arguments->decimal_places);
        if (!columns) return nullptr;

        vorl::TableRef table{vorl::TABLE_PAYLOAD_MAGIC_VERSION,
                             {},
                             vorl::make_metadata({{"obj", vorl::string_variant(arguments->object_name)}}),
                             false};
        table.fields.reserve(columns->size());
        for (const NamedColumn& column : *columns) table.fields.push_back(column.data.field(column.name));

        PyRef frame = frame_bytes(table, false);
        if (!frame) return nullptr;
        return frame.release();
    });
}

}  // namespace pyvorl

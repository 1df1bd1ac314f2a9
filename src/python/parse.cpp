#include "core/frame.hpp"
#include "python/args.hpp"
#include "python/functions.hpp"
#include "python/parse_arguments.hpp"
#include "python/table_output.hpp"

namespace pyvorl {
namespace {

PyRef metadata_text(const std::optional<vorl::Metadata>& metadata, std::string_view key) {
    const std::string_view text = vorl::metadata_string(metadata, key);
    return PyRef(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

}  // namespace

PyObject* parse_table_frame(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    return run_guarded([&]() -> PyObject* {
        const auto arguments = convert_parse_arguments(args, nargs, kwnames);
        if (!arguments) return nullptr;
        auto table = vorl::unpack_table_frame(arguments->body, true, {.decimals_as_doubles = true});
        if (!table) {
            PyErr_SetString(PyExc_ValueError, table.error().to_string().c_str());
            return nullptr;
        }
        PyRef table_name = metadata_text(table->metadata, "table");
        if (!table_name) return nullptr;
        PyRef object_name = metadata_text(table->metadata, "obj");
        if (!object_name) return nullptr;
        PyRef columns = table_to_py_list(std::move(table).value());
        if (!columns) return nullptr;
        PyRef result(PyTuple_New(3));
        if (!result) return nullptr;
        PyTuple_SetItem(result.get(), 0, table_name.release());
        PyTuple_SetItem(result.get(), 1, object_name.release());
        PyTuple_SetItem(result.get(), 2, columns.release());
        return result.release();
    });
}

}  // namespace pyvorl

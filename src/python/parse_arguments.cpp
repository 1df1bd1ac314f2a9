#include "python/parse_arguments.hpp"

#include <array>

#include "python/args.hpp"
#include "python/convert.hpp"

namespace pyvorl {
namespace {

constexpr const char* parameter_names[] = {"buffer"};
constexpr Signature signature{"parse_table_frame", parameter_names, 1, 1};

}  // namespace

std::optional<ParseArguments> convert_parse_arguments(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> values{};
    if (!parse_arguments(signature, args, nargs, kwnames, values)) return std::nullopt;
    const auto body = bytes_view(values[0]);
    if (!body) {
        prefix_argument_error("buffer");
        return std::nullopt;
    }
    return ParseArguments{*body};
}

}  // namespace pyvorl

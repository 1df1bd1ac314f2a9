#include "python/args.hpp"

#include <algorithm>
#include <string>
#include <vector>

#include "python/handle.hpp"

namespace pyvorl {
namespace {

// 'a' / 'a' and 'b' / 'a', 'b', and 'c'
std::string quoted_name_list(const std::vector<const char*>& names) {
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) text += ",";
            text += i + 1 == names.size() ? " and " : " ";
        }
        text += '\'';
        text += names[i];
        text += '\'';
    }
    return text;
}

bool names_parameter(PyObject* keyword, const char* name) {
    return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

std::size_t find_keyword_parameter(const Signature& signature, PyObject* keyword) {
    for (std::size_t i = signature.positional_only; i < signature.names.size(); ++i) {
        if (names_parameter(keyword, signature.names[i])) return i;
    }
    return signature.names.size();
}

// Positional-only parameters that were given by keyword, in parameter order.
std::vector<const char*> positional_only_given_by_keyword(const Signature& signature, PyObject* kwnames,
                                                          Py_ssize_t nkeywords) {
    std::vector<const char*> names;
    for (std::size_t i = 0; i < signature.positional_only; ++i) {
        for (Py_ssize_t k = 0; k < nkeywords; ++k) {
            if (names_parameter(PyTuple_GetItem(kwnames, k), signature.names[i])) {
                names.push_back(signature.names[i]);
                break;
            }
        }
    }
    return names;
}

void raise_too_many_positional(const Signature& signature, Py_ssize_t given) {
    const char* was = given == 1 ? "was" : "were";
    if (signature.required == signature.names.size()) {
        PyErr_Format(PyExc_TypeError, "%s() takes %zu positional arguments but %zd %s given", signature.function,
                     signature.names.size(), given, was);
    } else {
        PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional arguments but %zd %s given",
                     signature.function, signature.required, signature.names.size(), given, was);
    }
}

void raise_missing(const Signature& signature, const std::vector<const char*>& missing) {
    const std::string names = quoted_name_list(missing);
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional %s: %s", signature.function, missing.size(),
                 missing.size() == 1 ? "argument" : "arguments", names.c_str());
}

}  // namespace

bool parse_arguments(const Signature& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
    const std::size_t parameters = signature.names.size();
    const std::size_t positional = std::min(static_cast<std::size_t>(nargs), parameters);
    std::fill(out.begin(), out.end(), nullptr);
    std::copy_n(args, positional, out.begin());

    // Keywords before the positional count, and the positional-only report at
    // the first keyword that names no parameter: the order Python's own
    // functions check in.
    const Py_ssize_t nkeywords = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
    for (Py_ssize_t k = 0; k < nkeywords; ++k) {
        PyObject* keyword = PyTuple_GetItem(kwnames, k);
        const std::size_t index = find_keyword_parameter(signature, keyword);
        if (index == parameters) {
            const auto misplaced = positional_only_given_by_keyword(signature, kwnames, nkeywords);
            if (!misplaced.empty()) {
                const std::string names = quoted_name_list(misplaced);
                PyErr_Format(PyExc_TypeError, "%s() got some positional-only arguments passed as keyword arguments: %s",
                             signature.function, names.c_str());
            } else {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function,
                             keyword);
            }
            return false;
        }
        if (out[index] != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", signature.function,
                         signature.names[index]);
            return false;
        }
        out[index] = args[nargs + k];
    }

    if (static_cast<std::size_t>(nargs) > parameters) {
        raise_too_many_positional(signature, nargs);
        return false;
    }

    std::vector<const char*> missing;
    for (std::size_t i = 0; i < signature.required; ++i) {
        if (out[i] == nullptr) missing.push_back(signature.names[i]);
    }
    if (!missing.empty()) {
        raise_missing(signature, missing);
        return false;
    }
    return true;
}

void prefix_argument_error(const char* name) {
    PyRef original(PyErr_GetRaisedException());
    // Subclasses of TypeError carry meaning of their own and pass unchanged.
    if (!original || Py_TYPE(original.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        PyErr_SetRaisedException(original.release());
        return;
    }
    // When str() of the original fails, its failure is what the caller sees.
    PyRef message(PyUnicode_FromFormat("argument '%s': %S", name, original.get()));
    if (!message) return;
    PyErr_SetObject(PyExc_TypeError, message.get());
    PyRef cause(PyException_GetCause(original.get()));
    if (!cause) return;
    PyRef replacement(PyErr_GetRaisedException());
    if (replacement) PyException_SetCause(replacement.get(), cause.release());
    PyErr_SetRaisedException(replacement.release());
}

void raise_type_mismatch(PyObject* object, const char* required) {
    if (object == Py_None) {
        PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", required);
        return;
    }
    PyRef type_name(PyType_GetQualName(Py_TYPE(object)));
    if (!type_name) return;
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", type_name.get(), required);
}

void raise_argument_type_mismatch(const char* name, PyObject* object, const char* required) {
    raise_type_mismatch(object, required);
    prefix_argument_error(name);
}

}  // namespace pyvorl

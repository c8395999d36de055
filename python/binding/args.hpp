// Argument parsing for positional-or-keyword arguments, and the converters every
// wrapper uses. Each converter returns false with a Python exception set on failure.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "binding/object.hpp"

namespace vb {

// Where an argument comes from, for error messages: "fname() argument 'arg' ...".
struct ArgName {
  const char* function;
  const char* argument;
};

// Matches fastcall arguments (positional array plus keyword names tuple) against
// `names`; fills `out` with borrowed references, null for optional arguments not given
// (an explicit None counts as not given for optional ones). The first `required` names
// are required.
bool parse_fastcall(const char* function, const char* const* names, std::size_t n, std::size_t required,
                    PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
// The same for a tuple and a dict of keywords (constructors).
bool parse_tuple(const char* function, const char* const* names, std::size_t n, std::size_t required,
                 PyObject* args, PyObject* kwargs, PyObject** out);

template <std::size_t N>
struct Args {
  PyObject* v[N] = {};
  PyObject* operator[](std::size_t i) const { return v[i]; }
};

template <std::size_t N>
bool parse(Args<N>& out, const char* function, const char* const (&names)[N], PyObject* const* args,
           Py_ssize_t nargs, PyObject* kwnames, std::size_t required = N) {
  // The common call, inlined: the required arguments given by position, no optional one.
  if (!kwnames && static_cast<std::size_t>(PyVectorcall_NARGS(nargs)) == required && required <= N) {
    for (std::size_t i = 0; i < N; ++i) out.v[i] = i < required ? args[i] : nullptr;
    return true;
  }
  return parse_fastcall(function, names, N, required, args, nargs, kwnames, out.v);
}
template <std::size_t N>
bool parse(Args<N>& out, const char* function, const char* const (&names)[N], PyObject* args,
           PyObject* kwargs, std::size_t required = N) {
  return parse_tuple(function, names, N, required, args, kwargs, out.v);
}

bool type_error(ArgName where, const char* expected, PyObject* got);

// A Python float, or anything the interpreter converts to one (int, __float__, __index__).
bool to_double(PyObject* o, ArgName where, double& out);
// A non-negative int that fits a machine word; OverflowError when it does not fit.
bool to_index(PyObject* o, ArgName where, std::size_t& out);
// A str, as UTF-8.
bool to_string(PyObject* o, ArgName where, std::string& out);
// A bool (True or False only).
bool to_bool(PyObject* o, ArgName where, bool& out);

// A wrapped object of exactly the class's type.
template <class Cls>
bool to_object(PyObject* o, ArgName where, Object<Cls>*& out) {
  out = cast<Cls>(o);
  return out ? true : type_error(where, Cls::name, o);
}

}  // namespace vb

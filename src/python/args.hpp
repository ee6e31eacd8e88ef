// Argument conversion shared by the constructors and methods: unsigned and
// float options with the "argument 'name': " prefix on conversion failures,
// the parsing of vectorcall methods with one or two parameters or with three
// optional ones, and the split of a class call's keywords into named
// parameters and the rest.
#pragma once

#include <Python.h>

#include <cstdint>
#include <cstring>

#include "python/boundary.hpp"
#include "python/hashed_any.hpp"
#include "python/py_ref.hpp"

namespace quenlor::py {

// Re-raises the current error with the same type and "argument 'name': " in front.
[[noreturn]] inline void throw_prefixed(const char* name) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %S", name, v.get()));
  if (msg) PyErr_SetObject(t.get(), msg.get());
  throw_python_error();
}

// Index protocol to an unsigned machine word (negative: OverflowError).
inline uint64_t to_u64(PyObject* obj, const char* name) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) throw_prefixed(name);
  unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_prefixed(name);
  return v;
}

inline double to_f64(PyObject* obj, const char* name) {
  double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) throw_prefixed(name);
  return v;
}

inline bool given(PyObject* o) noexcept { return o != nullptr && o != Py_None; }

// The number of positional arguments of a vectorcall: `nargsf` without the
// flag in its top bit that lets the callee borrow the slot before `args`
// (PY_VECTORCALL_ARGUMENTS_OFFSET, which 3.10's limited API does not name).
inline Py_ssize_t vectorcall_nargs(size_t nargsf) noexcept {
  return static_cast<Py_ssize_t>(nargsf & ~(size_t{1} << (8 * sizeof(size_t) - 1)));
}

// A vectorcall's arguments as the tuple and dict (null without keywords) of
// the classic convention, for the interpreter's parsers. Throws PythonError.
struct CallArguments {
  PyRef args, kwargs;

  CallArguments(PyObject* const* array, Py_ssize_t nargs, PyObject* kwnames) {
    args = PyRef::steal(PyTuple_New(nargs));
    if (!args) throw_python_error();
    for (Py_ssize_t i = 0; i < nargs; ++i) {
      Py_INCREF(array[i]);
      PyTuple_SetItem(args.get(), i, array[i]);
    }
    if (kwnames == nullptr) return;
    kwargs = PyRef::steal(PyDict_New());
    if (!kwargs) throw_python_error();
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i)
      if (PyDict_SetItem(kwargs.get(), PyTuple_GetItem(kwnames, i), array[nargs + i]) < 0)
        throw_python_error();
  }
};

// The interpreter's keyword parser over a vectorcall's arguments: the slow
// path of the parsers below, which words every error. The parsed objects
// stay alive with the caller's argument array.
template <class... Object>
[[gnu::noinline]] bool parse_by_keywords(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                         const char* format, const char* const* kwlist,
                                         Object*&... out) noexcept {
  try {
    const CallArguments call(args, nargs, kwnames);
    return PyArg_ParseTupleAndKeywords(call.args.get(), call.kwargs.get(), format,
                                       const_cast<char**>(kwlist), &out...) != 0;
  } catch (const PythonError&) {
    return false;
  }
}

struct ParsedPair {
  PyObject* first = nullptr;
  PyObject* second = nullptr;
  bool ok = false;
};
[[gnu::noinline]] inline ParsedPair parse_pair_by_keywords(PyObject* const* args, Py_ssize_t nargs,
                                                           PyObject* kwnames, const char* format,
                                                           const char* const* kwlist) noexcept {
  ParsedPair p;
  p.ok = parse_by_keywords(args, nargs, kwnames, format, kwlist, p.first, p.second);
  return p;
}

// `(first, second=<omitted>)` from a vectorcall, the parameters named by
// `kwlist` ({first, second, nullptr}); `second` stays null when omitted.
// Positional calls need no parsing; anything else (keywords, a wrong count)
// goes through the keyword parser.
[[gnu::always_inline]] inline bool parse_one_or_two(PyObject* const* args, Py_ssize_t nargs,
                                                    PyObject* kwnames, const char* format,
                                                    const char* const* kwlist, PyObject*& first,
                                                    PyObject*& second) {
  if (kwnames == nullptr && (nargs == 1 || nargs == 2)) [[likely]] {
    first = args[0];
    second = nargs == 2 ? args[1] : nullptr;
    return true;
  }
  // The slow path fills locals of its own: were the caller's variables
  // passed, their addresses would keep them on the stack on the fast path.
  const ParsedPair p = parse_pair_by_keywords(args, nargs, kwnames, format, kwlist);
  first = p.first;
  second = p.second;
  return p.ok;
}

// `(first=<omitted>, second=<omitted>, third=<omitted>)` from a vectorcall,
// the parameters named by `kwlist` ({first, second, third, nullptr}); each
// stays null when omitted. Positional arguments and exact-str keywords that
// name a parameter not given yet are taken as they come; anything else (more
// than three positional arguments, an unknown or repeated name, a keyword
// that is not an exact str) goes through the keyword parser.
inline bool parse_three_optional(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                 const char* format, const char* const* kwlist,
                                 PyObject* (&out)[3]) {
  out[0] = out[1] = out[2] = nullptr;
  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_Size(kwnames) : 0;
  const auto by_keywords = [&] {
    out[0] = out[1] = out[2] = nullptr;
    return parse_by_keywords(args, nargs, kwnames, format, kwlist, out[0], out[1], out[2]);
  };
  if (nargs > 3) return by_keywords();
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* name = PyTuple_GetItem(kwnames, i);
    int j = PyUnicode_CheckExact(name) ? 0 : 3;  // a str subclass may compare its own way
    while (j < 3 && PyUnicode_CompareWithASCIIString(name, kwlist[j]) != 0) ++j;
    if (j == 3 || out[j] != nullptr) return by_keywords();
    out[j] = args[nargs + i];
  }
  return true;
}

// `(key, default=None)`: get, pop, setdefault.
[[gnu::always_inline]] inline bool parse_key_default(PyObject* const* args, Py_ssize_t nargs,
                                                     PyObject* kwnames, const char* format,
                                                     PyObject*& key, PyObject*& dflt) {
  static constexpr const char* kwlist[] = {"key", "default", nullptr};
  return parse_one_or_two(args, nargs, kwnames, format, kwlist, key, dflt);
}

// The source parameter of the class call and of update().
inline constexpr const char* kOtherParameter = "other";

// A parameter a keyword may name instead of giving an entry. Its hash is
// computed once: a keyword whose hash differs is not it.
struct ParameterName {
  const char* text;
  Py_hash_t hash;

  static ParameterName of(const char* text) {
    PyRef s = PyRef::steal(PyUnicode_FromString(text));
    if (!s) throw_python_error();
    return {text, hash_or_throw(s.get())};
  }
  // `key` is an exact str hashed to `key_hash`.
  bool named_by(PyObject* key, Py_hash_t key_hash) const noexcept {
    return key_hash == hash && PyUnicode_CompareWithASCIIString(key, text) == 0;
  }
};

// For `f(other=None, **kwargs)`-style signatures: takes at most one positional
// argument or the keyword `other`; the remaining keywords are returned as a
// new dict (null when there are none). `extra`, when non-null, names one more
// keyword-only parameter (the class call's `capacity`) taken out the same way.
struct OtherAndKwargs {
  PyObject* other = nullptr;  // borrowed
  PyObject* extra = nullptr;  // borrowed
  PyRef rest;
};

// Whether `kwargs` has the keyword `name`. The name's str object is made once
// per name (names are string literals, told apart by address).
inline bool has_keyword(PyObject* kwargs, const char* name) {
  static const char* names[4] = {};
  static PyObject* objects[4] = {};
  PyObject* key = nullptr;
  for (int i = 0; i < 4 && key == nullptr; ++i) {
    if (names[i] == name) {
      key = objects[i];
    } else if (names[i] == nullptr) {
      key = PyUnicode_InternFromString(name);
      if (key == nullptr) throw_python_error();
      names[i] = name, objects[i] = key;
    }
  }
  PyRef made;
  if (key == nullptr) {  // more names than slots: no caching
    made = PyRef::steal(PyUnicode_FromString(name));
    if (!made) throw_python_error();
    key = made.get();
  }
  const int found = PyDict_Contains(kwargs, key);
  if (found < 0) throw_python_error();
  return found == 1;
}

// Whether `kwargs` has the keyword `a` or `b` (b may be null). A few keys that
// are all exact str are compared as text, shortest test first, which costs
// less than hashing the names into the dict; other keys (a str subclass may
// define its own equality) and larger dicts take the dict's lookup.
inline bool has_either_keyword(PyObject* kwargs, const char* a, const char* b) {
  const auto by_lookup = [&] {
    return has_keyword(kwargs, a) || (b != nullptr && has_keyword(kwargs, b));
  };
  if (PyDict_Size(kwargs) > 8) return by_lookup();
  const Py_ssize_t len_a = static_cast<Py_ssize_t>(std::strlen(a));
  const Py_ssize_t len_b = b != nullptr ? static_cast<Py_ssize_t>(std::strlen(b)) : -1;
  Py_ssize_t pos = 0;
  PyObject *k, *v;
  while (PyDict_Next(kwargs, &pos, &k, &v)) {
    if (!PyUnicode_CheckExact(k)) return by_lookup();
    const Py_ssize_t n = PyUnicode_GetLength(k);
    if ((n == len_a && PyUnicode_CompareWithASCIIString(k, a) == 0) ||
        (n == len_b && PyUnicode_CompareWithASCIIString(k, b) == 0))
      return true;
  }
  return false;
}

inline OtherAndKwargs split_other_kwargs(const char* fname, PyObject* args, PyObject* kwargs,
                                         const char* extra_name) {
  OtherAndKwargs out;
  Py_ssize_t nargs = args != nullptr ? PyTuple_Size(args) : 0;
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most 1 positional argument (%zd given)", fname,
                 nargs);
    throw_python_error();
  }
  if (nargs == 1) out.other = PyTuple_GetItem(args, 0);
  if (kwargs == nullptr || PyDict_Size(kwargs) == 0) return out;
  // The usual call names neither parameter: every keyword is an entry, and
  // the dict itself serves (the bulk update copes with a dict that changes
  // under its walk).
  if (!has_either_keyword(kwargs, kOtherParameter, extra_name)) {
    out.rest = PyRef::borrow(kwargs);
    return out;
  }
  out.rest = PyRef::steal(PyDict_Copy(kwargs));
  if (!out.rest) throw_python_error();
  auto take = [&](const char* name, PyObject*& slot) {
    PyObject* v = PyDict_GetItemString(out.rest.get(), name);
    if (v == nullptr) return;
    if (slot != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", fname, name);
      throw_python_error();
    }
    slot = v;
    // Keep `slot` alive: `args`/`kwargs` hold it for the whole call.
    if (PyDict_DelItemString(out.rest.get(), name) < 0) throw_python_error();
  };
  // Borrowed values come from `kwargs` too, which outlives the call.
  PyObject* other_kw = nullptr;
  take(kOtherParameter, other_kw);
  if (other_kw != nullptr) {
    if (out.other != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('other') and position (1)",
                   fname);
      throw_python_error();
    }
    out.other = other_kw;
  }
  if (extra_name != nullptr) take(extra_name, out.extra);
  if (PyDict_Size(out.rest.get()) == 0) out.rest = PyRef();
  return out;
}

}  // namespace quenlor::py

// The single place where C++ failures become Python exceptions. Every entry
// point runs its body through `guarded`, so no C++ exception reaches the
// interpreter: allocation failure becomes MemoryError, an internal fatal
// state becomes the panic exception, and PythonError means "a Python
// exception is already set, unwind".
#pragma once

#include <Python.h>

#include <new>

#include "common/errors.hpp"
#include "common/inline_body.hpp"

namespace quenlor::py {

struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Comparisons that read a failure as "not equal" still must not swallow a
// request to stop: Ctrl-C or sys.exit() raised inside a key's __eq__ ends the
// operation instead of being lost.
inline bool error_is_stop_request() noexcept {
  return PyErr_ExceptionMatches(PyExc_KeyboardInterrupt) != 0 ||
         PyErr_ExceptionMatches(PyExc_SystemExit) != 0;
}

// Discards the pending error (if any), unless it is a stop request: that one
// stays set and unwinds as PythonError.
inline void discard_error_unless_stop() {
  if (error_is_stop_request()) throw_python_error();
  PyErr_Clear();
}

// The panic exception class: created once per process, on first use. It
// derives from BaseException so that `except Exception` does not swallow it.
inline PyObject* panic_exception_type() {
  static PyObject* type = PyErr_NewExceptionWithDoc(
      "pyo3_runtime.PanicException",
      "\nThe exception raised when native code called from Python fails fatally.\n\n"
      "Like SystemExit, this exception is derived from BaseException so that\n"
      "it will typically propagate all the way through the stack and cause the\n"
      "Python interpreter to exit.\n",
      PyExc_BaseException, nullptr);
  return type;
}

inline void raise_panic(const char* message) {
  PyObject* type = panic_exception_type();
  if (type != nullptr) PyErr_SetString(type, message);
}

// Runs `body`; on a C++ exception sets the matching Python error and returns
// `on_error`.
template <class R, class F>
[[gnu::always_inline]] inline R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const InternalError& e) {
    raise_panic(e.what());
  } catch (...) {
    raise_panic("unexpected native exception");
  }
  return on_error;
}

}  // namespace quenlor::py

// The key wrapper against a real interpreter, with cached hashes chosen
// freely (keys collide or differ at will, which the Python API cannot
// arrange): which comparisons short-cut, which reach __eq__, and which errors
// of __eq__ end the operation.
#include <Python.h>
#include <gtest/gtest.h>

#include "python/hashed_any.hpp"
#include "python/py_ref.hpp"

// The interpreter keeps some allocations past finalisation; they are not ours.
extern "C" const char* __asan_default_options() { return "detect_leaks=0"; }

namespace quenlor::py {
namespace {

class Interpreter : public testing::Environment {
 public:
  void SetUp() override { Py_InitializeEx(0); }
  void TearDown() override { Py_FinalizeEx(); }
};

[[maybe_unused]] testing::Environment* const kInterpreter =
    testing::AddGlobalTestEnvironment(new Interpreter);

// Classes and counters the tests share, defined once in __main__. Raising
// keys raise `exc` from __eq__ or, with `truth`, from the truth of its answer.
constexpr const char* kPrelude = R"(
class Counting:
    def __init__(self, tag): self.tag = tag
    def __eq__(self, other):
        global eq_calls; eq_calls += 1
        return isinstance(other, Counting) and self.tag == other.tag
    __hash__ = object.__hash__
class SubStr(str):  # claims equality with everything, so a call to it shows
    def __eq__(self, other):
        global eq_calls; eq_calls += 1
        return True
    __hash__ = str.__hash__
class Raising:
    def __init__(self, exc, truth=False): self.exc, self.truth = exc, truth
    def __bool__(self): raise self.exc("from __bool__")
    def __eq__(self, other):
        if self.truth: return Raising(self.exc)
        raise self.exc("from __eq__")
    __hash__ = object.__hash__
)";

class HashedAnyTest : public testing::Test {
 protected:
  void SetUp() override {
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    ASSERT_NE(main, nullptr);
    globals_ = PyModule_GetDict(main);  // borrowed
    if (PyDict_GetItemString(globals_, "Counting") == nullptr) run(kPrelude, Py_file_input);
    run("eq_calls = 0", Py_file_input);
  }

  void TearDown() override { EXPECT_FALSE(PyErr_Occurred()) << "error left set"; }

  // A new reference to the value of `source`; fails the test on error.
  PyRef run(const char* source, int mode = Py_eval_input) {
    PyRef code = PyRef::steal(Py_CompileString(source, "<test>", mode));
    PyRef result = code ? PyRef::steal(PyEval_EvalCode(code.get(), globals_, globals_)) : PyRef();
    if (!result) {
      PyErr_Print();
      ADD_FAILURE() << "Python failed: " << source;
    }
    return result;
  }

  long eq_calls() { return PyLong_AsLong(PyDict_GetItemString(globals_, "eq_calls")); }

  // `stored == probe` through the wrappers, with the given cached hashes.
  static bool equal(PyObject* stored, Py_hash_t hs, PyObject* probe, Py_hash_t hp) {
    HashedAny a = HashedAny::owning(stored, hs);
    ProbeKey b(probe, hp);
    return a == b.get();
  }
  static bool equal(const PyRef& stored, const PyRef& probe, Py_hash_t h = 5) {
    return equal(stored.get(), h, probe.get(), h);
  }

  PyObject* globals_ = nullptr;
};

// The cached hash decides first, then identity; only then __eq__.
TEST_F(HashedAnyTest, CachedHashAndIdentityDecideBeforeEq) {
  PyRef a = run("Counting(1)"), b = run("Counting(1)"), two = run("Counting(2)");
  EXPECT_FALSE(equal(a.get(), 1, b.get(), 2));
  EXPECT_FALSE(equal(a.get(), 1, a.get(), 2));  // even the same object
  PyRef raising = run("Raising(ValueError)"), nan = run("float('nan')");
  EXPECT_TRUE(equal(a, a));
  EXPECT_TRUE(equal(raising, raising));
  EXPECT_TRUE(equal(nan, nan, 0));
  EXPECT_EQ(eq_calls(), 0);
  EXPECT_TRUE(equal(a, b));
  EXPECT_FALSE(equal(a, two, -1));
  EXPECT_EQ(eq_calls(), 2);
}

// Exact strs under one forced hash compare their text; a str subclass goes
// through its __eq__; lone surrogates fall back to __eq__ leaving no error.
TEST_F(HashedAnyTest, StrKeysUnderOneHash) {
  // Distinct objects (built at run time) of equal length.
  PyRef abc = run("''.join(['ab', 'c'])"), abc2 = run("''.join(['a', 'bc'])");
  PyRef abd = run("''.join(['ab', 'd'])"), ab = run("'ab'");
  ASSERT_NE(abc.get(), abc2.get());
  EXPECT_TRUE(equal(abc, abc2));
  EXPECT_FALSE(equal(abc, abd));
  EXPECT_FALSE(equal(abc, ab));  // a common prefix is not enough
  EXPECT_FALSE(equal(ab, abc));
  // Same UTF-8 length, different text; the same text in two normal forms.
  PyRef e_acute = run("'\\u00e9'"), decomposed = run("'e\\u0301'");
  EXPECT_FALSE(equal(e_acute, ab));
  EXPECT_FALSE(equal(e_acute, decomposed));
  EXPECT_EQ(eq_calls(), 0);
  PyRef sub = run("SubStr('x')"), y = run("'y'");
  EXPECT_TRUE(equal(sub, y));  // only SubStr.__eq__ says so
  EXPECT_TRUE(equal(y, sub));
  EXPECT_EQ(eq_calls(), 2);
  PyRef a = run("'\\ud800' + 'x'"), b = run("'\\ud800' + 'x'"), c = run("'\\ud801' + 'x'");
  PyRef ax = run("'ax'");
  ASSERT_NE(a.get(), b.get());
  EXPECT_TRUE(equal(a, b));
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_FALSE(equal(a, c));
  EXPECT_FALSE(equal(a, ax));
  EXPECT_FALSE(equal(ax, a));
}

// Errors from __eq__ or from the truth of its result count as unequal, except
// the stop requests, which stay set and unwind, the wrappers released.
TEST_F(HashedAnyTest, OnlyStopRequestsFromEqUnwind) {
  PyRef other = run("Counting(0)");
  struct Case {
    const char* src;
    PyObject* stop;
  };
  // A stop request from __eq__ and one from the truth of its answer; the
  // Python tests run each error kind through every map operation.
  const Case cases[] = {{"Raising(ValueError)", nullptr},
                        {"Raising(GeneratorExit)", nullptr},
                        {"Raising(KeyboardInterrupt)", PyExc_KeyboardInterrupt},
                        {"Raising(SystemExit, True)", PyExc_SystemExit}};
  for (const Case& c : cases) {
    PyRef key = run(c.src);
    const Py_ssize_t before = Py_REFCNT(key.get());
    if (c.stop == nullptr) {
      EXPECT_FALSE(equal(key, other)) << c.src;
      EXPECT_FALSE(PyErr_Occurred()) << c.src;
      continue;
    }
    EXPECT_THROW(equal(key, other), PythonError) << c.src;
    EXPECT_TRUE(PyErr_ExceptionMatches(c.stop)) << c.src;
    PyErr_Clear();
    EXPECT_EQ(Py_REFCNT(key.get()), before) << c.src << ": wrapper released while unwinding";
  }
}

}  // namespace
}  // namespace quenlor::py

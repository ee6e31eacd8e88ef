// The key wrapper against a real interpreter: which comparisons short-cut,
// which reach __eq__, and what happens to errors and references on the way.
// Cached hashes are chosen freely, so keys collide or differ at will.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>

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

// Classes and counters the tests share, defined once in __main__.
constexpr const char* kPrelude = R"(
eq_calls = 0

class Counting:
    "Equal by tag; counts __eq__ calls."
    def __init__(self, tag):
        self.tag = tag
    def __eq__(self, other):
        global eq_calls
        eq_calls += 1
        return isinstance(other, Counting) and self.tag == other.tag
    __hash__ = object.__hash__

class SubStr(str):
    "Claims equality with everything, so a call to it shows."
    def __eq__(self, other):
        global eq_calls
        eq_calls += 1
        return True
    __hash__ = str.__hash__

class Raising:
    def __init__(self, exc):
        self.exc = exc
    def __eq__(self, other):
        raise self.exc("from __eq__")
    __hash__ = object.__hash__

class BadVerdict:
    def __init__(self, exc):
        self.exc = exc
    def __bool__(self):
        raise self.exc("from __bool__")

class VerdictOf:
    "__eq__ answers with an object whose truth raises."
    def __init__(self, exc):
        self.exc = exc
    def __eq__(self, other):
        return BadVerdict(self.exc)
    __hash__ = object.__hash__
)";

class HashedAnyTest : public testing::Test {
 protected:
  void SetUp() override {
    PyObject* main = PyImport_AddModule("__main__");  // borrowed
    ASSERT_NE(main, nullptr);
    globals_ = PyModule_GetDict(main);  // borrowed
    if (PyDict_GetItemString(globals_, "Counting") == nullptr) run(kPrelude, Py_file_input);
    set_eq_calls(0);
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
  void set_eq_calls(long n) {
    PyRef v = PyRef::steal(PyLong_FromLong(n));
    PyDict_SetItemString(globals_, "eq_calls", v.get());
  }

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

TEST_F(HashedAnyTest, DifferentCachedHashesAreUnequalWithoutCallingEq) {
  PyRef a = run("Counting(1)"), b = run("Counting(1)");
  EXPECT_FALSE(equal(a.get(), 1, b.get(), 2));
  EXPECT_EQ(eq_calls(), 0);
  // Even the same object: the cached hash is compared first.
  EXPECT_FALSE(equal(a.get(), 1, a.get(), 2));
  EXPECT_TRUE(equal(a, b));
  EXPECT_EQ(eq_calls(), 1);
}

TEST_F(HashedAnyTest, ForcedEqualHashesLetEqDecide) {
  PyRef one = run("Counting(1)"), two = run("Counting(2)");
  EXPECT_FALSE(equal(one, two, -1));
  PyRef i1 = run("1"), i2 = run("2");
  EXPECT_FALSE(equal(i1, i2, 0));
  EXPECT_EQ(eq_calls(), 1);
}

TEST_F(HashedAnyTest, IdentityIsEqualWithoutCallingEq) {
  PyRef a = run("Counting(1)");
  EXPECT_TRUE(equal(a, a));
  PyRef raising = run("Raising(ValueError)");
  EXPECT_TRUE(equal(raising, raising));
  PyRef nan = run("float('nan')");
  EXPECT_TRUE(equal(nan, nan, 0));
  EXPECT_EQ(eq_calls(), 0);
}

TEST_F(HashedAnyTest, DistinctNansAreUnequal) {
  PyRef a = run("float('nan')"), b = run("float('nan')");
  ASSERT_NE(a.get(), b.get());
  EXPECT_FALSE(equal(a, b, 0));
}

TEST_F(HashedAnyTest, IntFloatAndBoolOfOneAreEqual) {
  PyRef keys[] = {run("1"), run("1.0"), run("True")};
  for (const PyRef& x : keys)
    for (const PyRef& y : keys) {
      Py_hash_t hx = PyObject_Hash(x.get()), hy = PyObject_Hash(y.get());
      EXPECT_TRUE(equal(x.get(), hx, y.get(), hy));
    }
}

TEST_F(HashedAnyTest, OnlyExactStrIsFlagged) {
  PyRef s = run("'abc'"), sub = run("SubStr('abc')"), n = run("3");
  EXPECT_TRUE(HashedAny::owning(s.get(), 0).is_exact_str());
  EXPECT_FALSE(HashedAny::owning(sub.get(), 0).is_exact_str());
  EXPECT_FALSE(HashedAny::owning(n.get(), 0).is_exact_str());
  HashedAny a = HashedAny::owning(s.get(), 0);
  EXPECT_EQ(a.object(), s.get()) << "the flag bit is masked off";
}

TEST_F(HashedAnyTest, ExactStrsCompareTheirBytes) {
  // Distinct objects (built at run time) of equal length under one forced hash.
  PyRef abc = run("''.join(['ab', 'c'])"), abc2 = run("''.join(['a', 'bc'])");
  PyRef abd = run("''.join(['ab', 'd'])");
  ASSERT_NE(abc.get(), abc2.get());
  EXPECT_TRUE(equal(abc, abc2));
  EXPECT_FALSE(equal(abc, abd));
  EXPECT_FALSE(equal(abd, abc));
  // Same UTF-8 length, different text; and the same text in two normal forms.
  PyRef e_acute = run("'\\u00e9'"), two_ascii = run("'ab'"), decomposed = run("'e\\u0301'");
  EXPECT_FALSE(equal(e_acute, two_ascii));
  EXPECT_FALSE(equal(e_acute, decomposed));
  // A common prefix is not enough.
  PyRef ab = run("'ab'");
  EXPECT_FALSE(equal(abc, ab));
  EXPECT_FALSE(equal(ab, abc));
}

TEST_F(HashedAnyTest, StrSubclassGoesThroughEq) {
  PyRef sub = run("SubStr('x')"), y = run("'y'");
  EXPECT_TRUE(equal(sub, y));  // only SubStr.__eq__ says so
  EXPECT_TRUE(equal(y, sub));
  EXPECT_EQ(eq_calls(), 2);
}

TEST_F(HashedAnyTest, LoneSurrogatesFallBackToEqWithNoErrorLeft) {
  PyRef a = run("'\\ud800' + 'x'"), b = run("'\\ud800' + 'x'"), c = run("'\\ud801' + 'x'");
  ASSERT_NE(a.get(), b.get());
  EXPECT_TRUE(equal(a, b));
  EXPECT_FALSE(PyErr_Occurred());
  EXPECT_FALSE(equal(a, c));
  PyRef plain = run("'ax'");
  EXPECT_FALSE(equal(a, plain));
  EXPECT_FALSE(equal(plain, a));
}

TEST_F(HashedAnyTest, ErrorsFromEqOrItsTruthCountAsUnequal) {
  PyRef other = run("Counting(0)");
  for (const char* src : {"Raising(ValueError)", "VerdictOf(ValueError)", "Raising(Exception)",
                          "Raising(GeneratorExit)"}) {
    PyRef key = run(src);
    EXPECT_FALSE(equal(key, other)) << src;
    EXPECT_FALSE(PyErr_Occurred()) << src;
  }
}

TEST_F(HashedAnyTest, StopRequestsFromEqOrItsTruthStaySetAndUnwind) {
  PyRef other = run("Counting(0)");
  struct Case {
    const char* src;
    PyObject* type;
  };
  const Case cases[] = {{"Raising(KeyboardInterrupt)", PyExc_KeyboardInterrupt},
                        {"Raising(SystemExit)", PyExc_SystemExit},
                        {"VerdictOf(KeyboardInterrupt)", PyExc_KeyboardInterrupt},
                        {"VerdictOf(SystemExit)", PyExc_SystemExit}};
  for (const Case& c : cases) {
    PyRef key = run(c.src);
    Py_ssize_t before = Py_REFCNT(key.get());
    EXPECT_THROW(equal(key, other), PythonError) << c.src;
    EXPECT_TRUE(PyErr_ExceptionMatches(c.type)) << c.src;
    PyErr_Clear();
    EXPECT_EQ(Py_REFCNT(key.get()), before) << c.src << ": wrapper released while unwinding";
  }
}

TEST_F(HashedAnyTest, GuardedPassesAStopRequestThrough) {
  PyRef key = run("Raising(KeyboardInterrupt)"), other = run("Counting(0)");
  int r = guarded(-1, [&] { return equal(key, other) ? 1 : 0; });
  EXPECT_EQ(r, -1);
  EXPECT_TRUE(PyErr_ExceptionMatches(PyExc_KeyboardInterrupt));
  PyErr_Clear();
}

TEST_F(HashedAnyTest, OwningWrappersHoldExactlyOneReference) {
  PyRef key = run("Counting(7)");
  const Py_ssize_t base = Py_REFCNT(key.get());
  {
    HashedAny a = HashedAny::owning(key.get(), 3);
    EXPECT_EQ(Py_REFCNT(key.get()), base + 1);
    HashedAny b = a.clone();
    EXPECT_EQ(b.hash(), 3);
    EXPECT_EQ(Py_REFCNT(key.get()), base + 2);
    HashedAny c(std::move(a));
    EXPECT_EQ(Py_REFCNT(key.get()), base + 2);
    b = std::move(c);  // releases b's own reference
    EXPECT_EQ(Py_REFCNT(key.get()), base + 1);
    ProbeKey p(key.get(), 3);
    EXPECT_EQ(Py_REFCNT(key.get()), base + 1);
    EXPECT_TRUE(b == p.get());
  }
  EXPECT_EQ(Py_REFCNT(key.get()), base);
}

TEST_F(HashedAnyTest, NonBoolEqResultsAreReleased) {
  run(R"(
import weakref
made = freed = 0
class Verdict:
    def __init__(self, value):
        global made
        made += 1
        self.value = value
        def gone():
            global freed
            freed += 1
        weakref.finalize(self, gone)
    def __bool__(self):
        return self.value
class Judged:
    def __init__(self, tag):
        self.tag = tag
    def __eq__(self, other):
        return Verdict(self.tag == other.tag)
    __hash__ = object.__hash__
)",
      Py_file_input);
  PyRef a = run("Judged(1)"), b = run("Judged(1)"), c = run("Judged(2)");
  for (int i = 0; i < 10; ++i) {
    EXPECT_TRUE(equal(a, b));
    EXPECT_FALSE(equal(a, c));
  }
  PyRef made = run("made"), freed = run("freed");
  EXPECT_EQ(PyLong_AsLong(made.get()), 20);
  EXPECT_EQ(PyLong_AsLong(freed.get()), 20);
}

}  // namespace
}  // namespace quenlor::py

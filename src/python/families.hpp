// The two map families: everything that differs between FunnelHashMap and
// ElasticHashMap at the Python level (names, docstrings, the generic map,
// default options and the validation of `with_options`). The rest of the
// Python layer is written once over a family.
#pragma once

#include <Python.h>

#include <cmath>
#include <optional>

#include "elastic/elastic_hash_map.hpp"
#include "funnel/funnel_hash_map.hpp"
#include "python/args.hpp"
#include "python/hashed_any.hpp"
#include "python/py_allocator.hpp"
#include "python/py_ref.hpp"

namespace quenlor::py {

struct ElasticFamily {
  using Map = quenlor::ElasticHashMap<HashedAny, PyRef, quenlor::SeededHasher, PyMemAllocator>;
  using Options = quenlor::ElasticOptions;

  static constexpr const char* kName = "ElasticHashMap";
  static constexpr const char* kQualifiedName = "quenlor.ElasticHashMap";
  static constexpr const char* kDoc =
      "ElasticHashMap(other=None, *, capacity=0, **kwargs)\n--\n\n"
      "A dict-like map that wraps the native elastic-hashing hash map.";
  static constexpr const char* kWithOptionsDoc =
      "with_options($cls, capacity=0, reserve_fraction=None, probe_scale=None)\n--\n\n";
  static constexpr const char* kThirdOption = "probe_scale";
  static constexpr const char* kPrefix = "elastic";
  static constexpr const char* kIterPrefix = "_Elastic";

  static Options default_options(uint64_t capacity) noexcept { return {capacity, 0.1, 16.0}; }

  // Conversion happens in parameter order; validation only after all converted.
  static Options parse_options(PyObject* capacity, PyObject* reserve_fraction, PyObject* third) {
    Options o = default_options(capacity != nullptr ? to_u64(capacity, "capacity") : 0);
    std::optional<double> r, scale;
    if (given(reserve_fraction)) r = to_f64(reserve_fraction, "reserve_fraction");
    if (given(third)) scale = to_f64(third, "probe_scale");
    if (r) {
      if (!(*r > 0.0 && *r < 1.0)) {
        PyErr_SetString(PyExc_ValueError, "reserve_fraction must be in the open interval (0, 1)");
        throw_python_error();
      }
      o.reserve_fraction = *r;
    }
    if (scale) {
      if (*scale <= 0.0) {
        PyErr_SetString(PyExc_ValueError, "probe_scale must be positive");
        throw_python_error();
      }
      o.probe_scale = *scale;
    }
    return o;
  }
};

struct FunnelFamily {
  using Map = quenlor::FunnelHashMap<HashedAny, PyRef, quenlor::SeededHasher, PyMemAllocator>;
  using Options = quenlor::FunnelOptions;

  static constexpr const char* kName = "FunnelHashMap";
  static constexpr const char* kQualifiedName = "quenlor.FunnelHashMap";
  static constexpr const char* kDoc =
      "FunnelHashMap(other=None, *, capacity=0, **kwargs)\n--\n\n"
      "A dict-like map that wraps the native funnel-hashing hash map.";
  static constexpr const char* kWithOptionsDoc =
      "with_options($cls, capacity=0, reserve_fraction=None, primary_probe_limit=None)\n--\n\n";
  static constexpr const char* kThirdOption = "primary_probe_limit";
  static constexpr const char* kPrefix = "funnel";
  static constexpr const char* kIterPrefix = "_Funnel";

  static Options default_options(uint64_t capacity) noexcept {
    Options o;
    o.capacity = capacity;
    o.reserve_fraction = 0.1;
    return o;
  }

  static Options parse_options(PyObject* capacity, PyObject* reserve_fraction, PyObject* third) {
    Options o = default_options(capacity != nullptr ? to_u64(capacity, "capacity") : 0);
    std::optional<double> r;
    std::optional<uint64_t> limit;
    if (given(reserve_fraction)) r = to_f64(reserve_fraction, "reserve_fraction");
    if (given(third)) limit = to_u64(third, "primary_probe_limit");
    if (r) {
      if (!(*r > 0.0 && *r <= 0.125)) {
        PyErr_SetString(PyExc_ValueError,
                        "reserve_fraction must be in (0, 0.125]; FunnelHashMap caps the load "
                        "factor at 1/8 by design");
        throw_python_error();
      }
      o.reserve_fraction = *r;
    }
    if (limit) {
      if (*limit == 0) {
        PyErr_SetString(PyExc_ValueError, "primary_probe_limit must be positive");
        throw_python_error();
      }
      o.primary_probe_limit = *limit;
    }
    return o;
  }
};

}  // namespace quenlor::py

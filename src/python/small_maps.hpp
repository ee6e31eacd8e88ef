// Small map objects kept for reuse. Most maps a program makes are small and
// short lived (parsed records, keyword arguments), and building the smallest
// geometry (the plan, the level records, the one group's block), freeing it
// and the object again is most of what such a map costs. So when a map of
// that geometry dies, a few of the objects are kept with their map emptied
// and given a fresh seed (`renew`), and the next map built with the same
// options is one of them: its map is the one with_options would build, but
// that its one-group table may already be at its full width.
//
// Kept objects are raw memory to the interpreter: no reference to them or to
// their type is held until one is handed out again. The cache is
// process-wide, as the classes are, and only touched with the interpreter
// lock held.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "funnel/funnel_options.hpp"
#include "python/instance.hpp"

namespace quenlor::py {

template <class F>
struct MapObject;

template <class F>
class SmallMaps {
 public:
  using Options = typename F::Options;

  // The smallest geometry: the capacity a map built for a few entries gets.
  static constexpr uint64_t kCapacity = 16;

  // Whether a map built from `options` can be a kept one.
  static bool serves(const Options& o) noexcept {
    if (o.capacity != kCapacity) return false;
    const Options& s = small_options();
    if (o.reserve_fraction != s.reserve_fraction) return false;
    if constexpr (requires { o.primary_probe_limit; })
      return o.primary_probe_limit == s.primary_probe_limit;
    else
      return o.probe_scale == s.probe_scale;
  }

  // A kept object, or null: its map is renewed, the rest (header, counter,
  // borrow flag) is for the caller to set.
  static MapObject<F>* take() noexcept { return count_ == 0 ? nullptr : kept_[--count_]; }

  // Called by the deallocation of `o` instead of releasing its fields: keeps
  // it if its map has the smallest geometry and there is room, and returns
  // whether it did. Emptying the map releases its keys and values, which can
  // run Python code.
  static bool keep(MapObject<F>* o) noexcept {
    return o->inner.capacity() == kCapacity && keep_small(o);
  }

  // Before the first insertion into `map`, new with capacity 0: if its
  // options are those its growth to 16 keeps, takes the map of a kept object
  // instead of growing (the first `m[k] = v` of `cls()`), and frees that
  // object.
  [[gnu::noinline]] static void adopt(typename F::Map& map) noexcept {
    if (count_ == 0 || map.len() != 0 || !has_small_options(map)) return;
    MapObject<F>* kept = kept_[--count_];
    map = std::move(kept->inner);
    std::destroy_at(&kept->inner);
    free_instance_memory<MapObject<F>>(reinterpret_cast<PyObject*>(kept), MapObject<F>::type);
  }

 private:
  static constexpr std::size_t kSlots = 8;

  // The options the class call and growth from 0 give a map for a few
  // entries (the funnel map's probe limit is resolved at the capacity asked
  // for, 0): the only ones kept maps serve.
  static const Options& small_options() noexcept {
    static const Options small = [] {
      Options o = F::default_options(0);
      if constexpr (requires { o.primary_probe_limit; })
        o.primary_probe_limit = resolve_primary_probe_limit(o.primary_probe_limit, 0);
      o.capacity = kCapacity;
      return o;
    }();
    return small;
  }

  // Out of line, so that the deallocation of other maps stays as it was.
  [[gnu::noinline]] static bool keep_small(MapObject<F>* o) noexcept {
    if (count_ == kSlots || !has_small_options(o->inner)) return false;
    o->inner.renew();
    if (count_ == kSlots) return false;  // code run by the release kept others first
    kept_[count_++] = o;
    return true;
  }

  // Whether `m` was built from small_options(), or with a capacity of 0 from
  // the options its growth to 16 keeps.
  static bool has_small_options(const typename F::Map& m) noexcept {
    const Options& s = small_options();
    if (m.reserve_fraction() != s.reserve_fraction) return false;
    if constexpr (requires { s.primary_probe_limit; })
      return m.primary_probe_limit() == *s.primary_probe_limit;
    else
      return m.probe_scale() == s.probe_scale;
  }

  static inline std::array<MapObject<F>*, kSlots> kept_{};
  static inline std::size_t count_ = 0;
};

}  // namespace quenlor::py

// KeyEquals: the key comparison of lookups, in two steps. quick() answers
// without calling out wherever it can (for the Python maps: different cached
// hashes, or the same object) and says Undecided otherwise; operator() is the
// full comparison, which may run arbitrary code (a key's __eq__). The probe
// loops compare quickly and stop at the first undecided candidate, which
// their caller compares in full: a loop that makes no call keeps its state
// in registers, where a call inside it, however rare, sends that state to
// the stack on every step.
#pragma once

#include <concepts>
#include <cstdint>

namespace quenlor {

enum class KeyMatch : uint8_t { Different, Equal, Undecided };

// For key types whose comparison is cheap and needs no second step. A key
// type overloads it (found by argument-dependent lookup) to defer the costly
// cases.
template <class K>
KeyMatch quick_match(const K& stored, const K& key) {
  return stored == key ? KeyMatch::Equal : KeyMatch::Different;
}

template <class K>
struct KeyEquals {
  const K& key;

  bool operator()(const K& stored) const { return stored == key; }
  KeyMatch quick(const K& stored) const { return quick_match(stored, key); }
};

// The full comparison of a search made again after `decided`, the candidate
// a quick search stopped at, turned out not to be the key: that one is
// passed over without asking again.
template <class IsKey, class K>
struct PassingOver {
  const IsKey& is_key;
  const K* decided;

  bool operator()(const K& stored) const { return &stored != decided && is_key(stored); }
};

// An is_key whose answer can be had in two steps (KeyEquals); other
// predicates (identity checks, a caller's own comparison) take one.
template <class IsKey, class K>
concept TwoStepKeyTest = requires(const IsKey& is_key, const K& stored) {
  { is_key.quick(stored) } -> std::same_as<KeyMatch>;
};

}  // namespace quenlor

// What a slot stores: a key and its value, inline. For the Python maps that is
// three machine words (key pointer with its flag bit, cached hash, value pointer).
#pragma once

#include <memory>
#include <optional>
#include <utility>

namespace quenlor {

// Asks for the memory that destroying `x` will write (a reference count,
// say) ahead of time. Nothing by default; owning handles overload it.
template <class X>
void prefetch_release(const X&) noexcept {}

template <class K, class V>
struct Entry {
  K key;
  V value;

  void prefetch_release() const noexcept {
    using quenlor::prefetch_release;
    prefetch_release(key);
    prefetch_release(value);
  }
};

// Gives a stored entry a new value in place and returns the old one; V need
// only be move-constructible.
template <class K, class V>
std::optional<V> replace_value(Entry<K, V>& e, V&& value) noexcept {
  std::optional<V> old(std::in_place, std::move(e.value));
  std::destroy_at(&e.value);
  std::construct_at(&e.value, std::move(value));
  return old;
}

}  // namespace quenlor

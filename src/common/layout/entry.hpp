// What a slot stores: a key and its value, inline. For the Python maps that is
// three machine words (key pointer with its flag bit, cached hash, value pointer).
#pragma once

namespace quenlor {

template <class K, class V>
struct Entry {
  K key;
  V value;
};

}  // namespace quenlor

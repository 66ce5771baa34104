// OrderedMap: an insertion-ordered map with the semantics of a Python dict.
// Box keys, mask dictionaries and area mappings keep the order in which the
// objects were produced, and that order is visible in every table and report.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace pelk {

template <typename K, typename V>
class OrderedMap {
 public:
  using value_type = std::pair<K, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> items) {
    for (const auto& [k, v] : items) insert_or_assign(k, v);
  }

  // Inserts `key` at the end, or replaces its value in place when present
  // (the key keeps its first position, as a Python dict does).
  void insert_or_assign(const K& key, V value) {
    auto it = index_.find(key);
    if (it != index_.end()) {
      items_[it->second].second = std::move(value);
      return;
    }
    index_.emplace(key, items_.size());
    items_.emplace_back(key, std::move(value));
  }

  // Returns the value of `key`; throws std::out_of_range naming the key.
  const V& at(const K& key) const { return items_[position_of(key)].second; }
  V& at(const K& key) { return items_[position_of(key)].second; }

  // Returns true when `key` is present.
  bool contains(const K& key) const { return index_.count(key) != 0; }

  // Removes `key` if present; later entries move up one position.
  bool erase(const K& key) {
    auto it = index_.find(key);
    if (it == index_.end()) return false;
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(it->second));
    rebuild_index();
    return true;
  }

  // Returns the keys in insertion order.
  std::vector<K> keys() const {
    std::vector<K> out;
    out.reserve(items_.size());
    for (const auto& item : items_) out.push_back(item.first);
    return out;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const value_type& operator[](std::size_t position) const { return items_.at(position); }
  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }

  friend bool operator==(const OrderedMap& a, const OrderedMap& b) { return a.items_ == b.items_; }

 private:
  std::size_t position_of(const K& key) const {
    auto it = index_.find(key);
    if (it == index_.end()) throw std::out_of_range("key not found: " + describe(key));
    return it->second;
  }
  static std::string describe(const K& key) {
    if constexpr (std::is_convertible_v<K, std::string>) {
      return "'" + std::string(key) + "'";
    } else if constexpr (std::is_arithmetic_v<K>) {
      return std::to_string(key);
    } else {
      return "<key>";
    }
  }
  void rebuild_index() {
    index_.clear();
    for (std::size_t i = 0; i < items_.size(); ++i) index_.emplace(items_[i].first, i);
  }

  std::vector<value_type> items_;
  std::unordered_map<K, std::size_t> index_;
};

}  // namespace pelk

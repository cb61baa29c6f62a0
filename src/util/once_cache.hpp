#pragma once
// OnceCache<Key, Value>: a memo shared between threads in which every key's value is computed once.
// A lock guards only finding or inserting the key's cell; the first caller computes the value outside
// the lock, callers of the same key meanwhile wait for that one computation, and different keys
// compute in parallel. Entries are never removed or iterated, so the hash seed affects no result.

#include <memory>
#include <mutex>
#include <utility>

#include <absl/container/flat_hash_map.h>

namespace ostrand {

template <class Key, class Value>
class OnceCache {
 public:
  OnceCache() = default;
  OnceCache(const OnceCache&) = delete;
  OnceCache& operator=(const OnceCache&) = delete;

  // The value of `key`, computed by `compute()` on the first request.
  template <class Compute>
  [[nodiscard]] Value get(Key key, Compute&& compute) const {
    std::shared_ptr<Cell> cell;
    {
      const std::lock_guard lock(mutex_);
      auto [entry, inserted] = cells_.try_emplace(std::move(key), nullptr);
      if (inserted) entry->second = std::make_shared<Cell>();
      cell = entry->second;
    }
    std::call_once(cell->once, [&] { cell->value = std::forward<Compute>(compute)(); });
    return cell->value;
  }

 private:
  // Filled once by the first caller of its key; never changed afterwards.
  struct Cell {
    std::once_flag once;
    Value value;
  };

  mutable std::mutex mutex_;
  mutable absl::flat_hash_map<Key, std::shared_ptr<Cell>> cells_;
};

}  // namespace ostrand

#pragma once
// Box<T>: one heap-held T that behaves as a plain value (deep copy, equality and hashing of the
// held value). It lets recursive records (a repeat operation holding a region of operations) stay
// plain values.

#include <memory>
#include <utility>

#include "util/check.hpp"

namespace ostrand {

template <class T>
class Box {
 public:
  Box() : held_(std::make_unique<T>()) {}
  Box(T value) : held_(std::make_unique<T>(std::move(value))) {}  // NOLINT: implicit by design
  Box(const Box& other) : held_(std::make_unique<T>(*other.held_)) {}
  Box(Box&& other) noexcept : held_(std::move(other.held_)) {}
  Box& operator=(const Box& other) {
    if (this != &other) held_ = std::make_unique<T>(*other.held_);
    return *this;
  }
  Box& operator=(Box&& other) noexcept {
    held_ = std::move(other.held_);
    return *this;
  }
  ~Box() = default;

  [[nodiscard]] const T& get() const {
    OSTRAND_CHECK(held_ != nullptr, "use of a moved-from Box");
    return *held_;
  }
  [[nodiscard]] T& get() {
    OSTRAND_CHECK(held_ != nullptr, "use of a moved-from Box");
    return *held_;
  }
  const T& operator*() const { return get(); }
  T& operator*() { return get(); }
  const T* operator->() const { return &get(); }
  T* operator->() { return &get(); }

  friend bool operator==(const Box& a, const Box& b) { return a.get() == b.get(); }

  template <class H>
  friend H AbslHashValue(H h, const Box& b) {
    return H::combine(std::move(h), b.get());
  }

 private:
  std::unique_ptr<T> held_;
};

template <class W, class T>
void debug_write(W& w, const Box<T>& b) {
  w.value(b.get());
}

}  // namespace ostrand

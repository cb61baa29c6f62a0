#pragma once
// Identifiers of the compute graph and the tensor shape type shared with the tensor formats.

#include <compare>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <utility>

#include "util/debug.hpp"
#include "util/small_vector.hpp"

namespace ostrand::graph {

// One value of the graph. Inputs and operation results share one counter, from 0 in creation order.
struct ValueId {
  std::uint32_t number = 0;
  auto operator<=>(const ValueId&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ValueId& v) {
    return H::combine(std::move(h), v.number);
  }
};

// One operation of the graph, numbered from 0 in creation order by its own counter.
struct OperationId {
  std::uint32_t number = 0;
  auto operator<=>(const OperationId&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const OperationId& v) {
    return H::combine(std::move(h), v.number);
  }
};

// An index into the graph's list of value sequences.
struct ValueSequenceId {
  std::uint32_t number = 0;
  auto operator<=>(const ValueSequenceId&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const ValueSequenceId& v) {
    return H::combine(std::move(h), v.number);
  }
};

inline void debug_write(DebugWriter& w, const ValueId& v) {
  w.tuple("ValueId", v.number);
}
inline void debug_write(DebugWriter& w, const OperationId& v) {
  w.tuple("OperationId", v.number);
}
inline void debug_write(DebugWriter& w, const ValueSequenceId& v) {
  w.tuple("ValueSequenceId", v.number);
}

// Dimension extents, outermost first. Ordinary ranks are held inline.
using Extents = SmallVector<std::uint32_t, 6>;

struct TensorShape {
  Extents extents;

  TensorShape() = default;
  TensorShape(std::initializer_list<std::uint32_t> e) : extents(e) {}
  explicit TensorShape(Extents e) : extents(std::move(e)) {}
  explicit TensorShape(std::span<const std::uint32_t> e) : extents(e.begin(), e.end()) {}

  [[nodiscard]] std::size_t rank() const { return extents.size(); }
  [[nodiscard]] std::uint32_t operator[](std::size_t axis) const { return extents[axis]; }
  [[nodiscard]] auto begin() const { return extents.begin(); }
  [[nodiscard]] auto end() const { return extents.end(); }
  [[nodiscard]] std::span<const std::uint32_t> view() const { return {extents.data(), extents.size()}; }

  bool operator==(const TensorShape&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const TensorShape& s) {
    return H::combine(std::move(h), s.extents);
  }
};

inline void debug_write(DebugWriter& w, const TensorShape& s) {
  w.tuple("TensorShape", s.extents);
}

}  // namespace ostrand::graph

#pragma once
// Staging and accumulation choices shared by operator plans and mid-level programs.

#include <cstdint>
#include <variant>

#include "util/debug.hpp"
#include "util/hash.hpp"

namespace ostrand::mid {

// How a sum over partial results is staged: all partials at once, one at a time, or in batches.
struct Complete {
  bool operator==(const Complete&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Complete&) {
    return h;
  }
};
struct Streamed {
  bool operator==(const Streamed&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Streamed&) {
    return h;
  }
};
struct Batched {
  std::uint16_t count = 0;
  bool operator==(const Batched&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Batched& v) {
    return H::combine(std::move(h), v.count);
  }
};

struct ReductionStaging : std::variant<Complete, Streamed, Batched> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const ReductionStaging& v) {
    return hash_variant(std::move(h), v);
  }
};

// The precision partial products are accumulated in.
enum class AccumulationPrecision : std::uint8_t { F16, F32 };

inline void debug_write(DebugWriter& w, const Complete&) {
  w.raw("Complete");
}
inline void debug_write(DebugWriter& w, const Streamed&) {
  w.raw("Streamed");
}
inline void debug_write(DebugWriter& w, const Batched& v) {
  w.tuple("Batched", v.count);
}
inline void debug_write(DebugWriter& w, const ReductionStaging& v) {
  w.variant(v);
}
inline void debug_write(DebugWriter& w, AccumulationPrecision v) {
  w.raw(v == AccumulationPrecision::F16 ? "F16" : "F32");
}

}  // namespace ostrand::mid

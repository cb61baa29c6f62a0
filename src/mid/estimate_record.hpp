#pragma once
// The estimate a mid-level program carries once it has been estimated: total cycles, total exchange
// and the per-tile memory peaks. The record lives with the program; the estimation layer fills it.

#include <cstdint>
#include <utility>

#include "util/debug.hpp"

namespace ostrand::mid {

// Per-tile memory peaks of one run of a program (bytes, except `exchange_rows`).
struct MemoryPeaks {
  // Largest standard-memory bytes on one device tile at any point (live values and temporaries).
  std::uint64_t standard = 0;
  // The same for interleaved memory.
  std::uint64_t interleaved = 0;
  // Largest sum of both classes on one device tile at one point (not the sum of the two peaks).
  std::uint64_t total = 0;
  // Exchange rows of every executed operation, not multiplied by repeat counts.
  std::uint64_t exchange_rows = 0;
  // Largest single standard-memory allocation on one tile: a live storage group or a temporary.
  std::uint64_t maximum_standard_allocation = 0;

  bool operator==(const MemoryPeaks&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MemoryPeaks& v) {
    return H::combine(std::move(h), v.standard, v.interleaved, v.total, v.exchange_rows,
                      v.maximum_standard_allocation);
  }
};

struct MidEstimate {
  std::uint64_t cycles = 0;
  std::uint64_t exchange = 0;
  MemoryPeaks memory;

  bool operator==(const MidEstimate&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidEstimate& v) {
    return H::combine(std::move(h), v.cycles, v.exchange, v.memory);
  }
};

void debug_write(DebugWriter& w, const MemoryPeaks& v);
void debug_write(DebugWriter& w, const MidEstimate& v);

}  // namespace ostrand::mid

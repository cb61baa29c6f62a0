#include "mid/estimate_record.hpp"

namespace ostrand::mid {

void debug_write(DebugWriter& w, const MemoryPeaks& v) {
  w.record("MemoryPeaks")
      .field("standard", v.standard)
      .field("interleaved", v.interleaved)
      .field("total", v.total)
      .field("exchange_rows", v.exchange_rows)
      .field("maximum_standard_allocation", v.maximum_standard_allocation);
}

void debug_write(DebugWriter& w, const MidEstimate& v) {
  w.record("MidEstimate").field("cycles", v.cycles).field("exchange", v.exchange).field("memory", v.memory);
}

}  // namespace ostrand::mid

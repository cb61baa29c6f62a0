#pragma once
// The public API of ostrand in one include.

#include "compile/config.hpp"       // IWYU pragma: export
#include "estimate/cost_model.hpp"  // IWYU pragma: export
#include "estimate/mid.hpp"         // IWYU pragma: export
#include "estimate/tensor.hpp"      // IWYU pragma: export
#include "estimate/traffic.hpp"     // IWYU pragma: export
#include "graph/error.hpp"          // IWYU pragma: export
#include "graph/graph.hpp"          // IWYU pragma: export
#include "graph/ids.hpp"            // IWYU pragma: export
#include "graph/operation.hpp"      // IWYU pragma: export
#include "graph/shape.hpp"          // IWYU pragma: export
#include "kernel/cast.hpp"          // IWYU pragma: export
#include "kernel/cost.hpp"          // IWYU pragma: export
#include "mid/error.hpp"            // IWYU pragma: export
#include "mid/estimate_record.hpp"  // IWYU pragma: export
#include "mid/kernel_spec.hpp"      // IWYU pragma: export
#include "mid/program.hpp"          // IWYU pragma: export
#include "mid/staging.hpp"          // IWYU pragma: export
#include "mid/validate.hpp"         // IWYU pragma: export
#include "planner/cache.hpp"        // IWYU pragma: export
#include "planner/catalogue.hpp"    // IWYU pragma: export
#include "planner/fragments.hpp"    // IWYU pragma: export
#include "planner/gemm.hpp"         // IWYU pragma: export
#include "planner/layernorm.hpp"    // IWYU pragma: export
#include "planner/operator.hpp"     // IWYU pragma: export
#include "storage/matrix.hpp"       // IWYU pragma: export
#include "tensor/error.hpp"         // IWYU pragma: export
#include "tensor/format.hpp"        // IWYU pragma: export
#include "tensor/layout.hpp"        // IWYU pragma: export
#include "tensor/owners.hpp"        // IWYU pragma: export
#include "tensor/resolved.hpp"      // IWYU pragma: export
#include "util/debug.hpp"           // IWYU pragma: export
#include "util/event.hpp"           // IWYU pragma: export
#include "util/saturating.hpp"      // IWYU pragma: export

#pragma once
// Mid-level programs: the per-tile work that realises one operator plan or a fused chain of plans.
// Every value is a fully laid-out tensor with an owner map; every operation is a rearrangement, a
// per-tile computation or a counted loop over a nested region. Programs are plain data: built by
// appending, then estimated once, then shared read-only as std::shared_ptr<const MidProgram>.

#include <compare>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "graph/ids.hpp"
#include "graph/operation.hpp"
#include "mid/error.hpp"
#include "mid/estimate_record.hpp"
#include "mid/kernel_spec.hpp"
#include "mid/staging.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"
#include "tensor/owners.hpp"
#include "util/box.hpp"
#include "util/debug.hpp"
#include "util/hash.hpp"

namespace ostrand::mid {

// Index into a program's value list; a value's identifier equals its position.
struct MidValueId {
  std::uint32_t number = 0;
  auto operator<=>(const MidValueId&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidValueId& v) {
    return H::combine(std::move(h), v.number);
  }
};

struct MidInput {
  std::string name;
  MidValueId value;
  // Keep the value live to the end of the program, like an output.
  bool retained = false;

  bool operator==(const MidInput&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidInput& v) {
    return H::combine(std::move(h), v.name, v.value, v.retained);
  }
};

struct MidValue {
  tensor::TensorType tensor;
  tensor::OwnerMap owners;
  MidValueId id;
  // The graph value carried when a program is assembled from search values; 0 for fragment values.
  std::uint32_t graph_value = 0;
  MidValueId canonical;

  bool operator==(const MidValue&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidValue& v) {
    return H::combine(std::move(h), v.tensor, v.owners, v.id, v.graph_value, v.canonical);
  }
};

// Where inside a fragment an operation was emitted: a role path and coordinates.
struct LocalSite {
  std::string role;
  std::vector<std::uint32_t> coordinates;

  LocalSite() = default;
  explicit LocalSite(std::string role_text) : role(std::move(role_text)) {}
  LocalSite(std::string role_text, std::vector<std::uint32_t> coordinate_list)
      : role(std::move(role_text)), coordinates(std::move(coordinate_list)) {}

  // The site with `coordinate` appended.
  [[nodiscard]] LocalSite at(std::uint32_t coordinate) && {
    coordinates.push_back(coordinate);
    return std::move(*this);
  }
  [[nodiscard]] LocalSite at(std::uint32_t coordinate) const& { return LocalSite(*this).at(coordinate); }

  // A nested site "role/name" with the same coordinates.
  [[nodiscard]] LocalSite child(std::string_view name) const;

  auto operator<=>(const LocalSite&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const LocalSite& v) {
    return H::combine(std::move(h), v.role, v.coordinates);
  }
};

// One piece of work of one graph operation; unique within a program. Ordered source first.
struct WorkSite {
  graph::OperationId source;
  LocalSite local;

  auto operator<=>(const WorkSite&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const WorkSite& v) {
    return H::combine(std::move(h), v.source, v.local);
  }
};

// Restricts one axis of an operand to [start, end).
struct AxisRange {
  std::uint16_t axis = 0;
  std::uint32_t start = 0;
  std::uint32_t end = 0;

  bool operator==(const AxisRange&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const AxisRange& v) {
    return H::combine(std::move(h), v.axis, v.start, v.end);
  }
};

// The part of an operand an operation reads; no ranges means the whole operand.
struct OperandWindow {
  std::vector<AxisRange> ranges;

  [[nodiscard]] bool whole() const { return ranges.empty(); }

  bool operator==(const OperandWindow&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const OperandWindow& v) {
    return H::combine(std::move(h), v.ranges);
  }
};

// (output index, input index): the output is stored in the storage of that input.
using Aliases = std::vector<std::pair<std::size_t, std::size_t>>;

// How a kernel operand is read.
namespace indexing {
// Broadcast to the shape of output `output` of the same operation, trailing axes aligned.
struct Broadcast {
  std::size_t output = 0;
  bool operator==(const Broadcast&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Broadcast& v) {
    return H::combine(std::move(h), v.output);
  }
};
struct Windowed {
  OperandWindow window;
  bool operator==(const Windowed&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Windowed& v) {
    return H::combine(std::move(h), v.window);
  }
};
void debug_write(DebugWriter& w, const Broadcast& v);
void debug_write(DebugWriter& w, const Windowed& v);
}  // namespace indexing

struct OperandIndexing : std::variant<indexing::Broadcast, indexing::Windowed> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const OperandIndexing& v) {
    return hash_variant(std::move(h), v);
  }
};

// --- Compute -------------------------------------------------------------------------------------

// A multiply-accumulate of the first two inputs.
struct Product {
  OperandWindow left;
  OperandWindow right;
  Aliases aliases;
  // Entries along the contracted dimension and output columns that carry data; the rest is padding.
  std::optional<std::uint32_t> inner_limit;
  std::optional<std::uint32_t> column_limit;
  tensor::TensorAxis left_axis;
  tensor::TensorAxis right_axis;
  tensor::TensorAxis output_axis;
  std::uint32_t inner_block = 0;
  std::uint32_t output_column_block = 0;
  tensor::Precision multiply;
  AccumulationPrecision accumulate = AccumulationPrecision::F32;
  bool accumulate_into_output = false;

  bool operator==(const Product&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Product& v) {
    return H::combine(std::move(h), v.left, v.right, v.aliases, hashed(v.inner_limit), hashed(v.column_limit),
                      v.left_axis, v.right_axis, v.output_axis, v.inner_block, v.output_column_block,
                      v.multiply, v.accumulate, v.accumulate_into_output);
  }
};

// A per-tile kernel; `operands` pair in order with the operation's first inputs.
struct Kernel {
  std::vector<OperandIndexing> operands;
  Aliases aliases;
  TileKernelSpec spec;

  bool operator==(const Kernel&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Kernel& v) {
    return H::combine(std::move(h), v.operands, v.aliases, v.spec);
  }
};

// A sum of the input over `axis`; the output has the input's shape without that axis.
struct Reduce {
  ReductionStaging staging;
  std::uint16_t axis = 0;

  bool operator==(const Reduce&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Reduce& v) {
    return H::combine(std::move(h), v.staging, v.axis);
  }
};

struct Compute : std::variant<Product, Kernel, Reduce> {
  using variant::variant;
  template <class H>
  friend H AbslHashValue(H h, const Compute& v) {
    return hash_variant(std::move(h), v);
  }
};

// --- Operation kinds -----------------------------------------------------------------------------

// Moves or re-lays-out one value into one output of the same precision.
struct Rearrange {
  // Per-axis start offsets into the input; empty or all zero means none.
  std::vector<std::uint32_t> offsets;
  std::optional<graph::AxisFactorView> view;
  bool redistribute = false;
  // Carried for equality only; nothing gives it a meaning.
  bool reserved = false;
  // Moves no data between tiles.
  bool alias = false;

  bool operator==(const Rearrange&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Rearrange& v) {
    return H::combine(std::move(h), v.offsets, hashed(v.view), v.redistribute, v.reserved, v.alias);
  }
};

struct MidRegion;

// A counted loop. The operation's inputs are the carried inputs followed by the invariant inputs;
// the body's arguments are those inputs followed by one argument per iterated input, and it yields
// the next carried values; the operation's outputs are the final carried values.
struct Repeat {
  // One list per iterated input: the value for each iteration.
  std::vector<std::vector<MidValueId>> iterated;
  Box<MidRegion> body;
  std::size_t carried = 0;
  std::size_t invariant = 0;
  std::uint32_t count = 0;

  bool operator==(const Repeat&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const Repeat& v) {
    return H::combine(std::move(h), v.iterated, v.body, v.carried, v.invariant, v.count);
  }
};

struct MidOperationKind : std::variant<Rearrange, Compute, Repeat> {
  using variant::variant;

  template <class T>
  [[nodiscard]] const T* get_if() const {
    return std::get_if<T>(static_cast<const variant*>(this));
  }
  // The compute alternative T (Product, Kernel or Reduce), if this is one.
  template <class T>
  [[nodiscard]] const T* compute_if() const {
    const Compute* compute = get_if<Compute>();
    return compute == nullptr ? nullptr : std::get_if<T>(static_cast<const Compute::variant*>(compute));
  }

  template <class H>
  friend H AbslHashValue(H h, const MidOperationKind& v) {
    return hash_variant(std::move(h), v);
  }
};

struct MidOperation {
  std::vector<MidValueId> inputs;
  std::vector<MidValueId> outputs;
  std::optional<LocalSite> site;
  MidOperationKind kind;
  // The graph operation the work belongs to.
  std::optional<graph::OperationId> source;

  bool operator==(const MidOperation&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidOperation& v) {
    return H::combine(std::move(h), v.inputs, v.outputs, hashed(v.site), v.kind, hashed(v.source));
  }
};

struct MidRegion {
  std::vector<MidValueId> arguments;
  std::vector<MidOperation> operations;
  std::vector<MidValueId> yields;

  bool operator==(const MidRegion&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidRegion& v) {
    return H::combine(std::move(h), v.arguments, v.operations, v.yields);
  }
};

// --- Programs ------------------------------------------------------------------------------------

// A program's top level is a region whose arguments are the input values, whose operations are
// `operations` and whose yields are `outputs`.
struct MidProgram {
  std::vector<MidInput> inputs;
  std::vector<MidValue> values;
  std::vector<MidOperation> operations;
  std::vector<MidValueId> outputs;
  // Written only by the estimation layer's refresh_estimates.
  std::optional<MidEstimate> estimates;
  std::uint16_t device_tiles = 0;

  // Appends a value whose identifier and canonical value are its position, and returns it.
  MidValueId add_value(tensor::TensorType tensor, tensor::OwnerMap owners = {},
                       std::uint32_t graph_value = 0);

  // The value with identifier `id`; the identifier must name a value (checked).
  [[nodiscard]] const MidValue& value(MidValueId id) const;

  // Checks the program's invariants; returns the first fault found.
  [[nodiscard]] std::expected<void, MidValidationError> validate() const;

  bool operator==(const MidProgram&) const = default;
  template <class H>
  friend H AbslHashValue(H h, const MidProgram& v) {
    return H::combine(std::move(h), v.inputs, v.values, v.operations, v.outputs, hashed(v.estimates),
                      v.device_tiles);
  }
};

// Programs are immutable once built and shared between their holders.
using SharedMidProgram = std::shared_ptr<const MidProgram>;

void debug_write(DebugWriter& w, const MidValueId& v);
void debug_write(DebugWriter& w, const MidInput& v);
void debug_write(DebugWriter& w, const MidValue& v);
void debug_write(DebugWriter& w, const LocalSite& v);
void debug_write(DebugWriter& w, const WorkSite& v);
void debug_write(DebugWriter& w, const AxisRange& v);
void debug_write(DebugWriter& w, const OperandWindow& v);
void debug_write(DebugWriter& w, const OperandIndexing& v);
void debug_write(DebugWriter& w, const Product& v);
void debug_write(DebugWriter& w, const Kernel& v);
void debug_write(DebugWriter& w, const Reduce& v);
void debug_write(DebugWriter& w, const Compute& v);
void debug_write(DebugWriter& w, const Rearrange& v);
void debug_write(DebugWriter& w, const Repeat& v);
void debug_write(DebugWriter& w, const MidOperationKind& v);
void debug_write(DebugWriter& w, const MidOperation& v);
void debug_write(DebugWriter& w, const MidRegion& v);
void debug_write(DebugWriter& w, const MidProgram& v);

}  // namespace ostrand::mid

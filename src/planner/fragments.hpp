#pragma once
// The fragment builder: the append-only API with which one operator plan is lowered into a
// mid-level program of per-tile work. A fragment starts with one value per plan input (input i is
// value i), grows by appending values and operations in execution order, and is finished by naming
// its single result, sizing the device and estimating the program. Also the mid-layer helpers that
// layout conversions and fusion use to reason about casts and element-wise kernels.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "mid/kernel_spec.hpp"
#include "mid/program.hpp"
#include "planner/operator.hpp"
#include "tensor/format.hpp"
#include "tensor/layout.hpp"

namespace ostrand::planner {

using mid::MidValueId;

// A lowered plan: the finished, estimated program, or nothing when the plan cannot be lowered.
// A present fragment never holds a null pointer.
using Fragment = std::optional<mid::SharedMidProgram>;

// Where an operation is emitted: a full site, or a plain role without coordinates.
struct Site {
  mid::LocalSite local;

  Site(mid::LocalSite site) : local(std::move(site)) {}  // NOLINT(google-explicit-constructor)
  Site(const char* role) : local(std::string(role)) {}   // NOLINT(google-explicit-constructor)
  Site(std::string role) : local(std::move(role)) {}     // NOLINT(google-explicit-constructor)
};

// One output of a compute: its type and, optionally, an existing value whose storage it takes over.
struct ComputeOutput {
  tensor::TensorType type;
  std::optional<MidValueId> reuse;
};

class FragmentBuilder {
 public:
  // Starts a fragment: one value and one (unnamed, not retained) program input per input type, so
  // that input i of the plan is value i.
  explicit FragmentBuilder(std::span<const tensor::TensorType> inputs = {});

  // A new value of `type` with the identity owner map.
  MidValueId value(tensor::TensorType type);

  // Appends one operation defining one new value per output type; returns them in order.
  std::vector<MidValueId> emit(Site site, std::vector<MidValueId> inputs,
                               std::span<const tensor::TensorType> outputs, mid::MidOperationKind kind);
  std::vector<MidValueId> emit(Site site, std::vector<MidValueId> inputs, const tensor::TensorType& output,
                               mid::MidOperationKind kind);

  // Appends a compute. An output that reuses a value records the alias (output position, input
  // position) and reads that value as a further input.
  std::vector<MidValueId> compute(Site site, std::vector<MidValueId> inputs,
                                  std::span<const ComputeOutput> outputs, mid::Compute compute);

  // Appends a per-tile kernel with one output, optionally stored in the storage of `reuse`.
  MidValueId kernel(Site site, std::vector<MidValueId> inputs, tensor::TensorType output,
                    mid::TileKernelSpec spec, std::optional<MidValueId> reuse,
                    std::vector<mid::OperandIndexing> operands);

  // `value` in the `target` type: the value itself when there is no offset and it already has the
  // target's precision, element order, memory class and distribution; otherwise a rearrangement.
  MidValueId materialize(Site site, MidValueId value, const tensor::TensorType& target,
                         std::vector<std::uint32_t> offsets, bool redistribute);

  // `value` in `precision`: the value itself when it already has it, otherwise a cast kernel.
  MidValueId cast(Site site, MidValueId value, const tensor::Precision& precision);

  // The type of an existing value.
  [[nodiscard]] const tensor::TensorType& type(MidValueId value) const;

  // The program built so far.
  [[nodiscard]] const mid::MidProgram& program() const { return program_; }

  // Finishes the fragment with `result` as its single output: nothing when the program has no
  // values, fails validation or cannot be estimated.
  [[nodiscard]] Fragment finish(MidValueId result) &&;

 private:
  mid::MidProgram program_;
};

// The layout in which a cast kernel can process a value of `type`, if any.
[[nodiscard]] std::optional<tensor::Layout> cast_layout(const tensor::TensorType& type);

// The layout in which a producer should emit a value of `type` so that it casts cheaply into
// `target`, if any.
[[nodiscard]] std::optional<tensor::Layout> producer_layout(const tensor::TensorType& type,
                                                            const tensor::TensorFormat& target);

// Whether a kernel of `spec` may absorb operands of types `first` and `second` writing `output`:
// an F16 row-major element-wise kernel whose first operand has the output's form, with a second
// operand of the output's form (AddLayerNorm) or a bias along the last axis (BiasGelu).
[[nodiscard]] bool compatible_fusion(const mid::TileKernelSpec& spec, const tensor::TensorType& first,
                                     const tensor::TensorType& second, const tensor::TensorType& output);

// Lowers `plan` for concrete input types (in operand order) and output type into a finished,
// estimated program; nothing when the plan cannot be lowered for them. Call it through the
// fragment cache, which builds every key once.
[[nodiscard]] Fragment build_fragment(const OperatorPlan& plan, std::span<const tensor::TensorType> inputs,
                                      const tensor::TensorType& output);

}  // namespace ostrand::planner

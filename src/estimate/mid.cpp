#include "estimate/mid.hpp"

#include <algorithm>
#include <limits>

#include "estimate/tensor.hpp"
#include "estimate/traffic.hpp"
#include "kernel/cast.hpp"
#include "kernel/cost.hpp"
#include "mid/validate.hpp"
#include "tensor/resolved.hpp"
#include "util/event.hpp"
#include "util/overloaded.hpp"
#include "util/saturating.hpp"

namespace ostrand::estimate {

namespace {

using mid::MidOperation;
using mid::MidProgram;
using mid::MidValue;
using mid::MidValueId;
using tensor::MemoryClass;
using tensor::TensorType;

constexpr std::string_view event_target = "ostrand::estimate::mid";

// Staging buffer of an in-place 8-bit cast, per shard box of the cast value.
constexpr std::uint64_t cast_staging_bytes = 32768;
// Accumulators are allocated in whole granules of their memory class.
constexpr std::uint64_t standard_granule = 16384;
constexpr std::uint64_t interleaved_granule = 32768;

bool is_f8(const tensor::Precision& p) {
  return std::holds_alternative<tensor::F8F143>(p);
}
bool is_f16(const tensor::Precision& p) {
  return std::holds_alternative<tensor::F16>(p);
}

// Bytes of the largest tile of a value; saturated when its layout does not resolve.
std::uint64_t per_tile_bytes(const TensorType& tensor) {
  return maximum_shard_bytes(tensor);
}

const MidValue* value_at(std::span<const MidValue> values, MidValueId id) {
  return id.number < values.size() ? &values[id.number] : nullptr;
}

// A Cast from F16 to F8F143 written into its own input's storage.
bool is_in_place_f8_cast(const mid::Kernel& kernel) {
  const auto* cast = kernel.spec.get_if<mid::kernels::Cast>();
  return cast != nullptr && is_f16(cast->from) && is_f8(cast->to) && kernel.aliases.size() == 1 &&
         kernel.aliases[0] == std::pair<std::size_t, std::size_t>{0, 0};
}

// --- Products ------------------------------------------------------------------------------------

std::optional<OperationCost> product_cost(const mid::Product& product, const MidOperation& op,
                                          std::span<const MidValue> values, TensorType output) {
  if (op.inputs.size() < 2) return std::nullopt;
  const MidValue* left_value = value_at(values, op.inputs[0]);
  const MidValue* right_value = value_at(values, op.inputs[1]);
  if (left_value == nullptr || right_value == nullptr) return std::nullopt;
  auto left = local_tensor(left_value->tensor);
  auto right = local_tensor(right_value->tensor);
  if (!left || !right) return std::nullopt;

  const auto left_axis = tensor::resolve_axis(product.left_axis, left->shape.rank());
  const auto right_axis = tensor::resolve_axis(product.right_axis, right->shape.rank());
  const auto output_axis = tensor::resolve_axis(product.output_axis, output.shape.rank());
  if (!left_axis || !right_axis || !output_axis) return std::nullopt;
  if (product.inner_block == 0 || product.output_column_block == 0) return std::nullopt;

  std::uint32_t column_block = product.output_column_block;
  if (const auto group = output.format.layout.order.gemm_output_group(); group && *group < column_block) {
    column_block = *group;
  }
  if (column_block == 0) return std::nullopt;  // a degenerate output group divides nothing

  const std::uint32_t inner_extent = left->shape[*left_axis];
  const std::uint32_t column_extent = output.shape[*output_axis];
  const std::uint32_t inner = std::min(inner_extent, product.inner_block);
  const std::uint32_t columns = std::min(column_extent, column_block);
  const std::uint64_t inner_blocks = ceil_div(inner_extent, product.inner_block);
  const std::uint64_t column_blocks = ceil_div(column_extent, column_block);

  left->shape.extents[*left_axis] = inner;
  right->shape.extents[*right_axis] = inner;
  output.shape.extents[*output_axis] = columns;

  const mid::TileKernelSpec spec = mid::kernels::PackedGemm{
      inner, columns, product.multiply, product.accumulate, product.accumulate_into_output, 0};
  const TensorType inputs[] = {*left, *right};
  const std::uint64_t block = kernel::kernel_cycles(spec, inputs, kernel::Geometry::whole(output));
  return OperationCost{sat_mul(sat_mul(block, inner_blocks), column_blocks), 0, 0, 0, 0};
}

// --- Kernels -------------------------------------------------------------------------------------

std::optional<OperationCost> kernel_cost(const mid::Kernel& k, const MidOperation& op,
                                         std::span<const MidValue> values, const TensorType& output) {
  const std::size_t operands = k.operands.size();
  if (op.inputs.size() < operands) return std::nullopt;
  std::vector<TensorType> inputs;
  inputs.reserve(operands);
  for (std::size_t i = 0; i < operands; ++i) {
    const MidValue* value = value_at(values, op.inputs[i]);
    if (value == nullptr) return std::nullopt;
    auto local = local_tensor(value->tensor);
    if (!local) return std::nullopt;
    inputs.push_back(std::move(*local));
  }

  if (!is_in_place_f8_cast(k)) {
    return OperationCost{kernel::kernel_cycles(k.spec, inputs, kernel::Geometry::whole(output)), 0, 0, 0, 0};
  }

  // An in-place cast runs chunk by chunk through a staging buffer; each chunk is one kernel call.
  const auto chunks = kernel::CastChunks::create(output.format.layout.order, output.shape);
  if (!chunks) return std::nullopt;
  std::uint64_t cycles = 0;
  TensorType chunk_output = output;
  for (const auto& [start, end] : chunks->ranges) {
    if (chunks->axis < chunk_output.shape.rank()) chunk_output.shape.extents[chunks->axis] = end - start;
    if (!inputs.empty() && chunks->axis < inputs[0].shape.rank()) {
      inputs[0].shape.extents[chunks->axis] = end - start;
    }
    cycles = sat_add(cycles, kernel::kernel_cycles(k.spec, inputs, kernel::Geometry::whole(chunk_output)));
  }
  return OperationCost{cycles, 0, 0, 0, 0};
}

// --- Reductions ----------------------------------------------------------------------------------

std::optional<OperationCost> reduce_cost(const mid::Reduce& reduce, const MidOperation& op,
                                         std::span<const MidValue> values, const MidValue& output) {
  if (op.inputs.empty()) return std::nullopt;
  const MidValue* input = value_at(values, op.inputs[0]);
  if (input == nullptr || reduce.axis >= input->tensor.shape.rank()) return std::nullopt;

  const std::uint64_t bytes = per_tile_bytes(output.tensor);
  const std::uint64_t element = tensor::element_bytes(output.tensor.format.precision);
  // Partial results added into the first one.
  const std::uint64_t added = sat_sub(input->tensor.shape[reduce.axis], 1);

  const std::uint64_t batch =
      std::visit(Overloaded{
                     [&](const mid::Complete&) { return std::max<std::uint64_t>(added, 1); },
                     [](const mid::Streamed&) -> std::uint64_t { return 1; },
                     [&](const mid::Batched& b) {
                       return std::min<std::uint64_t>(std::max<std::uint64_t>(added, 1), b.count);
                     },
                 },
                 reduce.staging);
  if (batch == 0) return std::nullopt;  // batches of nothing never finish

  const std::uint64_t full = added < batch ? 0 : added / batch;
  const std::uint64_t remainder = added < batch ? added : added % batch;
  const std::uint64_t chunks = full + (remainder > 0 ? 1 : 0);

  OperationCost cost;
  cost.temporary_standard = sat_mul(bytes, sat_add(batch, 2));
  const std::uint64_t moved = sat_mul(bytes, added);
  if (chunks > 0 && moved > 0) {
    const std::uint64_t messages = std::max(ceil_div(moved, 256), chunks);
    cost.exchange = sat_add(sat_mul(600, chunks), std::max(ceil_div(moved, 4), sat_mul(3, messages)));
    cost.exchange_rows = sat_add(sat_mul(4, chunks), sat_mul(36, messages));
  }

  const std::uint64_t elements = ceil_div(bytes, element);
  const auto batch_cycles = [&](std::uint64_t inputs) {
    return sat_add(282, sat_mul(sat_mul(6, sat_add(sat_mul(2, inputs), 11)), ceil_div(elements, 48)));
  };
  cost.cycles = cost.exchange;
  if (elements > 0) {
    cost.cycles = sat_add(cost.cycles, sat_mul(full, batch_cycles(batch)));
    if (remainder > 0) cost.cycles = sat_add(cost.cycles, batch_cycles(remainder));
  }
  return cost;
}

// --- Rearrangements ------------------------------------------------------------------------------

bool is_linear(const tensor::TensorTiling& tiling) {
  return tiling.axes.size() == 1 && std::holds_alternative<tensor::Linear>(tiling.axes[0].axis);
}

// Message width in bytes when the grid of fragments is not known.
std::uint64_t message_width(const TensorType& in, const TensorType& out) {
  const auto& in_tiling = in.format.layout.tiling;
  const auto& out_tiling = out.format.layout.tiling;
  if (in_tiling == out_tiling || (!is_linear(in_tiling) && !is_linear(out_tiling))) return 256;
  const auto amp = [](const TensorType& t) -> std::optional<tensor::AmpOrder> {
    const auto* order = std::get_if<tensor::Amp>(&t.format.layout.order);
    return order ? std::optional(order->order) : std::nullopt;
  };
  std::optional<std::uint64_t> width;
  if (const auto order = amp(in)) {
    if (*order == tensor::AmpOrder::Output) width = 16 * tensor::element_bytes(in.format.precision);
    if (*order == tensor::AmpOrder::Left) width = 32;
  }
  if (const auto order = amp(out)) {
    std::optional<std::uint64_t> out_width;
    if (*order == tensor::AmpOrder::Left) out_width = 32;
    if (*order == tensor::AmpOrder::Output) out_width = 16 * tensor::element_bytes(out.format.precision);
    if (out_width) width = width ? std::min(*width, *out_width) : *out_width;
  }
  return width.value_or(256);
}

// 1 for orders that store a matrix row-block-wise, 0 for column-block-wise, none otherwise.
std::optional<int> orientation(const tensor::ElementOrder& order) {
  return std::visit(Overloaded{
                        [](const tensor::RowMajor&) -> std::optional<int> { return std::nullopt; },
                        [](const tensor::BlockMajor& b) -> std::optional<int> {
                          return b.order.kind == tensor::BlockMajorKind::Matrix ? 1 : 0;
                        },
                        [](const tensor::Amp& a) -> std::optional<int> {
                          switch (a.order) {
                            case tensor::AmpOrder::TransposedLeft:
                              return 1;
                            case tensor::AmpOrder::Left:
                            case tensor::AmpOrder::TransposedRight:
                              return 0;
                            case tensor::AmpOrder::Output:
                            case tensor::AmpOrder::TransposedOutput:
                              return std::nullopt;
                          }
                          return std::nullopt;
                        },
                    },
                    order);
}

bool needs_repack(const TensorType& in, const TensorType& out) {
  const auto& precision = in.format.precision;
  if (precision != out.format.precision) return false;
  const auto& in_order = in.format.layout.order;
  const auto& out_order = out.format.layout.order;
  if (in_order == out_order) return false;
  if (is_f8(precision) || is_f16(precision)) {
    const auto a = orientation(in_order);
    const auto b = orientation(out_order);
    if (a && b && *a == *b) return false;
  }
  return true;
}

std::optional<OperationCost> rearrange_cost(const mid::Rearrange& rearrange, const MidOperation& op,
                                            std::span<const MidValue> values, const MidValue& out,
                                            const TensorType& local_out) {
  if (op.inputs.empty()) return std::nullopt;
  const MidValue* in = value_at(values, op.inputs[0]);
  if (in == nullptr) return std::nullopt;

  const std::uint64_t out_bytes = per_tile_bytes(out.tensor);
  const bool no_view = !rearrange.view.has_value();
  const bool stays =
      (rearrange.alias && no_view) ||
      (no_view && tensor::same_distribution(in->tensor, out.tensor) && in->owners == out.owners);

  OperationCost cost;
  if (!stays) {
    const std::uint64_t in_tiles = std::max<std::uint64_t>(in->tensor.format.layout.tiling.tile_count, 1);
    const std::uint64_t spread =
        ceil_div(sat_mul(out_bytes, out.tensor.format.layout.tiling.tile_count), in_tiles);
    // An unresolvable input counts as saturated, which leaves the spread share.
    const std::uint64_t moved = std::max(out_bytes, std::min(per_tile_bytes(in->tensor), spread));

    const bool no_offset = std::ranges::all_of(rearrange.offsets, [](std::uint32_t o) { return o == 0; });
    std::optional<std::uint64_t> messages;
    if (no_view && no_offset) messages = grid_fragments(in->tensor, out.tensor);
    if (!messages) messages = ceil_div(moved, message_width(in->tensor, out.tensor));

    if (moved > 0) {
      const std::uint64_t n = std::max<std::uint64_t>(*messages, 1);
      cost.exchange = sat_add(std::max(ceil_div(moved, 4), sat_mul(3, n)), 600);
      cost.exchange_rows = sat_mul(4, sat_add(sat_mul(9, n), 1));
    }
  }
  cost.cycles = sat_add(sat_add(cost.exchange, ceil_div(out_bytes, 8)), 288);

  if (needs_repack(in->tensor, out.tensor)) {
    const std::uint64_t elements = ceil_div(out_bytes, tensor::element_bytes(out.tensor.format.precision));
    const bool row_major = std::holds_alternative<tensor::RowMajor>(out.tensor.format.layout.order);
    const std::uint64_t repack =
        row_major ? sat_mul(10, elements)
                  : kernel::pack_geometry_cycles(kernel::Geometry::whole(local_out), elements);
    cost.cycles = sat_add(cost.cycles, repack);
    cost.temporary_standard = out_bytes;
  }
  return cost;
}

// --- Observed analysis ---------------------------------------------------------------------------

// Storage groups: values that share storage, represented by their smallest identifier.
class StorageGroups {
 public:
  explicit StorageGroups(std::size_t count) : parent_(count) {
    for (std::size_t i = 0; i < count; ++i) parent_[i] = static_cast<std::uint32_t>(i);
  }

  std::uint32_t find(std::uint32_t v) {
    std::uint32_t root = v;
    while (parent_[root] != root) root = parent_[root];
    while (parent_[v] != root) v = std::exchange(parent_[v], root);
    return root;
  }
  std::uint32_t find(MidValueId v) { return find(v.number); }

  void unite(MidValueId a, MidValueId b) {
    const std::uint32_t ra = find(a);
    const std::uint32_t rb = find(b);
    if (ra < rb) parent_[rb] = ra;
    if (rb < ra) parent_[ra] = rb;
  }

 private:
  std::vector<std::uint32_t> parent_;
};

// Calls `visit` with every value an operation reads or writes: inputs, outputs and, for a repeat,
// its iterated sequences.
template <class F>
void for_each_used_value(const MidOperation& op, F&& visit) {
  for (const MidValueId v : op.inputs) visit(v);
  for (const MidValueId v : op.outputs) visit(v);
  if (const auto* repeat = op.kind.get_if<mid::Repeat>()) {
    for (const auto& sequence : repeat->iterated) {
      for (const MidValueId v : sequence) visit(v);
    }
  }
}

// Whether every value identifier of the sequence, its repeat bodies and alias pairs is in range, so
// that the analysis can index freely.
bool references_in_range(const MidProgram& program, std::span<const FlatOperation> sequence) {
  const std::size_t n = program.values.size();
  const auto ok = [n](MidValueId v) { return v.number < n; };
  const auto all_ok = [&](std::span<const MidValueId> ids) { return std::ranges::all_of(ids, ok); };
  for (const MidValueId v : program.outputs) {
    if (!ok(v)) return false;
  }
  for (const mid::MidInput& input : program.inputs) {
    if (!ok(input.value)) return false;
  }
  for (const auto& [op, count] : sequence) {
    bool fine = true;
    for_each_used_value(*op, [&](MidValueId v) { fine = fine && ok(v); });
    if (!fine) return false;
    const mid::Aliases* aliases = nullptr;
    if (const auto* product = op->kind.compute_if<mid::Product>()) aliases = &product->aliases;
    if (const auto* k = op->kind.compute_if<mid::Kernel>()) aliases = &k->aliases;
    if (aliases != nullptr) {
      for (const auto& [output, input] : *aliases) {
        if (output >= op->outputs.size() || input >= op->inputs.size()) return false;
      }
    }
    if (const auto* repeat = op->kind.get_if<mid::Repeat>()) {
      if (!all_ok(repeat->body->arguments) || !all_ok(repeat->body->yields)) return false;
    }
  }
  return true;
}

struct TileCharge {
  std::uint16_t tile = 0;
  std::uint64_t bytes = 0;
};

struct Group {
  std::vector<TileCharge> charges;  // by ascending device tile, one entry per tile
  std::uint64_t largest = 0;
  MemoryClass memory_class = MemoryClass::Ipu21Standard;
  bool accumulator = false;
  std::uint64_t allowance = 0;
  bool live = false;
  bool counted = false;  // whether its charges are in the per-tile counters
};

std::uint64_t accumulator_allowance(const tensor::Precision& multiply) {
  return std::visit(Overloaded{
                        [](const tensor::F8F143&) -> std::uint64_t { return 8; },
                        [](const tensor::F16&) -> std::uint64_t { return 16; },
                        [](const tensor::F32&) -> std::uint64_t { return 32; },
                    },
                    multiply);
}

class Analysis {
 public:
  explicit Analysis(const MidProgram& program)
      : program_(program),
        groups_(program.values.size()),
        storage_(program.values.size()),
        standard_(program.device_tiles, 0),
        interleaved_(program.device_tiles, 0),
        temporary_standard_(program.device_tiles, 0),
        temporary_interleaved_(program.device_tiles, 0) {}

  std::optional<MidEstimate> run() {
    flatten(program_.operations, 1, sequence_);
    if (!references_in_range(program_, sequence_)) return std::nullopt;
    unite_storage();
    mark_accumulators();
    if (!charge_values()) return std::nullopt;
    find_last_uses();
    return simulate();
  }

 private:
  Group& group_of(MidValueId v) { return storage_[groups_.find(v)]; }

  void unite_storage() {
    for (const auto& [op, count] : sequence_) {
      const mid::Aliases* aliases = nullptr;
      if (const auto* product = op->kind.compute_if<mid::Product>()) aliases = &product->aliases;
      if (const auto* k = op->kind.compute_if<mid::Kernel>()) aliases = &k->aliases;
      if (aliases != nullptr) {
        for (const auto& [output, input] : *aliases) groups_.unite(op->outputs[output], op->inputs[input]);
      }
      if (const auto* repeat = op->kind.get_if<mid::Repeat>()) {
        const mid::MidRegion& body = *repeat->body;
        for (std::size_t i = 0; i < repeat->carried && i < op->inputs.size() && i < body.arguments.size();
             ++i) {
          groups_.unite(op->inputs[i], body.arguments[i]);
        }
        for (std::size_t i = 0; i < body.yields.size() && i < op->outputs.size(); ++i) {
          groups_.unite(body.yields[i], op->outputs[i]);
        }
        for (std::size_t j = 0; j < repeat->iterated.size(); ++j) {
          const std::size_t argument = op->inputs.size() + j;
          if (!repeat->iterated[j].empty() && argument < body.arguments.size()) {
            groups_.unite(repeat->iterated[j][0], body.arguments[argument]);
          }
        }
      }
    }
  }

  void mark_accumulators() {
    for (const auto& [op, count] : sequence_) {
      const auto* product = op->kind.compute_if<mid::Product>();
      if (product == nullptr) continue;
      if (!op->inputs.empty()) {
        Group& input = group_of(op->inputs[0]);
        input.accumulator = true;
        input.allowance = std::max(input.allowance, accumulator_allowance(product->multiply));
      }
      if (!op->outputs.empty()) group_of(op->outputs[0]).accumulator = true;
    }
  }

  // Per-tile charges of every group: the largest charge of any of its values on each device tile.
  bool charge_values() {
    std::vector<bool> in_place_cast(program_.values.size(), false);
    for (const auto& [op, count] : sequence_) {
      const auto* k = op->kind.compute_if<mid::Kernel>();
      if (k != nullptr && is_in_place_f8_cast(*k) && !op->inputs.empty())
        in_place_cast[op->inputs[0].number] = true;
    }

    std::vector<std::uint64_t> staging;
    for (const MidValue& value : program_.values) {
      const auto& tensor = value.tensor;
      const auto resolved = tensor.format.layout.resolve(tensor.shape);
      if (!resolved) {
        event(EventLevel::Debug, event_target, "invalid mid storage geometry", field("value", value.id),
              field("tensor", tensor), field("error", Displayed{resolved.error()}));
        return false;
      }
      if (resolved->tile_count > program_.device_tiles) return false;

      staging.assign(resolved->tile_count, 0);
      if (value.id.number < in_place_cast.size() && in_place_cast[value.id.number]) {
        const auto boxes = resolved->shard_extents();
        if (!boxes) return false;
        for (const auto& [tile, box] : *boxes) {
          if (tile < staging.size()) staging[tile] = sat_add(staging[tile], cast_staging_bytes);
        }
      }

      Group& group = group_of(value.id);
      const std::uint64_t element = tensor::element_bytes(tensor.format.precision);
      const std::uint64_t granule = tensor.format.layout.memory_class == MemoryClass::Ipu21Standard
                                        ? standard_granule
                                        : interleaved_granule;
      for (std::uint32_t t = 0; t < resolved->tile_count; ++t) {
        const std::uint64_t bytes = sat_mul(resolved->tile_elements(t), element);
        if (bytes == saturated) return false;
        if (bytes == 0) continue;
        const auto device = value.owners.tile(t, program_.device_tiles);
        if (!device) return false;
        std::uint64_t charge = sat_add(sat_add(bytes, staging[t]), group.allowance);
        if (group.accumulator) charge = round_up(charge, granule);
        group.charges.push_back(TileCharge{*device, charge});
      }
      group.memory_class = tensor.format.layout.memory_class;
    }

    for (Group& group : storage_) {
      auto& charges = group.charges;
      // One value with an order-preserving owner map is already sorted: skip the sort's buffer.
      if (!std::ranges::is_sorted(charges, {}, &TileCharge::tile))
        std::ranges::stable_sort(charges, {}, &TileCharge::tile);
      std::size_t kept = 0;
      for (std::size_t i = 0; i < charges.size(); ++i) {
        if (kept > 0 && charges[kept - 1].tile == charges[i].tile) {
          charges[kept - 1].bytes = std::max(charges[kept - 1].bytes, charges[i].bytes);
        } else {
          charges[kept++] = charges[i];
        }
      }
      charges.resize(kept);
      for (const TileCharge& c : charges) group.largest = std::max(group.largest, c.bytes);
    }
    return true;
  }

  // The sequence index after which each group is released; groups that stay to the end are not
  // listed. A group that no operation touches is released after the first operation.
  void find_last_uses() {
    const std::size_t end = sequence_.size();
    std::vector<std::optional<std::size_t>> last(storage_.size());
    for (std::size_t k = 0; k < end; ++k) {
      for_each_used_value(*sequence_[k].first, [&](MidValueId v) { last[groups_.find(v)] = k; });
    }
    for (const MidValueId v : program_.outputs) last[groups_.find(v)] = end;
    for (const mid::MidInput& input : program_.inputs) {
      if (input.retained) last[groups_.find(input.value)] = end;
    }
    released_after_.assign(end, {});
    for (std::uint32_t g = 0; g < storage_.size(); ++g) {
      if (groups_.find(g) != g) continue;
      const std::size_t k = last[g].value_or(0);
      if (k < end) released_after_[k].push_back(g);
    }
  }

  void make_live(MidValueId v) {
    const std::uint32_t g = groups_.find(v);
    Group& group = storage_[g];
    if (group.live) return;
    group.live = true;
    changed_.push_back(g);
    if (group.memory_class == MemoryClass::Ipu21Standard) {
      maximum_standard_allocation_ = std::max(maximum_standard_allocation_, group.largest);
    }
  }

  // Brings the per-tile counters in line with the live groups.
  bool update_counters() {
    for (const std::uint32_t g : changed_) {
      Group& group = storage_[g];
      if (group.live == group.counted) continue;
      auto& counters = group.memory_class == MemoryClass::Ipu21Standard ? standard_ : interleaved_;
      for (const TileCharge& c : group.charges) {
        if (group.live) {
          counters[c.tile] = sat_add(counters[c.tile], c.bytes);
        } else {
          if (counters[c.tile] < c.bytes) return false;
          counters[c.tile] -= c.bytes;
        }
      }
      group.counted = group.live;
    }
    changed_.clear();
    return true;
  }

  void take_peaks() {
    for (std::size_t d = 0; d < standard_.size(); ++d) {
      const std::uint64_t s = sat_add(standard_[d], temporary_standard_[d]);
      const std::uint64_t i = sat_add(interleaved_[d], temporary_interleaved_[d]);
      peaks_.standard = std::max(peaks_.standard, s);
      peaks_.interleaved = std::max(peaks_.interleaved, i);
      peaks_.total = std::max(peaks_.total, sat_add(s, i));
    }
  }

  // Spreads an operation's temporaries over the tiles of its first output, in proportion to each
  // tile's share of the largest tile.
  bool place_temporaries(const MidOperation& op, const OperationCost& cost) {
    for (const std::uint16_t d : temporary_tiles_) {
      temporary_standard_[d] = 0;
      temporary_interleaved_[d] = 0;
    }
    temporary_tiles_.clear();
    if (cost.temporary_standard == 0 && cost.temporary_interleaved == 0) return true;
    if (op.outputs.empty()) return false;
    const MidValue& output = program_.values[op.outputs[0].number];
    const auto resolved = output.tensor.format.layout.resolve(output.tensor.shape);
    if (!resolved) return false;
    const std::uint64_t largest = resolved->maximum_tile_elements();
    if (largest == 0) return true;  // no tile holds anything
    for (std::uint32_t t = 0; t < resolved->tile_count; ++t) {
      const std::uint64_t elements = resolved->tile_elements(t);
      const auto device = output.owners.tile(t, program_.device_tiles);
      if (!device) return false;
      temporary_standard_[*device] = sat_add(temporary_standard_[*device],
                                             ceil_div(sat_mul(cost.temporary_standard, elements), largest));
      temporary_interleaved_[*device] = sat_add(
          temporary_interleaved_[*device], ceil_div(sat_mul(cost.temporary_interleaved, elements), largest));
      temporary_tiles_.push_back(*device);
    }
    return true;
  }

  std::optional<MidEstimate> simulate() {
    for (const mid::MidInput& input : program_.inputs) make_live(input.value);
    // The starting allocation counts live standard groups only (make_live recorded them).
    if (!update_counters()) return std::nullopt;
    take_peaks();

    std::uint64_t cycles = 0;
    std::uint64_t exchange = 0;
    for (std::size_t k = 0; k < sequence_.size(); ++k) {
      const auto& [op, count] = sequence_[k];
      for (const MidValueId v : op->inputs) make_live(v);
      for (const MidValueId v : op->outputs) make_live(v);

      const auto cost = operation_cost(*op, program_.values);
      if (!cost) return std::nullopt;
      event(EventLevel::Debug, event_target, "estimated mid operation", field("index", k),
            field("source", op->source), field("count", count), field("cycles", cost->cycles),
            field("exchange", cost->exchange));

      cycles = sat_add(cycles, sat_mul(count, cost->cycles));
      exchange = sat_add(exchange, sat_mul(count, cost->exchange));
      peaks_.exchange_rows = sat_add(peaks_.exchange_rows, cost->exchange_rows);
      maximum_standard_allocation_ = std::max(maximum_standard_allocation_, cost->temporary_standard);

      if (!update_counters()) return std::nullopt;
      if (!place_temporaries(*op, *cost)) return std::nullopt;
      take_peaks();

      for (const std::uint32_t g : released_after_[k]) {
        if (!storage_[g].live) continue;
        storage_[g].live = false;
        changed_.push_back(g);
      }
    }
    peaks_.maximum_standard_allocation = maximum_standard_allocation_;
    return MidEstimate{cycles, exchange, peaks_};
  }

  const MidProgram& program_;
  StorageGroups groups_;
  std::vector<Group> storage_;  // indexed by representative value
  std::vector<FlatOperation> sequence_;
  std::vector<std::vector<std::uint32_t>> released_after_;
  std::vector<std::uint32_t> changed_;
  std::vector<std::uint64_t> standard_;
  std::vector<std::uint64_t> interleaved_;
  std::vector<std::uint64_t> temporary_standard_;
  std::vector<std::uint64_t> temporary_interleaved_;
  std::vector<std::uint16_t> temporary_tiles_;
  MemoryPeaks peaks_;
  std::uint64_t maximum_standard_allocation_ = 0;
};

}  // namespace

void debug_write(DebugWriter& w, const OperationCost& v) {
  w.record("OperationCost")
      .field("cycles", v.cycles)
      .field("exchange", v.exchange)
      .field("temporary_standard", v.temporary_standard)
      .field("temporary_interleaved", v.temporary_interleaved)
      .field("exchange_rows", v.exchange_rows);
}

void flatten(std::span<const MidOperation> operations, std::uint64_t multiplier,
             std::vector<FlatOperation>& out) {
  for (const MidOperation& op : operations) {
    if (const auto* repeat = op.kind.get_if<mid::Repeat>()) {
      flatten(repeat->body->operations, sat_mul(multiplier, repeat->count), out);
    }
    out.emplace_back(&op, multiplier);
  }
}

std::optional<TensorType> local_tensor(const TensorType& tensor) {
  const auto resolved = tensor.format.layout.resolve(tensor.shape);
  if (!resolved) return std::nullopt;
  TensorType local{{}, tensor.format};
  if (resolved->linear_block) {
    const auto elements = narrow<std::uint32_t>(resolved->maximum_tile_elements());
    if (!elements) return std::nullopt;
    local.shape.extents.push_back(*elements);
    return local;
  }
  for (const tensor::ResolvedAxis& axis : resolved->axes)
    local.shape.extents.push_back(axis.maximum_extent());
  return local;
}

std::optional<OperationCost> operation_cost(const MidOperation& operation, std::span<const MidValue> values) {
  if (operation.kind.get_if<mid::Repeat>() != nullptr) return OperationCost{};
  if (operation.outputs.empty()) return std::nullopt;
  const MidValue* output = value_at(values, operation.outputs[0]);
  if (output == nullptr) return std::nullopt;
  auto local_output = local_tensor(output->tensor);
  if (!local_output) return std::nullopt;

  if (const auto* rearrange = operation.kind.get_if<mid::Rearrange>()) {
    return rearrange_cost(*rearrange, operation, values, *output, *local_output);
  }
  const auto& compute = std::get<mid::Compute>(operation.kind);
  return std::visit(
      Overloaded{
          [&](const mid::Product& p) { return product_cost(p, operation, values, std::move(*local_output)); },
          [&](const mid::Kernel& k) { return kernel_cost(k, operation, values, *local_output); },
          [&](const mid::Reduce& r) { return reduce_cost(r, operation, values, *output); },
      },
      compute);
}

std::optional<MidEstimate> analyze_observed(const MidProgram& program) {
  return Analysis(program).run();
}

bool refresh_estimates(MidProgram& program) {
  if (!mid::validate(program)) return false;
  auto estimate = analyze_observed(program);
  if (!estimate) return false;
  program.estimates = *estimate;
  return true;
}

}  // namespace ostrand::estimate

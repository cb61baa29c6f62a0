#include "mid/program.hpp"

#include <fmt/format.h>

#include "mid/validate.hpp"
#include "util/check.hpp"

namespace ostrand::mid {

LocalSite LocalSite::child(std::string_view name) const {
  return LocalSite(fmt::format("{}/{}", role, name), coordinates);
}

MidValueId MidProgram::add_value(tensor::TensorType tensor, tensor::OwnerMap owners,
                                 std::uint32_t graph_value) {
  OSTRAND_CHECK(values.size() < std::numeric_limits<std::uint32_t>::max(), "too many mid-level values");
  const MidValueId id{static_cast<std::uint32_t>(values.size())};
  values.push_back(MidValue{std::move(tensor), std::move(owners), id, graph_value, id});
  return id;
}

const MidValue& MidProgram::value(MidValueId id) const {
  OSTRAND_CHECK(id.number < values.size(), "mid-level value identifier out of range");
  return values[id.number];
}

std::expected<void, MidValidationError> MidProgram::validate() const {
  return mid::validate(*this);
}

void debug_write(DebugWriter& w, const MidValueId& v) {
  w.tuple("MidValueId", v.number);
}

void debug_write(DebugWriter& w, const MidInput& v) {
  w.record("MidInput").field("name", v.name).field("value", v.value).field("retained", v.retained);
}

void debug_write(DebugWriter& w, const MidValue& v) {
  w.record("MidValue")
      .field("tensor", v.tensor)
      .field("owners", v.owners)
      .field("id", v.id)
      .field("graph_value", v.graph_value)
      .field("canonical", v.canonical);
}

void debug_write(DebugWriter& w, const LocalSite& v) {
  w.record("LocalSite").field("role", v.role).field("coordinates", v.coordinates);
}

void debug_write(DebugWriter& w, const WorkSite& v) {
  w.record("WorkSite").field("source", v.source).field("local", v.local);
}

void debug_write(DebugWriter& w, const AxisRange& v) {
  w.record("AxisRange").field("axis", v.axis).field("start", v.start).field("end", v.end);
}

void debug_write(DebugWriter& w, const OperandWindow& v) {
  w.tuple("OperandWindow", v.ranges);
}
void indexing::debug_write(DebugWriter& w, const Broadcast& v) {
  w.tuple("Broadcast", v.output);
}
void indexing::debug_write(DebugWriter& w, const Windowed& v) {
  w.tuple("Windowed", v.window);
}
void debug_write(DebugWriter& w, const OperandIndexing& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, const Product& v) {
  w.record("Product")
      .field("left", v.left)
      .field("right", v.right)
      .field("aliases", v.aliases)
      .field("inner_limit", v.inner_limit)
      .field("column_limit", v.column_limit)
      .field("left_axis", v.left_axis)
      .field("right_axis", v.right_axis)
      .field("output_axis", v.output_axis)
      .field("inner_block", v.inner_block)
      .field("output_column_block", v.output_column_block)
      .field("multiply", v.multiply)
      .field("accumulate", v.accumulate)
      .field("accumulate_into_output", v.accumulate_into_output);
}

void debug_write(DebugWriter& w, const Kernel& v) {
  w.record("Kernel").field("operands", v.operands).field("aliases", v.aliases).field("spec", v.spec);
}

void debug_write(DebugWriter& w, const Reduce& v) {
  w.record("Reduce").field("staging", v.staging).field("axis", v.axis);
}

void debug_write(DebugWriter& w, const Compute& v) {
  w.raw("Compute(").variant(v).raw(")");
}

void debug_write(DebugWriter& w, const Rearrange& v) {
  w.record("Rearrange")
      .field("offsets", v.offsets)
      .field("view", v.view)
      .field("redistribute", v.redistribute)
      .field("reserved", v.reserved)
      .field("alias", v.alias);
}

void debug_write(DebugWriter& w, const Repeat& v) {
  w.record("Repeat")
      .field("iterated", v.iterated)
      .field("body", v.body.get())
      .field("carried", v.carried)
      .field("invariant", v.invariant)
      .field("count", v.count);
}

void debug_write(DebugWriter& w, const MidOperationKind& v) {
  w.variant(v);
}

void debug_write(DebugWriter& w, const MidOperation& v) {
  w.record("MidOperation")
      .field("inputs", v.inputs)
      .field("outputs", v.outputs)
      .field("site", v.site)
      .field("kind", v.kind)
      .field("source", v.source);
}

void debug_write(DebugWriter& w, const MidRegion& v) {
  w.record("MidRegion")
      .field("arguments", v.arguments)
      .field("operations", v.operations)
      .field("yields", v.yields);
}

void debug_write(DebugWriter& w, const MidProgram& v) {
  w.record("MidProgram")
      .field("inputs", v.inputs)
      .field("values", v.values)
      .field("operations", v.operations)
      .field("outputs", v.outputs)
      .field("estimates", v.estimates)
      .field("device_tiles", v.device_tiles);
}

}  // namespace ostrand::mid

#include "mid/validate.hpp"

#include <string>
#include <vector>

#include <fmt/format.h>

#include "util/overloaded.hpp"
#include "util/saturating.hpp"

namespace ostrand::mid {

namespace {

using tensor::TensorAxis;

std::unexpected<MidValidationError> invalid(std::string message) {
  return std::unexpected(MidValidationError(validation_error::Invalid{std::move(message)}));
}

std::unexpected<MidValidationError> layout_fault(tensor::LayoutError error) {
  return std::unexpected(MidValidationError(validation_error::Layout{std::move(error)}));
}

std::unexpected<MidValidationError> multiply_defined(MidValueId id) {
  return invalid(fmt::format("invalid or multiply defined value {}", debug(id)));
}

// Whether an axis reference names an axis of a tensor of rank `rank`. Linear never does here.
bool valid_axis(const TensorAxis& axis, std::size_t rank) {
  return std::visit(Overloaded{
                        [&](const tensor::FromStart& a) { return a.index < rank; },
                        [&](const tensor::FromEnd& a) { return a.index >= 1 && a.index <= rank; },
                        [](const tensor::Linear&) { return false; },
                    },
                    axis);
}

bool aliases_in_range(const Aliases& aliases, const MidOperation& op) {
  for (const auto& [output, input] : aliases) {
    if (output >= op.outputs.size() || input >= op.inputs.size()) return false;
  }
  return true;
}

class KindRules {
 public:
  KindRules(const MidProgram& program, const MidOperation& op) : program_(program), op_(op) {}

  [[nodiscard]] bool rearrange(const Rearrange&) const {
    return op_.inputs.size() == 1 && op_.outputs.size() == 1 && precision(input(0)) == precision(output(0));
  }

  [[nodiscard]] bool product(const Product& p) const {
    if (op_.inputs.size() < 2 || op_.outputs.size() != 1) return false;
    if (p.inner_block == 0 || p.output_column_block == 0) return false;
    if (!valid_axis(p.left_axis, rank(input(0))) || !valid_axis(p.right_axis, rank(input(1))) ||
        !valid_axis(p.output_axis, rank(output(0)))) {
      return false;
    }
    return aliases_in_range(p.aliases, op_);
  }

  [[nodiscard]] bool kernel(const Kernel& k) const {
    if (op_.outputs.empty() || op_.inputs.size() < k.operands.size()) return false;
    for (std::size_t i = 0; i < k.operands.size(); ++i) {
      if (!operand(k.operands[i], input(i))) return false;
    }
    if (k.spec.is<kernels::PackedGemm>()) return false;
    if (const auto* cast = k.spec.get_if<kernels::Cast>()) {
      if (k.operands.size() != 1 || op_.inputs.empty() || op_.outputs.size() != 1) return false;
      if (precision(input(0)) != cast->from || precision(output(0)) != cast->to) return false;
      if (input(0).tensor.shape != output(0).tensor.shape) return false;
    }
    return aliases_in_range(k.aliases, op_);
  }

  [[nodiscard]] bool reduce(const Reduce& r) const {
    if (op_.inputs.size() != 1 || op_.outputs.size() != 1) return false;
    const auto& in = input(0).tensor.shape;
    if (r.axis >= in.rank() || precision(input(0)) != precision(output(0))) return false;
    graph::Extents expected;
    for (std::size_t j = 0; j < in.rank(); ++j) {
      if (j != r.axis) expected.push_back(in[j]);
    }
    return output(0).tensor.shape.extents == expected;
  }

  // Everything of a repeat but its body, which the caller validates first.
  [[nodiscard]] bool repeat(const Repeat& r) const {
    if (r.count == 0) return false;
    const auto inputs = checked_add<std::size_t>(r.carried, r.invariant);
    if (op_.outputs.size() != r.carried || !inputs || op_.inputs.size() != *inputs) return false;
    if (r.body->yields.size() != op_.outputs.size()) return false;
    if (r.body->arguments.size() != op_.inputs.size() + r.iterated.size()) return false;
    for (const auto& sequence : r.iterated) {
      if (sequence.size() != r.count) return false;
    }
    return true;
  }

 private:
  [[nodiscard]] bool operand(const OperandIndexing& indexing, const MidValue& in) const {
    const auto& shape = in.tensor.shape;
    return std::visit(Overloaded{
                          [&](const indexing::Broadcast& b) {
                            if (b.output >= op_.outputs.size()) return false;
                            const auto& out = output(b.output).tensor.shape;
                            if (shape.rank() > out.rank()) return false;
                            const std::size_t lead = out.rank() - shape.rank();
                            for (std::size_t j = 0; j < shape.rank(); ++j) {
                              if (shape[j] != 1 && shape[j] != out[lead + j]) return false;
                            }
                            return true;
                          },
                          [&](const indexing::Windowed& w) {
                            for (const AxisRange& range : w.window.ranges) {
                              if (range.axis >= shape.rank() || range.start >= range.end) return false;
                            }
                            return true;
                          },
                      },
                      indexing);
  }

  [[nodiscard]] const MidValue& input(std::size_t i) const { return program_.value(op_.inputs[i]); }
  [[nodiscard]] const MidValue& output(std::size_t i) const { return program_.value(op_.outputs[i]); }
  [[nodiscard]] static std::size_t rank(const MidValue& v) { return v.tensor.shape.rank(); }
  [[nodiscard]] static const tensor::Precision& precision(const MidValue& v) {
    return v.tensor.format.precision;
  }

  const MidProgram& program_;
  const MidOperation& op_;
};

}  // namespace

std::expected<void, MidValidationError> validate(const MidProgram& program) {
  const std::size_t count = program.values.size();
  for (std::size_t i = 0; i < count; ++i) {
    const MidValue& value = program.values[i];
    if (value.id.number != i || value.canonical.number >= count) return multiply_defined(value.id);
    const std::uint16_t tiles = value.tensor.format.layout.tiling.tile_count;
    if (tiles == 0) return layout_fault(tensor::layout_error::EmptyTileGroup{});
    if (program.device_tiles < tiles) {
      return layout_fault(tensor::layout_error::TileCountExceedsGraph{tiles, program.device_tiles});
    }
    if (auto embedded = value.owners.validate(tiles, program.device_tiles); !embedded) {
      return layout_fault(embedded.error());
    }
  }
  std::vector<MidValueId> arguments;
  arguments.reserve(program.inputs.size());
  for (const MidInput& input : program.inputs) arguments.push_back(input.value);
  std::set<MidValueId> defined;
  std::set<WorkSite> sites;
  return validate_region(program, arguments, program.operations, program.outputs, defined, sites);
}

std::expected<void, MidValidationError> validate_region(const MidProgram& program,
                                                        std::span<const MidValueId> arguments,
                                                        std::span<const MidOperation> operations,
                                                        std::span<const MidValueId> yields,
                                                        std::set<MidValueId>& defined,
                                                        std::set<WorkSite>& sites) {
  const std::size_t count = program.values.size();
  std::set<MidValueId> available;
  for (const MidValueId argument : arguments) {
    if (argument.number >= count || !defined.insert(argument).second) return multiply_defined(argument);
    available.insert(argument);
  }

  for (const MidOperation& op : operations) {
    if (op.source && op.site && !sites.insert(WorkSite{*op.source, *op.site}).second) {
      return invalid(fmt::format("ambiguous work site {}", debug(WorkSite{*op.source, *op.site})));
    }

    const Repeat* repeat = op.kind.get_if<Repeat>();
    const auto unavailable = [&](MidValueId id) {
      return invalid(fmt::format("operation {} reads unavailable value {}", debug(op.source), debug(id)));
    };
    for (const MidValueId id : op.inputs) {
      if (!available.contains(id)) return unavailable(id);
    }
    if (repeat != nullptr) {
      for (const auto& sequence : repeat->iterated) {
        for (const MidValueId id : sequence) {
          if (!available.contains(id)) return unavailable(id);
        }
      }
    }

    for (const MidValueId id : op.outputs) {
      if (id.number >= count || !defined.insert(id).second) return multiply_defined(id);
    }

    if (repeat != nullptr) {
      const MidRegion& body = *repeat->body;
      auto body_valid =
          validate_region(program, body.arguments, body.operations, body.yields, defined, sites);
      if (!body_valid) return body_valid;
    }

    const KindRules rules(program, op);
    const bool valid =
        std::visit(Overloaded{
                       [&](const Rearrange& r) { return rules.rearrange(r); },
                       [&](const Compute& c) {
                         return std::visit(Overloaded{
                                               [&](const Product& p) { return rules.product(p); },
                                               [&](const Kernel& k) { return rules.kernel(k); },
                                               [&](const Reduce& r) { return rules.reduce(r); },
                                           },
                                           c);
                       },
                       [&](const Repeat& r) { return rules.repeat(r); },
                   },
                   op.kind);
    if (!valid) return invalid(fmt::format("invalid executable operation {}", debug(op.source)));

    available.insert(op.outputs.begin(), op.outputs.end());
  }

  for (const MidValueId id : yields) {
    if (!available.contains(id)) return invalid(fmt::format("region yields unavailable value {}", debug(id)));
  }
  return {};
}

}  // namespace ostrand::mid

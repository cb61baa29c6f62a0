#pragma once
// Layer normalisation whose normalised last axis is split over row groups: every group computes
// partial moments of its slice, the moments are completed by gathering them to every group, and
// every group then normalises its slice.

#include <cstdint>
#include <optional>

#include "planner/fragments.hpp"
#include "tensor/layout.hpp"

namespace ostrand::planner {

// Appends the row-grouped layer normalisation of the builder's inputs 0 (data), 1 (scale) and
// 2 (bias) over `groups` groups and returns its result; nothing when it cannot be expressed.
[[nodiscard]] std::optional<MidValueId> lower_row_groups(FragmentBuilder& builder, std::uint16_t groups,
                                                         const tensor::TensorType& output);

}  // namespace ostrand::planner

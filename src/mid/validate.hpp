#pragma once
// Well-formedness of mid-level programs: value identities and tile embeddings, single definition,
// availability of every read, unique work sites, and the arity, shape and precision rules of each
// operation kind. The first failing check is returned.

#include <expected>
#include <set>
#include <span>

#include "mid/error.hpp"
#include "mid/program.hpp"

namespace ostrand::mid {

// Checks every value, then the top-level region (inputs as arguments, outputs as yields).
[[nodiscard]] std::expected<void, MidValidationError> validate(const MidProgram& program);

// Checks one region of `program`. `defined` and `sites` are shared by every region of one run and
// updated in place; the values the region may read are its arguments and its own results.
[[nodiscard]] std::expected<void, MidValidationError> validate_region(
    const MidProgram& program, std::span<const MidValueId> arguments,
    std::span<const MidOperation> operations, std::span<const MidValueId> yields,
    std::set<MidValueId>& defined, std::set<WorkSite>& sites);

}  // namespace ostrand::mid

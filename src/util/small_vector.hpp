#pragma once
// Short lists (shape extents, axis tilings) live inline in the value that holds them, so copying a
// tensor type or a layout costs no allocation for ordinary ranks.

#include <cstddef>

#include <absl/container/inlined_vector.h>

namespace ostrand {

template <class T, std::size_t N>
using SmallVector = absl::InlinedVector<T, N>;

}  // namespace ostrand

// What the HTML builder shows its own tests, beside its public surface.
#pragma once

#include <cstddef>

namespace klarion::markup::detail {

// The memory the calling thread's page buffer holds, in bytes.
std::size_t threadBufferCapacity();

}  // namespace klarion::markup::detail

// The size of the largest single allocation (operator new) that the calling
// thread made while a LargestAllocation lived, and the most bytes its
// allocations held at once meanwhile. Linking largest_allocation.cpp
// replaces the program's operator new and delete (plain, array, sized and
// nothrow forms; the aligned forms are left to the library) with ones built on
// malloc and free that note the sizes asked for.
#pragma once

#include <cstddef>

namespace klarion::testing {

class LargestAllocation {
public:
    LargestAllocation();
    ~LargestAllocation();
    LargestAllocation(const LargestAllocation&) = delete;
    LargestAllocation& operator=(const LargestAllocation&) = delete;

    std::size_t bytes() const;
    std::size_t peakBytes() const;
};

}  // namespace klarion::testing

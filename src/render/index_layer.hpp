// The lossless view of a frame that an export writes beside its image: the
// palette index of every pixel and whether a run covers it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anim/records.hpp"

namespace orv {

// Every pixel of a frame (width x height, rows top to bottom) as two bytes:
// the palette index its run places there (0 in a shadow frame and where no
// run reaches), then 255 where a run covers it, 0 elsewhere. Runs are placed
// as the renderer places them (an empty run only moves the cursor, pixels
// past the right edge are dropped), except that every index a run holds is
// placed, inside the palette or not.
struct IndexLayer {
    std::vector<std::uint8_t> grey_alpha;
    std::uint64_t covered = 0;  // covered pixels
};

IndexLayer index_layer(const OrvFrame& frame);

}  // namespace orv

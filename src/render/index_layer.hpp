// The lossless view of a frame that an export writes beside its image: the
// palette index of every pixel and whether a run covers it, and what the
// frame's runs say about their own encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anim/frame_statistics.hpp"
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
    std::uint64_t beyond = 0;   // covered pixels of a frame that is not a shadow, whose index is `entries` or more
};

IndexLayer index_layer(const OrvFrame& frame, std::size_t entries);

// The rows an export lists in full, in order: those that are not the maximal
// encoding of their pixels (is_maximal_row) and those past the frame's height.
// Builds the frame's rows.
std::vector<std::size_t> explicit_rows(const OrvFrame& frame);

}  // namespace orv

// The lossless view of a frame that an export writes beside its image: the
// palette index of every pixel and whether a run covers it, and what the
// frame's runs say about their own encoding.
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
    std::uint64_t beyond = 0;   // covered pixels of a frame that is not a shadow, whose index is `entries` or more
};

IndexLayer index_layer(const OrvFrame& frame, std::size_t entries);

// Whether a row's runs are the maximal encoding of the pixels they draw (runs
// and gaps of at most 255, each run as long as it can be, longer gaps carried
// by empty runs of offset 255), read from the runs alone: no run past the
// right edge, runs of 1 to 255 pixels that follow one another without a gap
// only where the one before holds 255, empty runs only as gaps of 255 before a
// run whose own gap is not 0, runs holding exactly the indices they count (a
// shadow run none), and a block count that is the number of runs.
bool is_maximal_row(const OrvPixelSet& row, std::size_t width, bool shadow);

// Counts over all the runs of a frame, and the rows an export lists in full.
struct RunSummary {
    std::uint64_t rows = 0;
    std::uint64_t runs = 0;
    std::uint64_t empty_runs = 0;
    std::uint64_t longest_run = 0;
    std::uint64_t most_runs_in_a_row = 0;
    std::uint64_t covered_pixels = 0;  // the runs' colour counts, summed
    // Rows that are not the maximal encoding of their pixels, and rows past
    // the frame's height, in order.
    std::vector<std::size_t> explicit_rows;
};

RunSummary run_summary(const OrvFrame& frame);

}  // namespace orv

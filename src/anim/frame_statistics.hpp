// What the runs of a frame hold, counted without rendering it: the numbers
// that describe an animation's encoding, and the covered pixels whose index
// lies past the entries of a short palette.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anim/records.hpp"

namespace orv {

struct FrameStatistics {
    std::uint64_t rows = 0;                // rows the frame holds
    std::uint64_t runs = 0;                // runs in all rows
    std::uint64_t empty_runs = 0;          // runs of colour count 0
    std::uint64_t covered_pixels = 0;      // the colour counts added up
    std::uint32_t longest_run = 0;         // the largest colour count
    std::uint32_t most_runs_in_a_row = 0;  // the most runs one row holds
    std::uint64_t non_maximal_rows = 0;    // rows past the height, or not maximal (is_maximal_row)
    // Pixels that a frame other than a shadow frame covers with palette
    // indices inside its width and height, as the renderer places them, and
    // those of them whose index is not below the palette's entry count.
    std::uint64_t palette_pixels = 0;
    std::uint64_t past_palette = 0;

    // Those of several frames: the counts added up, the longest run and the
    // most runs in a row the larger.
    FrameStatistics& operator+=(const FrameStatistics& other) noexcept;
};

// Whether a row's runs are the maximal encoding of the pixels they draw in a
// frame `width` pixels wide: a block count that is the number of runs, every
// run holding the indices it counts (none in a shadow frame), no run past the
// right edge, runs of 1 to 255 pixels that follow one another without a gap
// only where the one before holds 255, and empty runs only as gaps of 255
// before a run whose own gap is not 0.
bool is_maximal_row(const OrvPixelSet& row, std::size_t width, bool shadow);

// The statistics of one frame, by its width, height and shadow flag; indices
// from `palette_entries` on count as past the palette. A frame whose rows
// were not built yet is read from its bytes and keeps them unbuilt. When
// `non_maximal` is given, the rows counted in non_maximal_rows are listed in
// it, in order.
FrameStatistics frame_statistics(const OrvFrame& frame, std::size_t palette_entries,
                                 std::vector<std::size_t>* non_maximal = nullptr);

}  // namespace orv

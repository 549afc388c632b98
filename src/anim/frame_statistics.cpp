#include "anim/frame_statistics.hpp"

#include <algorithm>

#include "anim/orv_format.hpp"
#include "common/byte_cursor.hpp"

namespace orv {

namespace {

// The maximality of one row, told its runs one at a time (see
// is_maximal_row); the checks of the block count and of the indices held are
// the caller's.
class MaximalRow {
public:
    explicit MaximalRow(std::size_t width) : width_(width) {}

    void run(std::uint8_t offset, std::uint8_t count) {
        if (!maximal_) return;
        if (count == 0) {
            if (offset != 255) maximal_ = false;
            carried_ += 255;
            return;
        }
        if (carried_ > 0 && offset == 0) maximal_ = false;
        const std::size_t gap = carried_ + offset;
        if (gap == 0 && !first_ && previous_ != 255) maximal_ = false;
        x_ += gap + count;
        if (x_ > width_) maximal_ = false;
        carried_ = 0;
        previous_ = count;
        first_ = false;
    }

    bool maximal() const { return maximal_ && carried_ == 0; }

private:
    std::size_t width_;
    std::size_t x_ = 0;
    std::size_t carried_ = 0;   // pixels of gap carried by empty runs so far
    std::size_t previous_ = 0;  // pixels of the run before
    bool first_ = true;         // no run drawn yet in this row
    bool maximal_ = true;
};

// The palette pixels of one row of a frame other than a shadow frame, placed
// as the renderer places them: an empty run only moves the cursor, indices
// past the right edge are dropped.
class RowPlacement {
public:
    RowPlacement(std::size_t width, std::size_t entries, FrameStatistics& s)
        : width_(width), entries_(entries), s_(s) {}

    void run(std::uint8_t offset, std::uint8_t count, const std::uint8_t* indices, std::size_t held) {
        x_ += offset;
        if (count == 0 || x_ >= width_) return;
        const std::size_t n = std::min(held, width_ - x_);
        s_.palette_pixels += n;
        if (entries_ < 256) {  // else no index lies past the palette
            for (std::size_t j = 0; j < n; ++j) {
                if (indices[j] >= entries_) ++s_.past_palette;
            }
        }
        x_ += n;
    }

private:
    std::size_t width_;
    std::size_t entries_;
    FrameStatistics& s_;
    std::size_t x_ = 0;
};

void count_run(FrameStatistics& s, std::uint8_t count) {
    if (count == 0) ++s.empty_runs;
    s.longest_run = std::max<std::uint32_t>(s.longest_run, count);
    s.covered_pixels += count;
}

void count_row(FrameStatistics& s, std::size_t runs) {
    ++s.rows;
    s.runs += runs;
    s.most_runs_in_a_row = std::max(s.most_runs_in_a_row, static_cast<std::uint32_t>(runs));
}

// The statistics of one row as built.
void row_statistics(const OrvPixelSet& row, std::size_t y, const OrvFrame& frame, std::size_t entries,
                    FrameStatistics& s, std::vector<std::size_t>* non_maximal) {
    const bool shadow = frame.is_shadow != 0;
    count_row(s, row.blocks.size());
    for (const OrvPixelBlock& block : row.blocks) count_run(s, block.color_count);
    if (y >= frame.height || !is_maximal_row(row, frame.width, shadow)) {
        ++s.non_maximal_rows;
        if (non_maximal != nullptr) non_maximal->push_back(y);
    }
    if (!shadow && y < frame.height) {
        RowPlacement placed(frame.width, entries, s);
        for (const OrvPixelBlock& block : row.blocks) {
            placed.run(block.offset, block.color_count, block.colors.data(), block.colors.size());
        }
    }
}

// The same for a frame whose rows the reader found whole in its bytes, read
// with the frame's own height and shadow flag: each row then holds the runs
// its block count says, each run the indices it counts (none in a shadow
// frame), and the bytes are walked without building the rows.
FrameStatistics whole_frame_statistics(const FrameRowBytes& source, const OrvFrame& frame, std::size_t entries,
                                       std::vector<std::size_t>* non_maximal) {
    const bool shadow = source.shadow;
    const bool count_past = !shadow && entries < 256;  // else no index lies past the palette
    const std::size_t width = frame.width;
    const std::uint8_t* p = source.bytes.data();
    // Counted in locals, the state of MaximalRow and RowPlacement among them:
    // the compiler keeps them in registers.
    std::uint64_t runs_total = 0, empty = 0, covered = 0, non_maximal_count = 0, drawn = 0, past = 0;
    std::uint32_t longest = 0, most = 0;
    for (std::size_t y = 0; y < source.height; ++y) {
        const unsigned runs = *p++;
        runs_total += runs;
        most = std::max(most, runs);
        // As MaximalRow: the row's end, the gap carried by empty runs, the run
        // before. The end only grows, so that it is checked once, after the row.
        std::size_t end = 0, carried = 0;
        unsigned previous = 0;
        bool first = true, maximal = true;
        std::size_t x = 0;  // as RowPlacement
        for (unsigned b = 0; b < runs; ++b) {
            const unsigned offset = p[0];
            const unsigned count = p[1];
            p += 2;
            empty += count == 0 ? 1 : 0;
            longest = std::max(longest, count);
            covered += count;
            if (count == 0) {
                maximal = maximal && offset == 255;
                carried += 255;
            } else {
                const std::size_t gap = carried + offset;
                maximal = maximal && !(carried > 0 && offset == 0) && !(gap == 0 && !first && previous != 255);
                end += gap + count;
                carried = 0;
                previous = count;
                first = false;
            }
            if (!shadow) {
                x += offset;
                if (count != 0 && x < width) {
                    const std::size_t n = std::min<std::size_t>(count, width - x);
                    drawn += n;
                    if (count_past) {
                        for (std::size_t j = 0; j < n; ++j) past += p[j] >= entries ? 1 : 0;
                    }
                    x += n;
                }
                p += count;
            }
        }
        if (!(maximal && end <= width && carried == 0)) {
            ++non_maximal_count;
            if (non_maximal != nullptr) non_maximal->push_back(y);
        }
    }
    // In the order of the fields: rows, runs, empty_runs, covered_pixels, longest_run,
    // most_runs_in_a_row, non_maximal_rows, palette_pixels, past_palette.
    return FrameStatistics{source.height, runs_total, empty, covered, longest, most, non_maximal_count, drawn, past};
}

}  // namespace

FrameStatistics& FrameStatistics::operator+=(const FrameStatistics& other) noexcept {
    rows += other.rows;
    runs += other.runs;
    empty_runs += other.empty_runs;
    covered_pixels += other.covered_pixels;
    longest_run = std::max(longest_run, other.longest_run);
    most_runs_in_a_row = std::max(most_runs_in_a_row, other.most_runs_in_a_row);
    non_maximal_rows += other.non_maximal_rows;
    palette_pixels += other.palette_pixels;
    past_palette += other.past_palette;
    return *this;
}

bool is_maximal_row(const OrvPixelSet& row, std::size_t width, bool shadow) {
    if (row.block_count != row.blocks.size()) return false;
    MaximalRow maximal(width);
    for (const OrvPixelBlock& block : row.blocks) {
        if (shadow ? !block.colors.empty() : block.color_count != block.colors.size()) return false;
        maximal.run(block.offset, block.color_count);
    }
    return maximal.maximal();
}

FrameStatistics frame_statistics(const OrvFrame& frame, std::size_t palette_entries,
                                 std::vector<std::size_t>* non_maximal) {
    FrameStatistics s;
    const FrameRowBytes* source = frame.unbuilt_rows();
    if (source == nullptr) {
        std::size_t y = 0;
        for (const OrvPixelSet& row : frame.pixel_sets()) {
            row_statistics(row, y++, frame, palette_entries, s, non_maximal);
        }
        return s;
    }
    if (frame.rows_as_read() != nullptr && source->whole) {
        return whole_frame_statistics(*source, frame, palette_entries, non_maximal);
    }
    // The rows the bytes give, one at a time into one reused row, as
    // building them would give them.
    ByteCursor in(source->bytes.data(), source->bytes.size());
    OrvPixelSet row;
    bool more = true;
    for (std::size_t y = 0; y < source->height; ++y) {
        row.block_count = 0;
        row.blocks.clear();
        if (more) more = read_row(in, row, source->shadow);
        row_statistics(row, y, frame, palette_entries, s, non_maximal);
    }
    return s;
}

}  // namespace orv

#include "render/index_layer.hpp"

#include <algorithm>

namespace orv {

IndexLayer index_layer(const OrvFrame& frame, std::size_t entries) {
    IndexLayer layer;
    const std::size_t width = frame.width;
    const std::size_t height = frame.height;
    const bool shadow = frame.is_shadow != 0;
    layer.grey_alpha.assign(width * height * 2, 0);
    const std::vector<OrvPixelSet>& rows = frame.pixel_sets();
    const std::size_t drawn = std::min(height, rows.size());
    for (std::size_t r = 0; r < drawn; ++r) {
        std::uint8_t* const row = layer.grey_alpha.data() + r * width * 2;
        std::size_t x = 0;  // at most 255 runs of 255 + 255 pixels: no overflow
        for (const OrvPixelBlock& block : rows[r].blocks) {
            x += block.offset;
            if (block.color_count == 0 || x >= width) continue;
            const std::size_t n = std::min<std::size_t>(shadow ? block.color_count : block.colors.size(), width - x);
            for (std::size_t j = 0; j < n; ++j) {
                std::uint8_t* const px = row + (x + j) * 2;
                if (!shadow) {
                    px[0] = block.colors[j];
                    if (block.colors[j] >= entries) ++layer.beyond;
                }
                px[1] = 255;
            }
            layer.covered += n;  // the cursor only moves right: no pixel is covered twice
            x += n;
        }
    }
    return layer;
}

bool is_maximal_row(const OrvPixelSet& row, std::size_t width, bool shadow) {
    if (row.block_count != row.blocks.size()) return false;
    std::size_t x = 0;
    std::size_t carried = 0;     // pixels of gap carried by empty runs so far
    std::size_t previous = 256;  // pixels of the run before; 256 at the start of the row
    for (const OrvPixelBlock& block : row.blocks) {
        const std::size_t n = block.color_count;
        if (shadow ? !block.colors.empty() : n != block.colors.size()) return false;
        if (n == 0) {
            if (block.offset != 255) return false;
            carried += 255;
            continue;
        }
        if (carried != 0 && block.offset == 0) return false;
        const std::size_t gap = carried + block.offset;
        if (gap == 0 && previous != 256 && previous != 255) return false;
        x += gap + n;
        if (x > width) return false;
        carried = 0;
        previous = n;
    }
    return carried == 0;
}

RunSummary run_summary(const OrvFrame& frame) {
    RunSummary s;
    const std::vector<OrvPixelSet>& rows = frame.pixel_sets();
    const bool shadow = frame.is_shadow != 0;
    s.rows = rows.size();
    for (std::size_t r = 0; r < rows.size(); ++r) {
        const OrvPixelSet& row = rows[r];
        s.runs += row.blocks.size();
        s.most_runs_in_a_row = std::max<std::uint64_t>(s.most_runs_in_a_row, row.blocks.size());
        for (const OrvPixelBlock& block : row.blocks) {
            if (block.color_count == 0) ++s.empty_runs;
            s.longest_run = std::max<std::uint64_t>(s.longest_run, block.color_count);
            s.covered_pixels += block.color_count;
        }
        if (r >= frame.height || !is_maximal_row(row, frame.width, shadow)) s.explicit_rows.push_back(r);
    }
    return s;
}

}  // namespace orv

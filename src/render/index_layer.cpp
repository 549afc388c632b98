#include "render/index_layer.hpp"

#include <algorithm>

namespace orv {

IndexLayer index_layer(const OrvFrame& frame) {
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
                if (!shadow) px[0] = block.colors[j];
                px[1] = 255;
            }
            layer.covered += n;  // the cursor only moves right: no pixel is covered twice
            x += n;
        }
    }
    return layer;
}

}  // namespace orv

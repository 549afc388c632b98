// In-memory records of one parsed animation.
//
// Frames are co-owned (shared pointers): a Python object that stands for a
// frame keeps that frame alive, so a load that replaces the frames of an
// animation can never leave it pointing at freed storage. Rows and runs live
// by value inside their frame; a loaded frame is never resized in place, it is
// replaced whole.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "palette/palette.hpp"

namespace orv {

struct OrvInfo {
    std::uint32_t speed = 0;
    std::uint32_t frame_count = 0;
};

struct OrvPixelBlock {
    std::uint8_t offset = 0;
    std::uint8_t color_count = 0;
    std::vector<std::uint8_t> colors;
};

struct OrvPixelSet {
    std::uint8_t block_count = 0;
    std::vector<OrvPixelBlock> blocks;
};

struct OrvFrame {
    std::uint32_t frame_size = 0;
    std::uint16_t height = 0;
    std::uint8_t is_shadow = 0;
    std::uint16_t width = 0;
    std::int16_t y_offset = 0;
    std::int16_t x_offset = 0;
    std::uint8_t unk1 = 0;
    std::uint8_t unk2 = 0;
    std::vector<OrvPixelSet> pixel_sets;
};

using OrvFramePtr = std::shared_ptr<OrvFrame>;

struct OrvData {
    OrvInfo info;
    std::vector<OrvFramePtr> frames;  // never holds an empty pointer
    std::shared_ptr<PalF> palette = std::make_shared<PalF>();
    bool has_background = false;
};

}  // namespace orv

// In-memory records of one parsed animation.
//
// Frames are co-owned (shared pointers): a Python object that stands for a
// frame keeps that frame alive, so a load that replaces the frames of an
// animation can never leave it pointing at freed storage. Rows and runs live
// by value inside their frame; a loaded frame is never resized in place, it is
// replaced whole.
//
// The palette indices of all runs of a frame live in one block of bytes that
// the frame co-owns (`index_storage`); each run sees its own part of it. The
// block is never written after it is filled, so copies of a frame may share it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "palette/palette.hpp"

namespace orv {

struct OrvInfo {
    std::uint32_t speed = 0;
    std::uint32_t frame_count = 0;
};

// The palette indices of one run, read only: a view of at most 255 bytes in
// the index storage of the run's frame, valid while that storage lives.
class RunIndices {
public:
    RunIndices() = default;
    RunIndices(const std::uint8_t* data, std::uint8_t size) noexcept : data_(data), size_(size) {}

    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    const std::uint8_t* begin() const noexcept { return data_; }
    const std::uint8_t* end() const noexcept { return data_ + size_; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }

private:
    const std::uint8_t* data_ = nullptr;
    std::uint8_t size_ = 0;
};

struct OrvPixelBlock {
    std::uint8_t offset = 0;
    std::uint8_t color_count = 0;
    RunIndices colors;  // the indices held, in the frame's index storage
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
    // The bytes that the `colors` of this frame's runs refer to.
    std::shared_ptr<const std::uint8_t[]> index_storage;
};

using OrvFramePtr = std::shared_ptr<OrvFrame>;

struct OrvData {
    OrvInfo info;
    std::vector<OrvFramePtr> frames;  // never holds an empty pointer
    std::shared_ptr<PalF> palette = std::make_shared<PalF>();
    bool has_background = false;
};

}  // namespace orv

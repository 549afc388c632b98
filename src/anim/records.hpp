// In-memory records of one parsed animation.
//
// Frames are co-owned (shared pointers): a Python object that stands for a
// frame keeps that frame alive, so a load that replaces the frames of an
// animation can never leave it pointing at freed storage. Rows and runs live
// by value inside their frame; a loaded frame is never resized in place, it is
// replaced whole.
//
// A loaded frame keeps the bytes of its rows as the file holds them (a part of
// the loader's own copy of the file, which the frame co-owns) and builds its
// rows and runs from them the first time they are asked for. The loader makes
// frames in chunks that share one owner: a frame held from Python keeps the
// frames of its chunk alive with it. The palette
// indices of its runs stay in those bytes; each run sees its own part of them.
// The bytes are never written, so copies of a frame may share them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/large_block.hpp"
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

// Where a loaded frame's rows lie in the file, and how they were read.
struct FrameRowBytes {
    SharedBytes bytes;         // the frame's row bytes, up to the end of its record
    std::uint16_t height = 0;  // the rows to read, as the frame's height was read
    bool shadow = false;       // whether runs carry no indices, as read
    bool whole = false;        // whether `bytes` hold all `height` rows in full
};

// A frame's rows: the bytes they come from until they are built, then the
// rows themselves.
struct FrameRows {
    FrameRowBytes source;
    std::vector<OrvPixelSet> pixel_sets;
    bool built = false;
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

    OrvFrame() = default;
    OrvFrame(const OrvFrame& other);
    OrvFrame& operator=(const OrvFrame& other);
    OrvFrame(OrvFrame&&) noexcept = default;
    OrvFrame& operator=(OrvFrame&&) noexcept = default;
    ~OrvFrame() = default;

    // The rows, top to bottom; built from the frame's bytes on the first call.
    // The vector never moves afterwards.
    std::vector<OrvPixelSet>& pixel_sets() { return built_rows().pixel_sets; }
    const std::vector<OrvPixelSet>& pixel_sets() const { return built_rows().pixel_sets; }

    // From now on the rows come from `rows`, built when first asked for.
    void set_row_bytes(FrameRowBytes rows);

    // The bytes that the rows come from, as long as the rows have not been
    // built; null afterwards. A frame that was not loaded reads as one loaded
    // from a record without rows.
    const FrameRowBytes* unbuilt_rows() const noexcept {
        if (!rows_) return &kNoRows;
        return rows_->built ? nullptr : &rows_->source;
    }

    // The same, only while the frame's height and shadow flag are those the
    // bytes were read with: the rows the bytes hold are then exactly the rows
    // that building would give.
    const FrameRowBytes* rows_as_read() const noexcept {
        const FrameRowBytes* source = unbuilt_rows();
        const bool same = source != nullptr && source->height == height && source->shadow == (is_shadow != 0);
        return same ? source : nullptr;
    }

private:
    // The rows of a record that holds none (height 0, not a shadow frame).
    static const FrameRowBytes kNoRows;

    FrameRows& built_rows() const;

    // Built on demand: a logically constant frame fills its rows once. Empty
    // for a frame without rows that were never asked for, so that such a
    // frame (a file can hold millions of them) takes no more than its fields
    // and this pointer.
    mutable std::unique_ptr<FrameRows> rows_;
};

using OrvFramePtr = std::shared_ptr<OrvFrame>;

struct OrvData {
    OrvInfo info;
    std::vector<OrvFramePtr> frames;  // never holds an empty pointer
    std::shared_ptr<PalF> palette = std::make_shared<PalF>();
    bool has_background = false;
};

}  // namespace orv

// Storage for rendered images.
//
// A rendering writes many images of a few kilobytes to a few hundred
// kilobytes. Taking each from the general allocator costs a page fault per
// 4 KiB and a pass that zeroes it; instead, images are carved out of large
// zero-filled blocks taken from the system at once (with transparent huge
// pages where the system offers them), and only covered pixels are written.
// A reload draws into the blocks of the images it replaces, writing every
// byte of an image drawn whole (the pixels no run covers as 0) instead of
// clearing it first. The images of one block share it: the block is freed
// when the last of them goes. A copy of an image always gets storage of its
// own, taken from memory that need not read as zero. Images handed out one
// by one (each may outlive the others) are drawn into blocks of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/large_block.hpp"

namespace orv {

using PixelBlock = LargeBlock;

// The bytes of one image: a part of a shared block.
class PixelBytes {
public:
    PixelBytes() = default;
    PixelBytes(std::shared_ptr<PixelBlock> block, std::uint8_t* data, std::size_t size) noexcept
        : block_(std::move(block)), data_(data), size_(size) {}

    // Copies get storage of their own, so a copy never keeps a shared block alive.
    PixelBytes(const PixelBytes& other);
    PixelBytes& operator=(const PixelBytes& other);
    PixelBytes(PixelBytes&& other) noexcept;
    PixelBytes& operator=(PixelBytes&& other) noexcept;
    ~PixelBytes() = default;

    std::uint8_t* data() noexcept { return data_; }
    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::uint8_t* begin() noexcept { return data_; }
    std::uint8_t* end() noexcept { return data_ + size_; }
    const std::uint8_t* begin() const noexcept { return data_; }
    const std::uint8_t* end() const noexcept { return data_ + size_; }
    std::uint8_t& operator[](std::size_t i) noexcept { return data_[i]; }
    std::uint8_t operator[](std::size_t i) const noexcept { return data_[i]; }
    // The block the bytes are part of (empty for no bytes).
    const std::shared_ptr<PixelBlock>& block() const noexcept { return block_; }

private:
    std::shared_ptr<PixelBlock> block_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Blocks that no image uses any more, handed to a new arena so that its
// images take memory that is already mapped and faulted in rather than fresh
// pages (which the system faults in and zeroes one by one). Only blocks that
// nothing else holds belong here.
using SpareBlocks = std::vector<std::shared_ptr<PixelBlock>>;

// Hands out image storage carved from blocks of at most kBlockBytes (an image
// larger than half of that gets a block of its own), so that one image kept
// alive holds little memory. The arena is told how many bytes its images will
// take in all and takes no larger blocks than that from the system. Spare
// blocks given to it are used first; their bytes are cleared image by image,
// right before each image is drawn.
class PixelArena {
public:
    static constexpr std::size_t kBlockBytes = std::size_t{8} << 20;

    // `expected`: the sum of footprint() over the images to come.
    // `separate`: every image gets a block of its own (for images handed
    // out one by one, each of which may outlive the others).
    explicit PixelArena(std::uint64_t expected, SpareBlocks spare = {}, bool separate = false) noexcept
        : expected_(expected), spare_(std::move(spare)), separate_(separate) {}

    // What an image of `size` bytes takes of the arena's expected bytes.
    static std::size_t footprint(std::size_t size) noexcept;

    // `size` bytes, all 0.
    PixelBytes zeroed(std::size_t size);
    // `size` bytes for a caller that writes every one of them: all 0 when
    // `cleared` is set on return, anything otherwise (a spare block is then
    // not cleared first, so that each byte is written once).
    PixelBytes for_writing(std::size_t size, bool& cleared);
    // `size` bytes copied from `source`.
    PixelBytes copy_of(const std::uint8_t* source, std::size_t size);

private:
    // Bytes from the storage; cleared unless `may_leave` (then `cleared`
    // says whether they read as zero all the same).
    PixelBytes take(std::size_t size, bool zeroed, bool may_leave, bool& cleared);
    // The smallest spare block of at least `size` bytes, or none.
    std::shared_ptr<PixelBlock> take_spare(std::size_t size) noexcept;

    std::uint64_t expected_;
    SpareBlocks spare_;
    std::shared_ptr<PixelBlock> block_;
    bool separate_ = false;     // every image in a block of its own
    bool block_dirty_ = false;  // block_ is a spare block: its bytes must be cleared before use
    std::size_t used_ = 0;
};

}  // namespace orv

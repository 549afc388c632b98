// Storage for rendered images.
//
// A rendering writes many images of a few kilobytes to a few hundred
// kilobytes. Taking each from the general allocator costs a page fault per
// 4 KiB and a pass that zeroes it; instead, images are carved out of large
// zero-filled blocks taken from the system at once (with transparent huge
// pages where the system offers them), and only covered pixels are written.
// The images of one block share it: the block is returned to the system when
// the last of them goes. A copy of an image always gets storage of its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

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

private:
    std::shared_ptr<PixelBlock> block_;
    std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

// Hands out image storage carved from blocks of at most kBlockBytes (an image
// larger than half of that gets a block of its own), so that one image kept
// alive holds little memory. The arena is told how many bytes its images will
// take in all and takes no larger blocks than that from the system.
class PixelArena {
public:
    static constexpr std::size_t kBlockBytes = std::size_t{8} << 20;

    // `expected`: the sum of footprint() over the images to come.
    explicit PixelArena(std::uint64_t expected) noexcept : expected_(expected) {}

    // What an image of `size` bytes takes of the arena's expected bytes.
    static std::size_t footprint(std::size_t size) noexcept;

    // `size` bytes, all 0.
    PixelBytes zeroed(std::size_t size);
    // `size` bytes copied from `source`.
    PixelBytes copy_of(const std::uint8_t* source, std::size_t size);

private:
    PixelBytes take(std::size_t size);

    std::uint64_t expected_;
    std::shared_ptr<PixelBlock> block_;
    std::size_t used_ = 0;
};

}  // namespace orv

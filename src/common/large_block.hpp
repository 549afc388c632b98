// Large blocks of memory taken from the system at once, and read-only byte
// ranges that share one.
//
// A block that must read as zero is mapped fresh from the system when it
// takes a megabyte or more (its pages read as zero without a pass over them).
// Any other block up to 32 MiB comes from the general allocator, so that a
// block taken after others were freed reuses the memory the allocator kept
// rather than fresh pages, each faulted in and zeroed by the system. Blocks of
// 2 MiB and more start on a huge page boundary, so that what fresh memory they
// take can be backed by transparent huge pages where the system offers them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace orv {

class LargeBlock {
public:
    // `size` bytes (at least one is taken); all 0 when `zeroed`. Throws
    // std::bad_alloc when the system has no memory left.
    static std::shared_ptr<LargeBlock> allocate(std::size_t size, bool zeroed);
    LargeBlock(const LargeBlock&) = delete;
    LargeBlock& operator=(const LargeBlock&) = delete;
    ~LargeBlock();

    std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }

private:
    LargeBlock(std::uint8_t* data, std::size_t size, bool mapped) noexcept
        : data_(data), size_(size), mapped_(mapped) {}

    std::uint8_t* data_;
    std::size_t size_;
    bool mapped_;
};

// A range of bytes that is never written again, with the owner that keeps it
// alive. Copies share the bytes.
class SharedBytes {
public:
    SharedBytes() = default;
    SharedBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size) noexcept
        : owner_(std::move(owner)), data_(data), size_(size) {}

    // The bytes copied into storage of their own.
    static SharedBytes copy_of(const std::uint8_t* data, std::size_t size);

    const std::uint8_t* data() const noexcept { return data_; }
    std::size_t size() const noexcept { return size_; }
    const std::shared_ptr<const void>& owner() const noexcept { return owner_; }

private:
    std::shared_ptr<const void> owner_;
    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
};

}  // namespace orv

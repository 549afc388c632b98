#include "render/pixel_bytes.hpp"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

namespace orv {

namespace {

constexpr std::size_t kAlign = 64;

std::size_t round_up(std::size_t n, std::size_t to) noexcept { return (n + (to - 1)) / to * to; }

}  // namespace

PixelBytes::PixelBytes(const PixelBytes& other) {
    if (other.size_ == 0) return;
    block_ = PixelBlock::allocate(other.size_, false);
    data_ = block_->data();
    size_ = other.size_;
    std::memcpy(data_, other.data_, size_);
}

PixelBytes& PixelBytes::operator=(const PixelBytes& other) {
    if (this != &other) *this = PixelBytes(other);
    return *this;
}

PixelBytes::PixelBytes(PixelBytes&& other) noexcept
    : block_(std::move(other.block_)), data_(other.data_), size_(other.size_) {
    other.data_ = nullptr;
    other.size_ = 0;
}

PixelBytes& PixelBytes::operator=(PixelBytes&& other) noexcept {
    if (this != &other) {
        block_ = std::move(other.block_);
        data_ = other.data_;
        size_ = other.size_;
        other.data_ = nullptr;
        other.size_ = 0;
    }
    return *this;
}

std::size_t PixelArena::footprint(std::size_t size) noexcept { return size == 0 ? 0 : round_up(size, kAlign); }

std::shared_ptr<PixelBlock> PixelArena::take_spare(std::size_t size) noexcept {
    // The smallest that fits, so that a large image does not take a block
    // that many small ones would share.
    std::size_t best = spare_.size();
    for (std::size_t i = 0; i < spare_.size(); ++i) {
        if (spare_[i]->size() >= size && (best == spare_.size() || spare_[i]->size() < spare_[best]->size())) best = i;
    }
    if (best == spare_.size()) return nullptr;
    std::shared_ptr<PixelBlock> block = std::move(spare_[best]);
    spare_.erase(spare_.begin() + static_cast<std::ptrdiff_t>(best));
    return block;
}

PixelBytes PixelArena::take(std::size_t size, bool zeroed, bool may_leave, bool& cleared) {
    cleared = zeroed;
    if (size == 0) return PixelBytes();
    const std::size_t need = footprint(size);
    expected_ -= std::min<std::uint64_t>(expected_, need);
    // New blocks that must read as zero come so from the system (or the
    // allocator's cleared memory); a spare block was used before and is
    // cleared here, image by image, unless the caller writes every byte.
    if (separate_ || size >= kBlockBytes / 2) {
        // A large image gets a block of its own rather than wasting a shared one.
        std::shared_ptr<PixelBlock> own = take_spare(size);
        if (!own) {
            // Storage of an image's own for a caller that writes every byte
            // of it need not be cleared first.
            const bool clear = zeroed && !(separate_ && may_leave);
            own = PixelBlock::allocate(size, clear);
            cleared = clear;
        } else if (zeroed && may_leave) {
            cleared = false;
        } else if (zeroed) {
            std::memset(own->data(), 0, size);
        }
        std::uint8_t* data = own->data();
        return PixelBytes(std::move(own), data, size);
    }
    if (!block_ || block_->size() - used_ < need) {
        // This image and as many of those to come as fit the block size.
        const std::uint64_t wanted = std::min<std::uint64_t>(std::uint64_t{need} + expected_, kBlockBytes);
        block_ = take_spare(need);
        block_dirty_ = true;
        if (!block_) {
            // Blocks for images that are copied in need not read as zero first.
            block_ = PixelBlock::allocate(static_cast<std::size_t>(wanted), zeroed);
            block_dirty_ = !zeroed;
        }
        used_ = 0;
    }
    std::uint8_t* data = block_->data() + used_;
    used_ += need;
    if (zeroed && block_dirty_) {
        if (may_leave) {
            cleared = false;
        } else {
            std::memset(data, 0, size);
        }
    }
    return PixelBytes(block_, data, size);
}

PixelBytes PixelArena::zeroed(std::size_t size) {
    bool cleared = false;
    return take(size, true, false, cleared);
}

PixelBytes PixelArena::for_writing(std::size_t size, bool& cleared) { return take(size, true, true, cleared); }

PixelBytes PixelArena::copy_of(const std::uint8_t* source, std::size_t size) {
    bool cleared = false;
    PixelBytes out = take(size, false, false, cleared);
    if (size > 0) std::memcpy(out.data(), source, size);
    return out;
}

}  // namespace orv

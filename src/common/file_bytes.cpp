// The platform-independent part of file_io.hpp: files read through an
// InputFile, whole or as far as a reader asks.
#include <algorithm>
#include <cstring>
#include <limits>

#include "common/file_io.hpp"

namespace orv {

namespace {

// The most a read asks for beyond the bytes wanted: what lies past the last
// byte a reader needs is read this far at most.
constexpr std::size_t kReadAhead = std::size_t{64} << 10;
// The first block, unless the file is smaller.
constexpr std::size_t kFirstBlock = std::size_t{1} << 20;

}  // namespace

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& out, std::size_t max_bytes) {
    InputFile file;
    if (!file.open(path)) return false;
    out.clear();
    std::uint64_t size = 0;
    if (file.size(size)) out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size, max_bytes)));
    // Read until the end even if the size changed since it was taken.
    std::uint8_t chunk[65536];
    while (out.size() < max_bytes) {
        const std::int64_t got = file.read(chunk, std::min(sizeof chunk, max_bytes - out.size()));
        if (got < 0) return false;
        if (got == 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    return true;
}

FileBytes::FileBytes(InputFile& file) : file_(file) {
    if (!file_.size(size_at_open_)) size_at_open_ = 0;
}

std::uint64_t FileBytes::whole_size() const {
    if (ended_) return size_;
    std::uint64_t now = 0;
    if (!file_.size(now)) now = size_at_open_;
    return std::max<std::uint64_t>(now, size_);
}

SharedBytes FileBytes::prefix(std::size_t n) const {
    if (!block_) return SharedBytes();
    return SharedBytes(block_, block_->data(), std::min(n, size_));
}

bool FileBytes::more(std::uint64_t n) {
    while (!ended_ && size_ < n) {
        if (size_ == capacity_) {
            // Twice as large, but not beyond one byte more than the file's
            // size (so that a file that has grown since is noticed); twice as
            // large again once it has grown.
            std::uint64_t grown = std::min<std::uint64_t>(
                std::max<std::uint64_t>(std::uint64_t{capacity_} * 2, kFirstBlock), size_at_open_ + 1);
            if (grown <= capacity_) grown = std::max<std::uint64_t>(std::uint64_t{capacity_} * 2, 1);
            if (grown > std::numeric_limits<std::size_t>::max()) {
                failed_ = ended_ = true;
                break;
            }
            std::shared_ptr<LargeBlock> larger = LargeBlock::allocate(static_cast<std::size_t>(grown), false);
            if (size_ > 0) std::memcpy(larger->data(), block_->data(), size_);
            block_ = std::move(larger);
            capacity_ = static_cast<std::size_t>(grown);
            data_ = block_->data();
        }
        // The bytes wanted, or the read-ahead when that is more, as far as
        // the block has room.
        const std::uint64_t ask = std::max<std::uint64_t>(n - size_, kReadAhead);
        const auto room = static_cast<std::size_t>(std::min<std::uint64_t>(ask, capacity_ - size_));
        const std::int64_t got = file_.read(block_->data() + size_, room);
        if (got <= 0) {
            failed_ = got < 0;
            ended_ = true;
            break;
        }
        size_ += static_cast<std::size_t>(got);
    }
    return size_ >= n;
}

}  // namespace orv

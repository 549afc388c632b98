#include <algorithm>
#include <cstring>
#include <memory>

#include "anim/orv_format.hpp"

namespace orv {

namespace {
// The smallest frame record: the fixed fields, no rows.
constexpr std::size_t kFrameRecordFixedBytes = 14;
}  // namespace

OrvHead OrvReader::parse_head() {
    OrvHead head;
    if (in_.peek_equals(kMagic, sizeof kMagic)) {
        head.has_header = true;
        in_.skip(4);  // magic
        const std::uint8_t* reserved = nullptr;
        const std::size_t got = in_.read_span(4, reserved);  // kept for reports, never used
        std::memcpy(head.reserved.data(), reserved, got);
        std::uint8_t flag = 0;
        if (in_.read_u8(flag)) {
            head.background_flag_read = true;
            head.background_flag = flag != 0;
            head.flag_byte = flag;
        }
    }
    head.speed_read = in_.read_u32(head.speed);
    head.path_length_read = in_.read_u32(head.path_length);
    const std::uint8_t* path = nullptr;
    const std::size_t got = in_.read_span(head.path_length, path);
    head.path.assign(reinterpret_cast<const char*>(path), got);
    head.frame_count_read = in_.read_u32(head.frame_count);
    head.end = in_.offset();
    return head;
}

namespace {

// The number of index bytes that the rows of a frame hold, as far as the file
// holds them: walks the rows like read_frame without storing anything.
std::size_t count_index_bytes(ByteCursor in, std::size_t rows) {
    std::size_t total = 0;
    for (std::size_t r = 0; r < rows; ++r) {
        std::uint8_t blocks = 0;
        if (!in.read_u8(blocks)) break;
        for (unsigned b = 0; b < blocks; ++b) {
            std::uint8_t offset = 0;
            std::uint8_t count = 0;
            if (!in.read_u8(offset) || !in.read_u8(count)) return total;
            const std::uint8_t* indices = nullptr;
            total += in.read_span(count, indices);
        }
    }
    return total;
}

// Copies the n < 256 indices of one run. Runs are short, so this copies a word
// at a time: a general copy of unknown length costs more to start than that.
inline void copy_run(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) noexcept {
    for (; n >= 8; n -= 8, src += 8, dst += 8) std::memcpy(dst, src, 8);
    if (n & 4) {
        std::memcpy(dst, src, 4);
        src += 4;
        dst += 4;
    }
    if (n & 2) {
        std::memcpy(dst, src, 2);
        src += 2;
        dst += 2;
    }
    if (n & 1) *dst = *src;
}

}  // namespace

bool OrvReader::read_frame(OrvFrame& frame, std::uint16_t& height_word) {
    if (!in_.read_u32(frame.frame_size) || !in_.read_u16(height_word)) return false;

    frame.is_shadow = (height_word & 0x8000u) ? 1 : 0;
    if (frame.is_shadow) shadow_mode_ = true;
    frame.height = shadow_mode_ ? static_cast<std::uint16_t>(height_word & 0xFFu) : height_word;
    const bool fixed_fields = in_.read_u16(frame.width) && in_.read_i16(frame.y_offset) &&
                              in_.read_i16(frame.x_offset) && in_.read_u8(frame.unk1) && in_.read_u8(frame.unk2);

    // A complete frame holds at least one byte per row, so rows are bounded by
    // the file; only a frame cut short holds rows the file lacks, left empty.
    auto& rows = frame.pixel_sets;
    rows.resize(frame.height);
    if (!fixed_fields) return false;

    const bool shadow = frame.is_shadow != 0;
    // All index bytes of the frame go into one block, sized by what the file
    // holds (at most the bytes that remain), so runs need no storage of their own.
    std::uint8_t* storage = nullptr;
    if (!shadow) {
        const std::size_t index_bytes = count_index_bytes(in_, rows.size());
        if (index_bytes > 0) {
            std::shared_ptr<std::uint8_t[]> block(new std::uint8_t[index_bytes]);
            storage = block.get();
            frame.index_storage = std::move(block);
        }
    }
    for (OrvPixelSet& row : rows) {
        if (!in_.read_u8(row.block_count)) return false;
        row.blocks.reserve(row.block_count);
        for (unsigned b = 0; b < row.block_count; ++b) {
            row.blocks.emplace_back();
            OrvPixelBlock& block = row.blocks.back();
            if (!in_.read_u8(block.offset) || !in_.read_u8(block.color_count)) return false;
            if (!shadow && block.color_count > 0) {
                const std::uint8_t* indices = nullptr;
                const std::size_t got = in_.read_span(block.color_count, indices);
                if (got > 0) {
                    copy_run(storage, indices, got);
                    block.colors = RunIndices(storage, static_cast<std::uint8_t>(got));
                    storage += got;
                }
                if (got < block.color_count) return false;
            }
        }
    }
    return true;
}

bool OrvReader::parse_frames(OrvData& data, std::uint32_t wanted, std::vector<FrameExtent>* extents) {
    shadow_mode_ = false;
    const auto signed_count = static_cast<std::int32_t>(wanted);
    const std::size_t to_read = signed_count > 0 ? static_cast<std::size_t>(signed_count) : 0;

    std::vector<OrvFramePtr> frames;
    frames.reserve(std::min(to_read, in_.remaining() / kFrameRecordFixedBytes + 1));
    if (extents) extents->reserve(extents->size() + frames.capacity());
    bool whole = true;
    for (std::size_t i = 0; i < to_read; ++i) {
        if (in_.at_end()) {
            whole = false;
            break;
        }
        auto frame = std::make_shared<OrvFrame>();
        FrameExtent extent;
        extent.start = in_.offset();
        const bool complete = read_frame(*frame, extent.height_word);
        frames.push_back(std::move(frame));
        if (extents) {
            extent.end = in_.offset();
            extent.whole = complete;
            extents->push_back(extent);
        }
        if (!complete) {
            whole = false;
            break;
        }
    }
    // Frames read before stay alive as long as something else holds them.
    data.frames.swap(frames);
    data.info.frame_count = static_cast<std::uint32_t>(data.frames.size());
    return whole && to_read == wanted;
}

}  // namespace orv

#include <algorithm>

#include "anim/orv_format.hpp"

namespace orv {

namespace {

class ByteSink {
public:
    explicit ByteSink(std::vector<std::uint8_t>& out) : out_(out) {}
    void u8(std::uint8_t v) { out_.push_back(v); }
    void u16(std::uint16_t v) {
        out_.push_back(static_cast<std::uint8_t>(v & 0xFF));
        out_.push_back(static_cast<std::uint8_t>(v >> 8));
    }
    void u32(std::uint32_t v) {
        for (int shift = 0; shift < 32; shift += 8) out_.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
    }
    void bytes(const void* p, std::size_t n) {
        const auto* b = static_cast<const std::uint8_t*>(p);
        out_.insert(out_.end(), b, b + n);
    }

private:
    std::vector<std::uint8_t>& out_;
};

}  // namespace

std::vector<std::uint8_t> write_orv(OrvData& data, const std::string& palette_path) {
    std::vector<std::uint8_t> out;
    ByteSink sink(out);

    if (data.has_background) {
        sink.bytes(kMagic, sizeof kMagic);
        sink.u32(0);
        sink.u8(1);
    }
    sink.u32(data.info.speed);
    // The path and its terminating zero byte; a path too long for the 32-bit
    // length field cannot come from a project path and is cut at the limit.
    const std::size_t path_bytes = std::min<std::size_t>(palette_path.size(), 0xFFFFFFFEu);
    sink.u32(static_cast<std::uint32_t>(path_bytes + 1));
    sink.bytes(palette_path.data(), path_bytes);
    sink.u8(0);
    sink.u32(data.has_background ? data.info.frame_count - 1u : data.info.frame_count);

    const auto signed_count = static_cast<std::int32_t>(data.info.frame_count);
    const std::size_t wanted = signed_count > 0 ? static_cast<std::size_t>(signed_count) : 0;
    const std::size_t frame_total = std::min(wanted, data.frames.size());
    for (std::size_t i = 0; i < frame_total; ++i) {
        OrvFrame& frame = *data.frames[i];
        const bool shadow = frame.is_shadow != 0;
        sink.u32(frame.frame_size);
        sink.u16(shadow ? static_cast<std::uint16_t>(0x8000u + (frame.height % 256u)) : frame.height);
        sink.u16(frame.width);
        sink.u16(static_cast<std::uint16_t>(frame.y_offset));
        sink.u16(static_cast<std::uint16_t>(frame.x_offset));
        frame.unk1 = 0;
        frame.unk2 = 1;
        sink.u8(frame.unk1);
        sink.u8(frame.unk2);
        for (const OrvPixelSet& row : frame.pixel_sets()) {
            sink.u8(row.block_count);
            for (const OrvPixelBlock& block : row.blocks) {
                sink.u8(block.offset);
                sink.u8(block.color_count);
                if (shadow) continue;
                // color_count bytes from the start of colors; indices the run
                // lacks are written as 0.
                const std::size_t held = std::min<std::size_t>(block.color_count, block.colors.size());
                sink.bytes(block.colors.data(), held);
                out.insert(out.end(), block.color_count - held, std::uint8_t{0});
            }
        }
    }
    return out;
}

}  // namespace orv

#include "anim/orv_encoder.hpp"

#include "anim/orv_format.hpp"

namespace orv {

namespace {

void put_u16(std::vector<std::uint8_t>& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v & 0xFFu));
    out.push_back(static_cast<std::uint8_t>(v >> 8));
}

void put_u32(std::vector<std::uint8_t>& out, std::uint32_t v) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFFu));
}

}  // namespace

void append_frame(std::vector<std::uint8_t>& out, const FrameRecord& frame) {
    put_u32(out, frame.frame_size);
    put_u16(out, frame.height_word);
    put_u16(out, frame.width);
    put_u16(out, static_cast<std::uint16_t>(frame.y_offset));
    put_u16(out, static_cast<std::uint16_t>(frame.x_offset));
    out.push_back(frame.unk1);
    out.push_back(frame.unk2);
    const bool shadow = (frame.height_word & 0x8000u) != 0;
    for (const RowRecord& row : frame.rows) {
        out.push_back(row.block_count);
        for (const RunRecord& run : row.runs) {
            out.push_back(run.offset);
            out.push_back(run.color_count);
            if (!shadow) out.insert(out.end(), run.indices.begin(), run.indices.end());
        }
    }
}

void append_head(std::vector<std::uint8_t>& out, const AnimationRecord& record) {
    if (record.has_header) {
        out.insert(out.end(), std::begin(kMagic), std::end(kMagic));
        out.insert(out.end(), record.reserved.begin(), record.reserved.end());
        out.push_back(record.flag);
    }
    put_u32(out, record.speed);
    put_u32(out, record.path_length);
    out.insert(out.end(), record.path_field.begin(), record.path_field.end());
    put_u32(out, record.frame_count);
}

std::vector<std::uint8_t> encode_animation(const AnimationRecord& record) {
    std::vector<std::uint8_t> out;
    append_head(out, record);
    for (const FrameRecord& frame : record.frames) append_frame(out, frame);
    out.insert(out.end(), record.trailing.begin(), record.trailing.end());
    return out;
}

}  // namespace orv

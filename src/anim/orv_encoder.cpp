#include "anim/orv_encoder.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <utility>

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

void append_frame_fields(std::vector<std::uint8_t>& out, const FrameFields& fields) {
    put_u32(out, fields.frame_size);
    put_u16(out, fields.height_word);
    put_u16(out, fields.width);
    put_u16(out, static_cast<std::uint16_t>(fields.y_offset));
    put_u16(out, static_cast<std::uint16_t>(fields.x_offset));
    out.push_back(fields.unk1);
    out.push_back(fields.unk2);
}

void append_run(std::vector<std::uint8_t>& out, std::uint8_t offset, std::uint8_t color_count,
                const std::uint8_t* indices, std::size_t held, bool shadow) {
    out.push_back(offset);
    out.push_back(color_count);
    if (!shadow) out.insert(out.end(), indices, indices + held);
}

void append_frame(std::vector<std::uint8_t>& out, const FrameRecord& frame) {
    append_frame_fields(out, frame);
    const bool shadow = (frame.height_word & 0x8000u) != 0;
    for (const RowRecord& row : frame.rows) {
        out.push_back(row.block_count);
        for (const RunRecord& run : row.runs) {
            append_run(out, run.offset, run.color_count, run.indices.data(), run.indices.size(), shadow);
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

namespace {

ReadBack head_difference(const AnimationRecord& head, const OrvHead& read) {
    using std::to_string;
    if (read.has_header != head.has_header) {
        if (head.has_header) return {"has_header", -1, "is not read as the background form's header"};
        return {"speed", -1, to_string(head.speed) + " reads as the background form's magic"};
    }
    if (!read.path_length_read || read.path.size() != head.path_length || read.path != head.path_field) {
        return {"path_length", -1,
                to_string(head.path_length) + " is not the length of the " + to_string(head.path_field.size()) +
                    " bytes of the path field"};
    }
    if (!read.whole()) return {"path_length", -1, "leaves the head cut short"};
    return {};
}

}  // namespace

ReadBack read_back_difference(const AnimationRecord& head, const std::vector<EncodedFrame>& frames,
                              const std::vector<std::uint8_t>& bytes) {
    using std::to_string;
    OrvReader reader(SharedBytes::copy_of(bytes.data(), bytes.size()));
    const OrvHead read = reader.parse_head();
    ReadBack problem = head_difference(head, read);
    if (!problem.same()) return problem;
    // The frames the loader asks for: the count field, and the background
    // frame; a count past 2^31 - 1 reads as negative, and takes none.
    const std::uint32_t wanted = read.frame_count + (read.background_flag ? 1u : 0u);
    const std::size_t taken = static_cast<std::int32_t>(wanted) > 0 ? wanted : 0;
    if (taken != frames.size()) {
        return {"frame_count", -1,
                to_string(head.frame_count) + (read.background_flag ? " (and the background frame)" : "") +
                    " makes the reader take " + to_string(taken) + " frame records, " + to_string(frames.size()) +
                    " are given"};
    }
    OrvData data;
    std::vector<FrameExtent> extents;
    reader.parse_frames(data, wanted, &extents);
    for (std::size_t i = 0; i < frames.size() && i < extents.size(); ++i) {
        const EncodedFrame& given = frames[i];
        const FrameExtent& got = extents[i];
        if (got.start == given.start && got.end == given.end && got.whole) continue;
        if (got.start != given.start) break;  // an earlier frame ended elsewhere: said below
        const OrvFrame& frame = *data.frames[i];
        const auto at = static_cast<std::int64_t>(i);
        if (frame.height != given.rows) {
            return {
                "rows", at,
                "holds " + to_string(given.rows) + " rows, the reader takes " + to_string(frame.height) +
                    " for its height word " + to_string(given.height_word) +
                    (frame.height != (given.height_word & 0x7FFFu) ? " (after a shadow frame, its low 8 bits)" : "")};
        }
        return {"block_count", at, "of a row is not the number of its runs: its runs are not read back as given"};
    }
    if (extents.size() != frames.size()) return {"frame_count", -1, "takes frame records that are cut short"};
    return {};
}

StreamEncoder::StreamEncoder(AnimationRecord head) : head_(std::move(head)) { append_head(bytes_, head_); }

void StreamEncoder::add(const FrameRecord& frame) {
    const std::uint64_t start = bytes_.size();
    append_frame(bytes_, frame);
    layout_.push_back(EncodedFrame{start, bytes_.size(), frame.height_word, frame.rows.size()});
}

ReadBack StreamEncoder::finish(bool check) {
    bytes_.insert(bytes_.end(), head_.trailing.begin(), head_.trailing.end());
    return check ? read_back_difference(head_, layout_, bytes_) : ReadBack{};
}

// --- the save: a loaded animation, by the save rule ----------------------------

std::vector<std::uint8_t> write_orv(OrvData& data, const std::string& palette_path) {
    std::vector<std::uint8_t> out;
    // The path and its terminating zero byte; a path too long for the 32-bit
    // length field cannot come from a project path and is cut at the limit.
    AnimationRecord head;
    head.has_header = data.has_background;
    head.flag = 1;
    head.speed = data.info.speed;
    head.path_field.assign(palette_path, 0, std::min<std::size_t>(palette_path.size(), 0xFFFFFFFEu));
    head.path_field.push_back('\0');
    head.path_length = static_cast<std::uint32_t>(head.path_field.size());
    head.frame_count = data.has_background ? data.info.frame_count - 1u : data.info.frame_count;
    append_head(out, head);

    const auto signed_count = static_cast<std::int32_t>(data.info.frame_count);
    const std::size_t wanted = signed_count > 0 ? static_cast<std::size_t>(signed_count) : 0;
    const std::size_t frame_total = std::min(wanted, data.frames.size());
    for (std::size_t i = 0; i < frame_total; ++i) {
        OrvFrame& frame = *data.frames[i];
        const bool shadow = frame.is_shadow != 0;
        frame.unk1 = 0;
        frame.unk2 = 1;
        FrameFields fields;
        fields.frame_size = frame.frame_size;
        fields.height_word = shadow ? static_cast<std::uint16_t>(0x8000u + (frame.height % 256u)) : frame.height;
        fields.width = frame.width;
        fields.y_offset = frame.y_offset;
        fields.x_offset = frame.x_offset;
        fields.unk1 = frame.unk1;
        fields.unk2 = frame.unk2;
        append_frame_fields(out, fields);
        for (const OrvPixelSet& row : frame.pixel_sets()) {
            out.push_back(row.block_count);
            for (const OrvPixelBlock& block : row.blocks) {
                // color_count bytes from the start of colors; indices the run
                // lacks are written as 0.
                const std::size_t held = std::min<std::size_t>(block.color_count, block.colors.size());
                append_run(out, block.offset, block.color_count, block.colors.data(), held, shadow);
                if (!shadow) out.insert(out.end(), block.color_count - held, std::uint8_t{0});
            }
        }
    }
    return out;
}

}  // namespace orv

#include "anim/orv_encoder.hpp"

#include <string>

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

namespace {

std::string head_difference(const AnimationRecord& head, const OrvHead& read) {
    using std::to_string;
    if (read.has_header != head.has_header) {
        return head.has_header ? "the header is not read as one"
                               : "'speed' " + to_string(head.speed) + " reads as the background form's magic";
    }
    if (!read.path_length_read || read.path.size() != head.path_length || read.path != head.path_field) {
        return "'location_size' " + to_string(head.path_length) + " is not the length of the " +
               to_string(head.path_field.size()) + " bytes of 'path_field'";
    }
    if (!read.whole()) return "the head is cut short";
    return {};
}

}  // namespace

std::string read_back_difference(const AnimationRecord& head, const std::vector<EncodedFrame>& frames,
                                 const std::vector<std::uint8_t>& bytes) {
    using std::to_string;
    OrvReader reader(SharedBytes::copy_of(bytes.data(), bytes.size()));
    const OrvHead read = reader.parse_head();
    std::string problem = head_difference(head, read);
    if (!problem.empty()) return problem;
    // The frames the loader asks for: the count field, and the background.
    const std::uint32_t wanted = read.frame_count + (read.background_flag ? 1u : 0u);
    OrvData data;
    std::vector<FrameExtent> extents;
    reader.parse_frames(data, wanted, &extents);
    for (std::size_t i = 0; i < frames.size() && i < extents.size(); ++i) {
        const EncodedFrame& given = frames[i];
        const FrameExtent& got = extents[i];
        if (got.start == given.start && got.end == given.end && got.whole) continue;
        if (got.start != given.start) break;  // an earlier frame ended elsewhere: said below
        const OrvFrame& frame = *data.frames[i];
        const std::string where = "frame " + to_string(i) + ": ";
        if (frame.height != given.rows) {
            return where + "'rows' holds " + to_string(given.rows) + " rows, the reader takes " +
                   to_string(frame.height) + " for its height word " + to_string(given.height_word) +
                   (frame.height != (given.height_word & 0x7FFFu) ? " (after a shadow frame, its low 8 bits)" : "");
        }
        return where + "its runs are not read back as given (a row's 'block_count' is not the number of its runs)";
    }
    if (extents.size() != frames.size()) {
        return "'frame_count_field' " + to_string(head.frame_count) + " makes the reader take " +
               to_string(extents.size()) + " frame records, " + to_string(frames.size()) + " are given";
    }
    return {};
}

std::vector<std::uint8_t> encode_animation(const AnimationRecord& record) {
    std::vector<std::uint8_t> out;
    append_head(out, record);
    for (const FrameRecord& frame : record.frames) append_frame(out, frame);
    out.insert(out.end(), record.trailing.begin(), record.trailing.end());
    return out;
}

}  // namespace orv

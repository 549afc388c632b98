#include <algorithm>
#include <cstring>
#include <memory>

#include "anim/orv_format.hpp"

namespace orv {

namespace {
// The smallest frame record: the fixed fields, no rows.
constexpr std::size_t kFrameRecordFixedBytes = 14;
// Frames made in one allocation. A frame held from Python keeps its chunk
// alive: the chunk is small beside the file bytes that every frame keeps.
constexpr std::size_t kFramesPerChunk = 1024;
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

// Moves past the rows of a frame record without looking at their contents.
// Returns false when the bytes end inside them; the cursor is then at the end.
bool skip_rows(ByteCursor& in, std::size_t rows, bool shadow) {
    const std::uint8_t* const start = in.position();
    const std::uint8_t* const end = start + in.remaining();
    const std::uint8_t* p = start;
    bool whole = true;
    for (std::size_t r = 0; r < rows && whole; ++r) {
        if (p == end) {
            whole = false;
            break;
        }
        for (unsigned blocks = *p++; blocks > 0; --blocks) {
            const auto left = static_cast<std::size_t>(end - p);
            if (left < 2 || left < 2u + (shadow ? 0u : p[1])) {
                p = end;
                whole = false;
                break;
            }
            p += 2u + (shadow ? 0u : p[1]);
        }
    }
    in.skip(static_cast<std::size_t>(p - start));
    return whole;
}

// Reads rows into `rows` (sized to the frame's height), as far as the bytes
// hold them: rows the bytes lack stay empty, a run cut short keeps what was
// read. The indices of each run stay in the bytes.
void read_rows(ByteCursor& in, std::vector<OrvPixelSet>& rows, bool shadow) {
    for (OrvPixelSet& row : rows) {
        if (!read_row(in, row, shadow)) return;
    }
}

}  // namespace

OrvHead walk_head(ByteSupply& in) {
    in.hold(sizeof kMagic);
    const std::uint64_t at = in.size() >= sizeof kMagic && std::memcmp(in.data(), kMagic, sizeof kMagic) == 0 ? 9 : 0;
    // The speed and the palette path's length, then the path and the count.
    if (in.hold(at + 8)) {
        const std::uint8_t* p = in.data() + at + 4;
        const std::uint32_t length = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
                                     (static_cast<std::uint32_t>(p[2]) << 16) |
                                     (static_cast<std::uint32_t>(p[3]) << 24);
        in.hold(at + 8 + length + 4);
    }
    // Either every byte of the head is held, or every byte of the file.
    return OrvReader(SharedBytes({}, in.data(), in.size())).parse_head();
}

std::uint64_t walk_frames(ByteSupply& in, std::uint64_t start, std::uint32_t wanted) {
    // The longest row: its block count and 255 runs of 255 indices.
    constexpr std::size_t kLongestRow = 1 + 255 * (2 + 255);
    const auto signed_count = static_cast<std::int32_t>(wanted);
    const std::uint64_t to_read = signed_count > 0 ? static_cast<std::uint64_t>(signed_count) : 0;
    bool shadow_mode = false;
    std::uint64_t pos = start;
    for (std::uint64_t i = 0; i < to_read; ++i) {
        if (!in.hold(pos + 1)) break;  // the file ends between records
        if (!in.hold(pos + kFrameRecordFixedBytes)) return in.size();
        const std::uint8_t* fields = in.data() + pos;
        const auto height_word = static_cast<std::uint16_t>(fields[4] | (fields[5] << 8));
        const bool shadow = (height_word & 0x8000u) != 0;
        if (shadow) shadow_mode = true;
        const std::size_t height = shadow_mode ? (height_word & 0xFFu) : height_word;
        pos += kFrameRecordFixedBytes;
        for (std::size_t r = 0; r < height; ++r) {
            // With a longest row held (or all the file has), the row's end is known.
            if (in.size() - pos < kLongestRow) in.hold(pos + kLongestRow);
            ByteCursor row(in.data() + pos, in.size() - static_cast<std::size_t>(pos));
            const bool whole = skip_rows(row, 1, shadow);
            pos += row.offset();
            if (!whole) return pos;
        }
    }
    return pos;
}

std::uint64_t records_allowed(const OrvHead& head, std::uint64_t size) {
    if (!head.frame_count_read || size < head.end) return 0;
    std::uint32_t announced = head.frame_count;
    if (head.background_flag_read && head.background_flag) announced += 1u;  // 32-bit, as the load counts
    const std::uint64_t wanted = announced < 0x80000000u ? announced : 0;
    const std::uint64_t room = (size - head.end + kFrameRecordFixedBytes - 1) / kFrameRecordFixedBytes;
    return std::min(wanted, room);
}

bool read_row(ByteCursor& in, OrvPixelSet& row, bool shadow) {
    if (!in.read_u8(row.block_count)) return false;
    row.blocks.reserve(row.block_count);
    for (unsigned b = 0; b < row.block_count; ++b) {
        row.blocks.emplace_back();
        OrvPixelBlock& block = row.blocks.back();
        if (!in.read_u8(block.offset) || !in.read_u8(block.color_count)) return false;
        if (!shadow && block.color_count > 0) {
            const std::uint8_t* indices = nullptr;
            const std::size_t got = in.read_span(block.color_count, indices);
            if (got > 0) block.colors = RunIndices(indices, static_cast<std::uint8_t>(got));
            if (got < block.color_count) return false;
        }
    }
    return true;
}

const FrameRowBytes OrvFrame::kNoRows{SharedBytes(), 0, false, true};

OrvFrame::OrvFrame(const OrvFrame& other)
    : frame_size(other.frame_size),
      height(other.height),
      is_shadow(other.is_shadow),
      width(other.width),
      y_offset(other.y_offset),
      x_offset(other.x_offset),
      unk1(other.unk1),
      unk2(other.unk2),
      rows_(other.rows_ ? std::make_unique<FrameRows>(*other.rows_) : nullptr) {}

OrvFrame& OrvFrame::operator=(const OrvFrame& other) {
    if (this != &other) *this = OrvFrame(other);
    return *this;
}

void OrvFrame::set_row_bytes(FrameRowBytes rows) {
    const bool none = rows.bytes.size() == 0 && rows.height == 0 && !rows.shadow && rows.whole;
    rows_ = none ? nullptr : std::make_unique<FrameRows>(FrameRows{std::move(rows), {}, false});
}

FrameRows& OrvFrame::built_rows() const {
    if (!rows_) {
        rows_ = std::make_unique<FrameRows>();
        rows_->built = true;
    } else if (!rows_->built) {
        // Built aside and swapped in, so that running out of memory half way
        // leaves the frame as it was.
        const FrameRowBytes& source = rows_->source;
        std::vector<OrvPixelSet> rows(source.height);
        ByteCursor in(source.bytes.data(), source.bytes.size());
        read_rows(in, rows, source.shadow);
        rows_->pixel_sets.swap(rows);
        rows_->built = true;  // the source stays: the runs' indices lie in its bytes
    }
    return *rows_;
}

bool OrvReader::read_frame(OrvFrame& frame, std::uint16_t& height_word) {
    if (!in_.read_u32(frame.frame_size) || !in_.read_u16(height_word)) return false;

    frame.is_shadow = (height_word & 0x8000u) ? 1 : 0;
    if (frame.is_shadow) shadow_mode_ = true;
    frame.height = shadow_mode_ ? static_cast<std::uint16_t>(height_word & 0xFFu) : height_word;
    const bool fixed_fields = in_.read_u16(frame.width) && in_.read_i16(frame.y_offset) &&
                              in_.read_i16(frame.x_offset) && in_.read_u8(frame.unk1) && in_.read_u8(frame.unk2);

    // The rows are only walked past here; the frame builds them from its
    // bytes when they are first asked for. A frame cut short keeps the bytes
    // up to the end of the file, and the rows that the file lacks come out
    // empty.
    const std::uint8_t* const rows_begin = in_.position();
    const bool complete = fixed_fields && skip_rows(in_, frame.height, frame.is_shadow != 0);
    const auto rows_size = static_cast<std::size_t>(in_.position() - rows_begin);
    frame.set_row_bytes(FrameRowBytes{SharedBytes(bytes_.owner(), rows_begin, rows_size), frame.height,
                                      frame.is_shadow != 0, complete});
    return complete;
}

bool OrvReader::parse_frames(OrvData& data, std::uint32_t wanted, std::vector<FrameExtent>* extents) {
    shadow_mode_ = false;
    last_ = FrameExtent{};
    const auto signed_count = static_cast<std::int32_t>(wanted);
    const std::size_t to_read = signed_count > 0 ? static_cast<std::size_t>(signed_count) : 0;

    std::vector<OrvFramePtr> frames;
    frames.reserve(std::min(to_read, in_.remaining() / kFrameRecordFixedBytes + 1));
    if (extents) extents->reserve(extents->size() + frames.capacity());
    // The frames are made in chunks, each one allocation with one owner that
    // the frames' pointers share: a frame costs its fields and its pointer.
    std::shared_ptr<std::vector<OrvFrame>> chunk;
    bool whole = true;
    for (std::size_t i = 0; i < to_read; ++i) {
        if (in_.at_end()) {
            whole = false;
            break;
        }
        if (!chunk || chunk->size() == chunk->capacity()) {
            chunk = std::make_shared<std::vector<OrvFrame>>();
            chunk->reserve(std::min({kFramesPerChunk, to_read - i, in_.remaining() / kFrameRecordFixedBytes + 1}));
        }
        chunk->emplace_back();  // within the capacity reserved: no frame of the chunk moves
        OrvFrame& frame = chunk->back();
        FrameExtent extent;
        extent.start = in_.offset();
        const bool complete = read_frame(frame, extent.height_word);
        frames.emplace_back(chunk, &frame);
        extent.end = in_.offset();
        extent.whole = complete;
        last_ = extent;
        if (extents) extents->push_back(extent);
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

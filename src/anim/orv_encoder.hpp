// The one encoding of the animation format.
//
// Two routes share it: write_orv serialises a loaded animation by the save
// rule (the writer's own header, path field and count, unk1/unk2 set), and
// StreamEncoder writes every field exactly as its record gives it: the raw height
// word (shadow bit included), the path field and the length stored before it,
// the frame-count field, the header's reserved bytes and flag, unk1/unk2, each
// row's block count, each run's colour count and the indices it holds, and
// the bytes after the last frame. Counts are not checked against what they
// count, so odd and broken files can be made as well as faithful ones.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace orv {

struct RunRecord {
    std::uint8_t offset = 0;
    std::uint8_t color_count = 0;       // written as given
    std::vector<std::uint8_t> indices;  // written in full, unless the frame is a shadow frame
};

struct RowRecord {
    std::uint8_t block_count = 0;  // written as given
    std::vector<RunRecord> runs;
};

// The fixed fields of a frame record, as written.
struct FrameFields {
    std::uint32_t frame_size = 0;
    std::uint16_t height_word = 0;  // bit 15 set: a shadow frame, whose runs carry no indices
    std::uint16_t width = 0;
    std::int16_t y_offset = 0;
    std::int16_t x_offset = 0;
    std::uint8_t unk1 = 0;
    std::uint8_t unk2 = 0;
};

struct FrameRecord : FrameFields {
    std::vector<RowRecord> rows;
};

struct AnimationRecord {
    bool has_header = false;  // the background form: magic, reserved bytes, flag byte
    std::array<std::uint8_t, 4> reserved{};
    std::uint8_t flag = 1;
    std::uint32_t speed = 0;
    std::uint32_t path_length = 0;  // the length field, written as given
    std::string path_field;         // the path bytes, zero byte included when there is one
    std::uint32_t frame_count = 0;  // the count field, written as given
    std::vector<FrameRecord> frames;
    std::vector<std::uint8_t> trailing;  // bytes after the last frame record
};

// A file in parts, for records made one frame at a time: the fields before
// the frames (record.frames and record.trailing are not read), then one frame
// record, each appended to `out`; the trailing bytes come last.
void append_head(std::vector<std::uint8_t>& out, const AnimationRecord& record);
void append_frame(std::vector<std::uint8_t>& out, const FrameRecord& frame);

// The parts of a frame record: its fixed fields, and one run (its offset and
// colour count, then `held` indices unless the frame is a shadow frame).
void append_frame_fields(std::vector<std::uint8_t>& out, const FrameFields& fields);
void append_run(std::vector<std::uint8_t>& out, std::uint8_t offset, std::uint8_t color_count,
                const std::uint8_t* indices, std::size_t held, bool shadow);

// Where append_frame put one frame record: [start, end) of the bytes, its
// height word and the number of rows it was given.
struct EncodedFrame {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint16_t height_word = 0;
    std::uint64_t rows = 0;
};

// What of the records given does not read back: the record's field, by its
// name here ("speed", "path_length", "frame_count", "rows", "block_count"),
// the frame it belongs to (-1 for the head), and the rest of the sentence
// that names it. An empty field: everything reads back.
struct ReadBack {
    std::string field;
    std::int64_t frame = -1;
    std::string detail;
    bool same() const noexcept { return field.empty(); }
};

// Reads `bytes`, which append_head, append_frame for each of `frames` and the
// trailing bytes of `head` made, back with the file reader (the palette
// search aside), and tells whether it reads back to the same records: the
// same head, as many frames as the count gives the reader, each where it was
// written and whole.
ReadBack read_back_difference(const AnimationRecord& head, const std::vector<EncodedFrame>& frames,
                              const std::vector<std::uint8_t>& bytes);

// A file encoded one frame record at a time, as the records are made, so
// that a file of many large frames never has all of them in records at once.
class StreamEncoder {
public:
    explicit StreamEncoder(AnimationRecord head);  // head.frames is not read
    void add(const FrameRecord& frame);
    // Appends the trailing bytes; with `check`, reads the whole back.
    ReadBack finish(bool check);
    const std::vector<std::uint8_t>& bytes() const noexcept { return bytes_; }

private:
    AnimationRecord head_;
    std::vector<std::uint8_t> bytes_;
    std::vector<EncodedFrame> layout_;
};

}  // namespace orv

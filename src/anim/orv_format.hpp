// Reading and writing the animation file layout.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "anim/records.hpp"
#include "common/byte_cursor.hpp"
#include "common/byte_supply.hpp"
#include "common/large_block.hpp"

namespace orv {

inline constexpr char kMagic[4] = {'F', 'V', 'R', 'O'};

// What the head of an animation file says, as far as the file holds it.
struct OrvHead {
    bool has_header = false;
    std::array<std::uint8_t, 4> reserved{};  // the header's reserved field, as far as the file holds it
    bool background_flag_read = false;
    bool background_flag = false;
    std::uint8_t flag_byte = 0;  // the raw flag byte, when read
    bool speed_read = false;
    std::uint32_t speed = 0;
    bool path_length_read = false;
    std::uint32_t path_length = 0;
    std::string path;  // the path bytes present in the file, at most path_length
    std::uint32_t frame_count = 0;
    bool frame_count_read = false;
    std::size_t end = 0;  // offset of the first byte after the head

    // Every field of the head was in the file, the palette path whole.
    bool whole() const noexcept {
        return speed_read && path_length_read && path.size() == path_length && frame_count_read &&
               (!has_header || background_flag_read);
    }
};

// Where one frame record lies in the file: [start, end), its raw height word,
// and whether the file held all of it.
struct FrameExtent {
    std::uint64_t start = 0;
    std::uint64_t end = 0;
    std::uint16_t height_word = 0;
    bool whole = false;
};

// Parses an animation file held in memory.
//
// The head is parsed first (parse_head); then, once the caller has set up the
// palette, parse_frames reads the frame records into `data.frames`. The frames
// keep the bytes of their rows, parts of `bytes`, and build their rows from
// them when they are first asked for: `bytes` must be a copy of the file that
// nothing writes.
class OrvReader {
public:
    explicit OrvReader(SharedBytes bytes) : in_(bytes.data(), bytes.size()), bytes_(std::move(bytes)) {}

    OrvHead parse_head();

    // Reads `wanted` frame records (the in-memory frame count) into data.frames,
    // replacing each frame whole. The reader's shadow mode starts false and,
    // once a shadow frame has been read, takes every later height from the low
    // 8 bits of its word. Reading stops where the file ends: the frame list then
    // holds the frames whose record began in the file, the last of them as far
    // as it was read (rows it lacks are empty), and data.info.frame_count is
    // set to that number. Returns true when every frame was read whole.
    // `extents`, when given, receives one entry per frame record begun.
    bool parse_frames(OrvData& data, std::uint32_t wanted, std::vector<FrameExtent>* extents = nullptr);

    // Offset of the next byte the reader would take.
    std::size_t offset() const noexcept { return in_.offset(); }

    // Where the last frame record that parse_frames began lies (all zero
    // when it began none), whether or not it kept the extents.
    const FrameExtent& last_frame() const noexcept { return last_; }

private:
    // Returns false when the file ended inside the frame.
    bool read_frame(OrvFrame& frame, std::uint16_t& height_word);

    ByteCursor in_;
    SharedBytes bytes_;
    bool shadow_mode_ = false;
    FrameExtent last_;
};

// How far reading an animation file takes it, found from its bytes as they
// come, so that a file is read only as far as a load consumes it.
//
// walk_head holds the bytes of the head and returns the head as parse_head
// reads it. walk_frames then holds the bytes of the `wanted` frame records
// that follow it from `start`, as parse_frames reads them (the count taken as
// signed, the shadow mode as it sets it), and returns the offset of the first
// byte after the last record, or what the source holds when it ends first.
// Neither asks for a byte beyond those records (the source may read ahead).
// parse_head and parse_frames over the bytes up to that offset read exactly
// what they read over the whole file.
OrvHead walk_head(ByteSupply& in);
std::uint64_t walk_frames(ByteSupply& in, std::uint64_t start, std::uint32_t wanted);

// The frame records that reading a file of `size` bytes with this head would
// begin, at most: those its count field announces (the background frame
// included, the count taken as signed), as far as the bytes after the head
// can hold them at 14 bytes each (the smallest record). 0 when the head lacks
// its count.
std::uint64_t records_allowed(const OrvHead& head, std::uint64_t size);

// Reads one row of a frame record into `row` (empty beforehand): its block
// count, then its runs, each run's indices a view of the bytes (none in a
// shadow frame). Returns false when the bytes end inside the row; the row then
// keeps what was read, a run begun but cut short included.
bool read_row(ByteCursor& in, OrvPixelSet& row, bool shadow);

// Serialises `data` by the file layout, storing `palette_path` (without its
// terminating zero byte, which is added) as the palette path. Sets unk1 to 0
// and unk2 to 1 in every frame written. Counts larger than the sequences they
// describe never read outside the record: the frames written are at most the
// frames held, and a run whose colour count exceeds its indices is filled
// with index 0.
std::vector<std::uint8_t> write_orv(OrvData& data, const std::string& palette_path);

}  // namespace orv

#include <doctest/doctest.h>

#include <cstdint>
#include <vector>

#include "anim/frame_statistics.hpp"
#include "anim/orv_encoder.hpp"
#include "anim/orv_format.hpp"
#include "common/large_block.hpp"

using namespace orv;

namespace {

RowRecord row(std::vector<RunRecord> runs) {
    RowRecord r;
    r.block_count = static_cast<std::uint8_t>(runs.size());
    r.runs = std::move(runs);
    return r;
}

FrameRecord frame(std::uint16_t height_word, std::uint16_t width, std::vector<RowRecord> rows) {
    FrameRecord f;
    f.height_word = height_word;
    f.width = width;
    f.rows = std::move(rows);
    return f;
}

// The frames of the file the records make, read back with their rows
// unbuilt; `cut` bytes are taken off the end of the file first.
std::vector<OrvFramePtr> read_frames(const std::vector<FrameRecord>& frames, std::size_t cut = 0) {
    AnimationRecord a;
    a.frame_count = static_cast<std::uint32_t>(frames.size());
    StreamEncoder encoder(a);
    for (const FrameRecord& f : frames) encoder.add(f);
    encoder.finish(false);
    std::vector<std::uint8_t> bytes = encoder.bytes();
    bytes.resize(bytes.size() - cut);
    OrvReader reader(SharedBytes::copy_of(bytes.data(), bytes.size()));
    reader.parse_head();
    OrvData data;
    reader.parse_frames(data, a.frame_count);
    return data.frames;
}

void check_same(const FrameStatistics& a, const FrameStatistics& b) {
    CHECK(a.rows == b.rows);
    CHECK(a.runs == b.runs);
    CHECK(a.empty_runs == b.empty_runs);
    CHECK(a.covered_pixels == b.covered_pixels);
    CHECK(a.longest_run == b.longest_run);
    CHECK(a.most_runs_in_a_row == b.most_runs_in_a_row);
    CHECK(a.non_maximal_rows == b.non_maximal_rows);
    CHECK(a.palette_pixels == b.palette_pixels);
    CHECK(a.past_palette == b.past_palette);
}

// The frames' statistics from their bytes, then again from their rows built.
void check_bytes_and_rows_agree(const std::vector<OrvFramePtr>& frames, std::size_t entries) {
    for (const OrvFramePtr& f : frames) {
        REQUIRE(f->unbuilt_rows() != nullptr);
        std::vector<std::size_t> listed_from_bytes;
        const FrameStatistics from_bytes = frame_statistics(*f, entries, &listed_from_bytes);
        REQUIRE(f->unbuilt_rows() != nullptr);  // counting leaves the rows unbuilt
        f->pixel_sets();
        REQUIRE(f->unbuilt_rows() == nullptr);
        std::vector<std::size_t> listed_from_rows;
        check_same(from_bytes, frame_statistics(*f, entries, &listed_from_rows));
        // The rows counted as not maximal are the rows listed, both ways.
        CHECK(listed_from_bytes.size() == from_bytes.non_maximal_rows);
        CHECK(listed_from_bytes == listed_from_rows);
    }
}

}  // namespace

TEST_CASE("the statistics of a frame's runs") {
    const std::vector<OrvFramePtr> frames = read_frames({
        // Row 0 maximal; row 1 a run split without need; row 2 an empty run
        // that is not a gap of 255; row 3 a run past the right edge.
        frame(4, 6,
              {row({RunRecord{1, 2, {1, 9}}}), row({RunRecord{0, 2, {1, 2}}, RunRecord{0, 1, {3}}}),
               row({RunRecord{2, 0, {}}, RunRecord{1, 2, {4, 5}}}), row({RunRecord{4, 3, {6, 7, 8}}})}),
        // A shadow frame: runs without indices, never past the palette.
        frame(0x8002, 8, {row({RunRecord{1, 2, {}}, RunRecord{0, 3, {}}}), row({RunRecord{255, 0, {}}})}),
        frame(0, 0, {}),
    });
    REQUIRE(frames.size() == 3);
    const FrameStatistics plain = frame_statistics(*frames[0], 5);
    CHECK(plain.rows == 4);
    CHECK(plain.runs == 6);
    CHECK(plain.empty_runs == 1);
    CHECK(plain.covered_pixels == 2 + 3 + 2 + 3);
    CHECK(plain.longest_run == 3);
    CHECK(plain.most_runs_in_a_row == 2);
    CHECK(plain.non_maximal_rows == 3);
    CHECK(plain.palette_pixels == 2 + 3 + 2 + 2);  // the last run loses a pixel at the edge
    CHECK(plain.past_palette == 1 + 1 + 2);        // 9, 5, then 6 and 7 (8 lies past the edge)
    CHECK(frame_statistics(*frames[0], 256).past_palette == 0);

    const FrameStatistics shadow = frame_statistics(*frames[1], 1);
    CHECK(shadow.covered_pixels == 5);
    CHECK(shadow.non_maximal_rows == 2);  // split, then a gap carried to the end of the row
    CHECK(shadow.palette_pixels == 0);
    CHECK(shadow.past_palette == 0);

    const FrameStatistics empty = frame_statistics(*frames[2], 3);
    CHECK(empty.rows == 0);
    CHECK(empty.runs == 0);
    CHECK(empty.non_maximal_rows == 0);
    check_bytes_and_rows_agree(frames, 5);
}

TEST_CASE("maximal rows: long gaps carried by empty runs, runs of 255 followed without a gap") {
    OrvPixelSet r;
    r.block_count = 3;
    const std::uint8_t indices[255] = {};
    r.blocks = {OrvPixelBlock{255, 0, {}}, OrvPixelBlock{10, 255, RunIndices(indices, 255)},
                OrvPixelBlock{0, 1, RunIndices(indices, 1)}};
    CHECK(is_maximal_row(r, 521, false));
    CHECK_FALSE(is_maximal_row(r, 520, false));  // one pixel past the edge
    r.block_count = 4;
    CHECK_FALSE(is_maximal_row(r, 521, false));  // a block count that is not the number of runs
    r.block_count = 3;
    r.blocks[0].offset = 254;
    CHECK_FALSE(is_maximal_row(r, 521, false));
    r.blocks[0].offset = 255;
    r.blocks[1].offset = 0;  // an empty run before a run without its own gap
    CHECK_FALSE(is_maximal_row(r, 521, false));
}

TEST_CASE("a frame cut short is counted as far as its bytes go, as its rows would be built") {
    const std::vector<FrameRecord> records = {
        frame(3, 9, {row({RunRecord{0, 4, {1, 2, 3, 4}}}), row({RunRecord{2, 5, {5, 6, 7, 8, 9}}}), row({})})};
    for (std::size_t cut = 1; cut <= 9; ++cut) {
        const std::vector<OrvFramePtr> frames = read_frames(records, cut);
        REQUIRE(frames.size() == 1);
        REQUIRE_FALSE(frames[0]->unbuilt_rows()->whole);
        check_bytes_and_rows_agree(frames, 3);
    }
    // Cut inside the second run's indices: three of five held, the row not maximal.
    const FrameStatistics s = frame_statistics(*read_frames(records, 3)[0], 3);
    CHECK(s.rows == 3);
    CHECK(s.covered_pixels == 9);
    CHECK(s.palette_pixels == 4 + 3);
    CHECK(s.past_palette == 2 + 3);
    CHECK(s.non_maximal_rows == 1);
}

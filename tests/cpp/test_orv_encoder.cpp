#include <doctest/doctest.h>

#include <cstdint>
#include <vector>

#include "anim/orv_encoder.hpp"
#include "anim/orv_format.hpp"
#include "common/large_block.hpp"

using namespace orv;

namespace {

AnimationRecord two_frames() {
    AnimationRecord a;
    a.has_header = true;
    a.reserved = {1, 2, 3, 4};
    a.flag = 7;
    a.speed = 0x01020304u;
    a.path_field = std::string("p.pal\0junk", 10);
    a.path_length = 10;
    a.frame_count = 1;  // background form: one less than the records
    FrameRecord plain;
    plain.frame_size = 99;
    plain.height_word = 2;
    plain.width = 3;
    plain.x_offset = -2;
    plain.y_offset = -300;
    plain.unk1 = 5;
    plain.unk2 = 6;
    plain.rows = {RowRecord{1, {RunRecord{1, 2, {9, 8}}}}, RowRecord{0, {}}};
    FrameRecord shadow;
    shadow.height_word = 0x8001;
    shadow.width = 4;
    shadow.rows = {RowRecord{1, {RunRecord{0, 4, {1, 2, 3, 4}}}}};  // indices of a shadow run are not stored
    a.frames = {plain, shadow};
    a.trailing = {0xAA, 0xBB};
    return a;
}

// The bytes of the file `a` describes, encoded as the builder encodes them:
// the head, each frame as it comes, then the trailing bytes.
std::vector<std::uint8_t> encoded(const AnimationRecord& a) {
    StreamEncoder encoder(a);
    for (const FrameRecord& f : a.frames) encoder.add(f);
    CHECK(encoder.finish(false).same());  // nothing is read back unless asked
    return encoder.bytes();
}

}  // namespace

TEST_CASE("every field is written as the record gives it") {
    const std::vector<std::uint8_t> bytes = encoded(two_frames());
    const std::vector<std::uint8_t> head = {'F', 'V', 'R', 'O', 1, 2, 3, 4, 7, 4, 3, 2, 1, 10, 0, 0, 0};
    REQUIRE(bytes.size() > head.size());
    CHECK(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 17) == head);
    CHECK(bytes[bytes.size() - 2] == 0xAA);
    CHECK(bytes.back() == 0xBB);
    // 17 head bytes, 10 path bytes, count 4; frames 14 + 1 + 4 + 1 and 14 + 1 + 2; trailing 2.
    CHECK(bytes.size() == 17u + 10u + 4u + 20u + 17u + 2u);
}

TEST_CASE("the reader reads back what the encoder wrote") {
    const std::vector<std::uint8_t> bytes = encoded(two_frames());
    OrvReader reader(SharedBytes::copy_of(bytes.data(), bytes.size()));
    const OrvHead head = reader.parse_head();
    REQUIRE(head.whole());
    CHECK(head.has_header);
    CHECK(head.flag_byte == 7);
    CHECK(head.speed == 0x01020304u);
    CHECK(head.path == std::string("p.pal\0junk", 10));
    CHECK(head.frame_count == 1);
    OrvData data;
    CHECK(reader.parse_frames(data, 2));
    REQUIRE(data.frames.size() == 2);
    const OrvFrame& plain = *data.frames[0];
    CHECK(plain.frame_size == 99);
    CHECK(plain.x_offset == -2);
    CHECK(plain.y_offset == -300);
    CHECK(plain.unk1 == 5);
    CHECK(plain.unk2 == 6);
    REQUIRE(plain.pixel_sets().size() == 2);
    const OrvPixelBlock& run = plain.pixel_sets()[0].blocks.at(0);
    CHECK(run.offset == 1);
    CHECK(run.color_count == 2);
    CHECK(run.colors[1] == 8);
    CHECK(data.frames[1]->is_shadow == 1);
    CHECK(data.frames[1]->pixel_sets().at(0).blocks.at(0).color_count == 4);
    CHECK(reader.offset() == bytes.size() - 2);
}

TEST_CASE("counts are written as given, not counted") {
    AnimationRecord a;
    a.path_length = 0xFFFFFFFFu;
    a.frame_count = 0x80000000u;
    FrameRecord f;
    f.height_word = 5;  // five rows said, one written
    f.rows = {RowRecord{3, {RunRecord{0, 9, {1}}}}};
    a.frames = {f};
    const std::vector<std::uint8_t> bytes = encoded(a);
    CHECK(bytes.size() == 4u + 4u + 4u + 14u + 1u + 3u);
    CHECK(bytes[4] == 0xFF);
    CHECK(bytes[11] == 0x80);
    CHECK(bytes[12 + 4] == 5);
    CHECK(bytes[12 + 14] == 3);
    CHECK(bytes[12 + 16] == 9);
}

namespace {

// Encodes `a` as the builder does, frame by frame, and reads it back: what
// does not read back, as "field detail" or "frame N: field detail".
std::string difference(const AnimationRecord& a) {
    StreamEncoder encoder(a);
    for (const FrameRecord& f : a.frames) encoder.add(f);
    const ReadBack back = encoder.finish(true);
    CHECK(encoder.bytes() == encoded(a));  // the check leaves the bytes as they were
    if (back.same()) return {};
    const std::string frame = back.frame < 0 ? "" : "frame " + std::to_string(back.frame) + ": ";
    return frame + "'" + back.field + "' " + back.detail;
}

}  // namespace

TEST_CASE("records that would not read back are named by their field") {
    CHECK(difference(two_frames()).empty());  // trailing bytes and a shadow frame read back

    AnimationRecord count = two_frames();
    count.frame_count = 5;
    CHECK(difference(count).rfind("'frame_count' 5", 0) == 0);
    // A count past the frames given, which a file ending after them meets
    // only as the end of the file; and the background frame counted twice.
    count.trailing.clear();
    count.frame_count = 100;
    CHECK(difference(count).rfind("'frame_count' 100 (and the background frame) makes the reader take 101 "
                                  "frame records, 2",
                                  0) == 0);
    AnimationRecord plain = two_frames();
    plain.has_header = false;
    CHECK(difference(plain).rfind("'frame_count' 1 makes the reader take 1 frame records, 2", 0) == 0);
    plain.frame_count = 2;
    CHECK(difference(plain).empty());

    AnimationRecord path = two_frames();
    path.path_length = 0xFFFFFFFFu;
    CHECK(difference(path).rfind("'path_length' 4294967295", 0) == 0);

    AnimationRecord rows = two_frames();
    rows.frames[0].rows.push_back(RowRecord{});
    CHECK(difference(rows).rfind("frame 0: 'rows' holds 3 rows, the reader takes 2", 0) == 0);

    // After a shadow frame the reader takes only the low 8 bits of a height.
    AnimationRecord folded = two_frames();
    FrameRecord tall;
    tall.height_word = 0x0101;
    tall.rows.assign(0x0101, RowRecord{});
    folded.frames.push_back(tall);
    folded.frame_count = 2;
    CHECK(difference(folded).find("frame 2: 'rows' holds 257 rows, the reader takes 1") == 0);

    AnimationRecord magic;
    magic.speed = 0x4F525646u;  // "FVRO" in the plain form's first field
    magic.path_length = 0;
    CHECK(difference(magic).find("'speed'") == 0);
}

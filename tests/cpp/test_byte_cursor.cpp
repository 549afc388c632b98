#include <doctest/doctest.h>

#include <cstdint>
#include <vector>

#include "common/byte_cursor.hpp"

using orv::ByteCursor;

TEST_CASE("values are read little-endian, signed ones in two's complement") {
    const std::vector<std::uint8_t> bytes = {0x7F, 0x34, 0x12, 0xFE, 0xFF, 0x78, 0x56, 0x34, 0x12};
    ByteCursor c(bytes.data(), bytes.size());
    std::uint8_t u8 = 0;
    std::uint16_t u16 = 0;
    std::int16_t i16 = 0;
    std::uint32_t u32 = 0;
    CHECK(c.read_u8(u8));
    CHECK(u8 == 0x7F);
    CHECK(c.read_u16(u16));
    CHECK(u16 == 0x1234);
    CHECK(c.read_i16(i16));
    CHECK(i16 == -2);
    CHECK(c.read_u32(u32));
    CHECK(u32 == 0x12345678u);
    CHECK(c.at_end());
    CHECK(c.remaining() == 0);
}

TEST_CASE("the top bit of a 32-bit value survives") {
    const std::uint8_t bytes[] = {0x01, 0x00, 0x00, 0x80};
    ByteCursor c(bytes, sizeof bytes);
    std::uint32_t v = 0;
    REQUIRE(c.read_u32(v));
    CHECK(v == 0x80000001u);
}

TEST_CASE("a read past the end delivers nothing and ends the cursor") {
    const std::uint8_t bytes[] = {0xAA, 0xBB, 0xCC};
    SUBCASE("u32 from three bytes") {
        ByteCursor c(bytes, sizeof bytes);
        std::uint32_t v = 0xDEADBEEF;
        CHECK_FALSE(c.read_u32(v));
        CHECK(v == 0xDEADBEEF);
        CHECK(c.at_end());
        std::uint8_t after = 7;
        CHECK_FALSE(c.read_u8(after));  // no byte comes back once the file has ended
        CHECK(after == 7);
    }
    SUBCASE("u16 from the last byte") {
        ByteCursor c(bytes, sizeof bytes);
        std::uint16_t pair = 0;
        CHECK(c.read_u16(pair));
        std::int16_t v = 5;
        CHECK_FALSE(c.read_i16(v));
        CHECK(v == 5);
        CHECK(c.at_end());
    }
    SUBCASE("an empty range") {
        ByteCursor c(nullptr, 0);
        std::uint8_t v = 1;
        CHECK(c.at_end());
        CHECK_FALSE(c.read_u8(v));
        CHECK(v == 1);
    }
}

TEST_CASE("skip moves by whole amounts only") {
    const std::uint8_t bytes[] = {1, 2, 3, 4};
    ByteCursor c(bytes, sizeof bytes);
    CHECK(c.skip(3));
    CHECK(c.remaining() == 1);
    CHECK_FALSE(c.skip(2));
    CHECK(c.at_end());
    CHECK(c.skip(0));
}

TEST_CASE("a span is clamped to what remains, whatever is asked") {
    const std::uint8_t bytes[] = {1, 2, 3, 4, 5};
    ByteCursor c(bytes, sizeof bytes);
    const std::uint8_t* p = nullptr;
    CHECK(c.read_span(2, p) == 2);
    CHECK(p == bytes);
    CHECK(c.read_span(static_cast<std::size_t>(-1), p) == 3);  // a hostile count
    CHECK(p == bytes + 2);
    CHECK(c.at_end());
    CHECK(c.read_span(10, p) == 0);
    CHECK(p == bytes + 5);
}

TEST_CASE("peek compares without moving and never past the end") {
    const char magic[] = {'F', 'V', 'R', 'O'};
    const std::uint8_t bytes[] = {'F', 'V', 'R'};
    ByteCursor c(bytes, sizeof bytes);
    CHECK(c.peek_equals(magic, 3));
    CHECK_FALSE(c.peek_equals(magic, 4));
    CHECK(c.remaining() == 3);
    const char other[] = {'F', 'X'};
    CHECK_FALSE(c.peek_equals(other, 2));
}

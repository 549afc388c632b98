#include <doctest/doctest.h>

#include <cstdint>
#include <limits>

#include "common/checked_size.hpp"

namespace {
constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kImageLimit = 0x7FFFFFFFu;  // bytes of one rendered image
}  // namespace

TEST_CASE("a product within the limit is stored, one past it is refused") {
    std::uint64_t out = 99;
    CHECK(orv::checked_mul(65535, 8191, kImageLimit, out));
    CHECK(out == 65535u * 8191u);
    out = 99;
    CHECK_FALSE(orv::checked_mul(kImageLimit, 2, kImageLimit, out));
    CHECK(out == 99);
    CHECK(orv::checked_mul(kImageLimit, 1, kImageLimit, out));
    CHECK(out == kImageLimit);
}

TEST_CASE("products that wrap 64 bits are refused, not wrapped") {
    std::uint64_t out = 5;
    CHECK_FALSE(orv::checked_mul(std::uint64_t{1} << 32, std::uint64_t{1} << 32, kMax, out));
    CHECK_FALSE(orv::checked_mul(kMax, 2, kMax, out));
    CHECK(out == 5);
    CHECK(orv::checked_mul(kMax, 1, kMax, out));
    CHECK(out == kMax);
}

TEST_CASE("zero factors give zero whatever the other") {
    std::uint64_t out = 5;
    CHECK(orv::checked_mul(0, kMax, 0, out));
    CHECK(out == 0);
    out = 5;
    CHECK(orv::checked_mul(kMax, 0, 10, out));
    CHECK(out == 0);
}

TEST_CASE("three factors: width * height * 4 against the image limit") {
    std::uint64_t out = 0;
    CHECK(orv::checked_mul3(65535, 8191, 4, kImageLimit, out));
    CHECK(out == 65535ull * 8191ull * 4ull);
    out = 7;
    CHECK_FALSE(orv::checked_mul3(65535, 65535, 4, kImageLimit, out));                             // 16 GiB
    CHECK_FALSE(orv::checked_mul3(std::uint64_t{1} << 40, std::uint64_t{1} << 40, 4, kMax, out));  // wraps
    CHECK(out == 7);
}

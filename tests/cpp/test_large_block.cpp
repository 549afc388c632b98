#include <doctest/doctest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "common/large_block.hpp"

namespace {
constexpr std::size_t kMiB = std::size_t{1} << 20;

bool all_zero(const orv::LargeBlock& block) {
    return std::all_of(block.data(), block.data() + block.size(), [](std::uint8_t b) { return b == 0; });
}
}  // namespace

TEST_CASE("blocks of every size class are whole, writable, and zero when asked") {
    for (const bool zeroed : {true, false}) {
        CAPTURE(zeroed);
        // Below a megabyte, below a huge page, from a huge page up to the
        // allocator's limit, and past it.
        for (const std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{4096}, kMiB + 3, 2 * kMiB,
                                       8 * kMiB + 5, 32 * kMiB, 33 * kMiB}) {
            CAPTURE(size);
            auto block = orv::LargeBlock::allocate(size, zeroed);
            REQUIRE(block->data() != nullptr);
            CHECK(block->size() == size);
            if (zeroed) CHECK(all_zero(*block));
            if (size > 0) {
                block->data()[0] = 1;
                block->data()[size - 1] = 2;
                CHECK(block->data()[size - 1] == 2);
            }
#if !defined(_WIN32)
            if (size >= 2 * kMiB) CHECK(reinterpret_cast<std::uintptr_t>(block->data()) % (2 * kMiB) == 0);
#endif
        }
    }
}

TEST_CASE("a zeroed block is zero even where the memory of a freed one is handed out again") {
    for (const std::size_t size : {std::size_t{1000}, 4 * kMiB, 8 * kMiB}) {
        CAPTURE(size);
        for (int round = 0; round < 3; ++round) {
            auto block = orv::LargeBlock::allocate(size, true);
            REQUIRE(all_zero(*block));
            std::memset(block->data(), 0xAB, size);
        }
    }
}

TEST_CASE("shared bytes copied into a block of their own keep the bytes and outlive the source") {
    std::vector<std::uint8_t> source(3 * kMiB + 7);
    for (std::size_t i = 0; i < source.size(); ++i) source[i] = static_cast<std::uint8_t>(i * 7 + 1);
    const orv::SharedBytes copy = orv::SharedBytes::copy_of(source.data(), source.size());
    const std::vector<std::uint8_t> expected = source;
    std::fill(source.begin(), source.end(), 0);
    REQUIRE(copy.size() == expected.size());
    CHECK(std::equal(expected.begin(), expected.end(), copy.data()));
    CHECK(static_cast<bool>(copy.owner()));
}

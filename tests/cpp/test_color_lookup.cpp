// Built into the Windows test program too, whose doctest lies elsewhere.
#if __has_include(<doctest/doctest.h>)
#include <doctest/doctest.h>
#else
#include <doctest.h>
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "render/color_lookup.hpp"

namespace {

struct Rows {
    std::vector<std::uint8_t> bytes;
    std::size_t height = 0;
};

// Rows of random runs: offsets and counts over their whole range, so that
// runs start past the width, cross it and fill it, and indices in both halves
// of the table.
Rows random_rows(std::mt19937& rng, std::size_t height) {
    Rows rows;
    rows.height = height;
    for (std::size_t r = 0; r < height; ++r) {
        const auto runs = static_cast<std::uint8_t>(rng() % 6);
        rows.bytes.push_back(runs);
        for (unsigned b = 0; b < runs; ++b) {
            const bool long_run = rng() % 2 == 0;
            rows.bytes.push_back(static_cast<std::uint8_t>(rng() % (long_run ? 4 : 256)));
            const auto count = static_cast<std::uint8_t>(long_run ? 200 + rng() % 56 : rng() % 80);
            rows.bytes.push_back(count);
            for (unsigned j = 0; j < count; ++j) rows.bytes.push_back(static_cast<std::uint8_t>(rng()));
        }
    }
    return rows;
}

// What drawing must give, pixel by pixel: covered pixels take their colour,
// the others are 0 when cleared and untouched otherwise.
std::vector<std::uint8_t> expected(const Rows& rows, std::size_t width, const orv::ColorTable& table, bool clear,
                                   const std::vector<std::uint8_t>& before) {
    std::vector<std::uint8_t> out = before;
    const std::uint8_t* p = rows.bytes.data();
    for (std::size_t r = 0; r < rows.height; ++r) {
        std::uint8_t* row = out.data() + r * width * 4;
        if (clear) std::memset(row, 0, width * 4);
        std::size_t x = 0;
        for (unsigned runs = *p++; runs > 0; --runs) {
            x += p[0];
            const unsigned count = p[1];
            p += 2;
            for (unsigned j = 0; j < count; ++j, ++x) {
                if (x < width) std::memcpy(row + x * 4, &table.words[p[j]], 4);
            }
            p += count;
        }
    }
    return out;
}

}  // namespace

TEST_CASE("the plain and the vector lookup draw runs as the rows say") {
    std::mt19937 rng(7);
    orv::ColorTable table;
    table.valid = 256;
    for (std::uint32_t& word : table.words) word = static_cast<std::uint32_t>(rng());
    orv::fill_planes(table);

    const bool wide = orv::wide_lookup_available();
    for (const std::size_t width :
         {std::size_t{1}, std::size_t{17}, std::size_t{64}, std::size_t{300}, std::size_t{700}}) {
        const Rows rows = random_rows(rng, 40);
        std::vector<std::uint8_t> before(width * rows.height * 4);
        for (std::uint8_t& b : before) b = static_cast<std::uint8_t>(rng());
        for (const bool clear : {false, true}) {
            const std::vector<std::uint8_t> want = expected(rows, width, table, clear, before);
            for (const bool use_wide : {false, true}) {
                CAPTURE(width);
                CAPTURE(clear);
                CAPTURE(use_wide);
                orv::use_wide_lookup(use_wide);
                std::vector<std::uint8_t> image = before;
                orv::draw_whole_rows(rows.bytes.data(), rows.height, image.data(), width, table, clear);
                CHECK(image == want);
            }
        }
    }
    orv::use_wide_lookup(wide);
}

// Palette lookup of index runs: the colour word each index writes, drawn run
// by run, with a vector form for processors that have one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace orv {

// Colour lookup for one rendering: the word each index writes, and how many
// leading indices the palette holds (indices at or above it are out of range).
struct ColorTable {
    std::uint32_t words[256] = {};
    std::size_t valid = 0;
    // The words' bytes as four planes (byte b of word i at planes[b][i]), as
    // the vector lookup takes them; fill_planes() makes them from the words.
    std::uint8_t planes[4][256] = {};
};

void fill_planes(ColorTable& table) noexcept;

// Writes the colours of n indices, all inside the palette, as 4-byte pixels at dst.
inline void copy_colors(std::uint8_t* dst, const std::uint8_t* indices, std::size_t n, const ColorTable& table) {
    std::size_t j = 0;
    for (; j + 4 <= n; j += 4) {
        const std::uint32_t w[4] = {table.words[indices[j]], table.words[indices[j + 1]], table.words[indices[j + 2]],
                                    table.words[indices[j + 3]]};
        std::memcpy(dst + j * 4, w, sizeof w);
    }
    for (; j < n; ++j) std::memcpy(dst + j * 4, &table.words[indices[j]], 4);
}

// Rows of runs as a frame's record holds them, each row a run count and then
// its runs (offset, count and `count` indices), every row complete and every
// index inside the palette. `width` pixels of 4 bytes a row are written to
// `pixels`; a run's pixels past the width are dropped. With `clear`, the
// pixels no run draws are written as 0 on the way (the image may hold
// anything); without, they are left as they are.
void draw_whole_rows(const std::uint8_t* rows, std::size_t height, std::uint8_t* pixels, std::size_t width,
                     const ColorTable& table, bool clear);

// Whether draw_whole_rows uses the processor's vector lookup; `use` off makes
// it take the plain one (both write the same bytes).
bool wide_lookup_available() noexcept;
void use_wide_lookup(bool use) noexcept;

}  // namespace orv

#include "palette/palette.hpp"

#include <stdexcept>

#include "common/byte_cursor.hpp"
#include "common/file_io.hpp"

namespace orv {

PalF::Color PalF::get_color(std::int32_t index, DiagnosticSink& sink) const {
    if (index < 0 || static_cast<std::size_t>(index) >= colors_.size()) {
        report_error(sink, Category::color_lookup_out_of_bounds, Where{Diagnostic::kNone, Diagnostic::kNone, index});
        throw std::out_of_range("Color index out of bounds");
    }
    return colors_[static_cast<std::size_t>(index)];
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): paths are taken by value, as the documented signature says
std::int32_t PalF::load(std::string path, DiagnosticSink& sink, PaletteLoadInfo* info) {
    std::vector<std::uint8_t> bytes;
    // Only the header and 256 entries can matter; a longer file is not read further.
    if (!read_whole_file(path, bytes, 4 + 4 * kLoadedEntries)) {
        report_error(sink, Category::palette_open_failed, Where{}, path);
        if (info) *info = PaletteLoadInfo{-1, false, 0, 0};
        return -1;
    }
    return load_from_bytes(bytes.data(), bytes.size(), sink, info);
}

std::int32_t PalF::load_from_bytes(const std::uint8_t* data, std::size_t size, DiagnosticSink& sink,
                                   PaletteLoadInfo* info) {
    PaletteLoadInfo found;
    ByteCursor in(data, size);

    // A file of one byte gives that byte as the low half of the count.
    std::uint16_t count = 0;
    if (!in.read_u16(count)) {
        std::uint8_t low = 0;
        ByteCursor single(data, size);
        if (single.read_u8(low)) count = low;
    } else {
        found.count_read = true;
    }
    found.entry_count = count;
    in.skip(2);  // model field: not used when reading

    if (count == 0 || count > kLoadedEntries) {
        report_error(sink, Category::palette_count_invalid, Where{Diagnostic::kNone, Diagnostic::kNone, count});
        found.result = -2;
        if (info) *info = found;
        return -2;
    }

    std::vector<Color> table;
    table.reserve(kLoadedEntries);
    const bool swap_red_blue = color_model_ == 1;
    for (unsigned i = 0; i < count; ++i) {
        // Entries that a short file lacks are transparent black.
        Color c;
        const std::uint8_t* p = nullptr;
        if (in.read_span(4, p) == 4) {
            c.r = swap_red_blue ? p[2] : p[0];
            c.g = p[1];
            c.b = swap_red_blue ? p[0] : p[2];
            c.a = p[3];
            ++found.entries_in_file;
        }
        table.push_back(c);
    }
    while (table.size() < kLoadedEntries) table.push_back(Color{0, 0, 0, 255});
    colors_.swap(table);
    if (found.entries_in_file < count) {
        emit(sink, Category::palette_short,
             Where{Diagnostic::kNone, Diagnostic::kNone, static_cast<std::int64_t>(found.entries_in_file)},
             "the palette file holds ", found.entries_in_file, " of the ", static_cast<unsigned>(count),
             count == 1 ? " entry" : " entries", " its count gives; the missing ones are transparent black");
    }
    found.result = 1;
    if (info) *info = found;
    return 1;
}

std::vector<std::uint8_t> PalF::to_bytes() const {
    std::vector<std::uint8_t> out;
    out.reserve(4 + 4 * colors_.size());
    const auto count = static_cast<std::uint16_t>(colors_.size() & 0xFFFFu);
    const auto model = static_cast<std::uint16_t>(static_cast<std::uint32_t>(color_model_) & 0xFFFFu);
    out.push_back(static_cast<std::uint8_t>(count & 0xFF));
    out.push_back(static_cast<std::uint8_t>(count >> 8));
    out.push_back(static_cast<std::uint8_t>(model & 0xFF));
    out.push_back(static_cast<std::uint8_t>(model >> 8));
    for (const Color& c : colors_) {
        out.push_back(c.r);
        out.push_back(c.g);
        out.push_back(c.b);
        out.push_back(c.a);
    }
    return out;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): paths are taken by value, as the documented signature says
void PalF::save(std::string path, DiagnosticSink& sink) const {
    switch (place_file(path, to_bytes())) {
        case PlaceResult::placed: break;
        case PlaceResult::open_failed: report_error(sink, Category::palette_write_open_failed, Where{}, path); break;
        case PlaceResult::write_failed: report_error(sink, Category::palette_write_failed, Where{}, path); break;
    }
}

}  // namespace orv

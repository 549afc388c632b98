// Parses a palette file from the input bytes with either colour model, looks
// every index up and checks that a loaded palette survives its own bytes.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

#include "palette/palette.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    orv::PalF palette;
    const bool model_one = size > 2 && (data[2] & 1) != 0;
    palette.color_model(model_one ? 1 : 0);
    orv::DiagnosticReport findings;
    orv::PaletteLoadInfo info;
    const std::int32_t result = palette.load_from_bytes(data, size, findings, &info);
    if (result != 1 && result != -2) std::abort();
    // What the load says it found agrees with the bytes.
    if (info.result != result || info.count_read != (size >= 2)) std::abort();
    if (info.entries_in_file > info.entry_count || info.entries_in_file > (size >= 4 ? (size - 4) / 4 : 0)) std::abort();
    const bool short_file = result == 1 && info.entries_in_file < info.entry_count;
    if (findings.has(orv::Category::palette_short) != short_file) std::abort();
    if (findings.has(orv::Category::palette_count_invalid) != (result == -2) || findings.total() > 1) std::abort();
    const std::vector<orv::PalF::Color> table = palette.colors();
    if (result == -2) {
        if (!table.empty()) std::abort();  // a failed load changes nothing
        return 0;
    }
    if (table.size() != orv::PalF::kLoadedEntries) std::abort();

    for (std::int32_t i = -1; i <= 256; ++i) {
        try {
            const orv::PalF::Color c = palette.get_color(i);
            if (i < 0 || i > 255) std::abort();
            (void)c;
        } catch (const std::out_of_range&) {
            if (i >= 0 && i <= 255) std::abort();
        }
    }

    // Written and read back with the model it was written with, the table is
    // the same; with model 1 red and blue trade places on the way in.
    const std::vector<std::uint8_t> bytes = palette.to_bytes();
    if (bytes.size() != 4 + 4 * table.size()) std::abort();
    orv::PalF reread;
    if (reread.load_from_bytes(bytes.data(), bytes.size()) != 1) std::abort();
    const std::vector<orv::PalF::Color> back = reread.colors();
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (back[i].r != table[i].r || back[i].g != table[i].g || back[i].b != table[i].b ||
            back[i].a != table[i].a) {
            std::abort();
        }
    }
    return 0;
}

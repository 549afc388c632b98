// The palette: up to 256 RGBA colours indexed by one-byte colour indices,
// with the location that an animation file names it by.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/diagnostics.hpp"

namespace orv {

// What one palette load found, beyond its result code.
struct PaletteLoadInfo {
    std::int32_t result = 0;         // as load returns it
    bool count_read = false;         // the file held its entry count field
    std::uint16_t entry_count = 0;   // that field
    std::size_t entries_in_file = 0; // whole entries present, at most the count
};

class PalF {
public:
    struct Color {
        std::uint8_t r = 0;
        std::uint8_t g = 0;
        std::uint8_t b = 0;
        std::uint8_t a = 0;
    };

    // Number of entries that a loaded palette always holds.
    static constexpr std::size_t kLoadedEntries = 256;

    PalF() = default;
    PalF(const PalF&) = default;
    PalF& operator=(const PalF&) = default;
    virtual ~PalF() = default;

    void location(std::string text) { location_ = std::move(text); }
    std::string location() const { return location_; }
    void location_size(std::uint32_t n) { location_size_ = n; }
    std::uint32_t location_size() const { return location_size_; }
    void color_model(std::int32_t model) { color_model_ = model; }
    std::int32_t color_model() const { return color_model_; }
    void colors(std::vector<Color> table) { colors_ = std::move(table); }
    std::vector<Color> colors() const { return colors_; }

    // Read access without a copy, for the renderer.
    const std::vector<Color>& color_table() const noexcept { return colors_; }

    // Copy of one entry; an index outside the table reports
    // color_lookup_out_of_bounds to `sink` and throws
    // std::out_of_range("Color index out of bounds").
    Color get_color(std::int32_t index, DiagnosticSink& sink = no_sink()) const;

    // 1 on success (the table then holds 256 entries), -1 when the file cannot
    // be opened, -2 when its entry count is 0 or above 256. Never throws for a
    // file problem; on failure nothing changes. Findings go to `sink`; `info`,
    // when given, receives what the file held.
    std::int32_t load(std::string path, DiagnosticSink& sink = no_sink(), PaletteLoadInfo* info = nullptr);
    // Parses palette file bytes already in memory; same results as load.
    std::int32_t load_from_bytes(const std::uint8_t* data, std::size_t size, DiagnosticSink& sink = no_sink(),
                                 PaletteLoadInfo* info = nullptr);

    // Writes the palette file; problems go to `sink`.
    void save(std::string path, DiagnosticSink& sink = no_sink()) const;
    // The bytes that save writes.
    std::vector<std::uint8_t> to_bytes() const;

private:
    std::vector<Color> colors_;
    std::string location_;
    std::uint32_t location_size_ = 0;
    std::int32_t color_model_ = 0;
};

}  // namespace orv

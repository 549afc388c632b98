#include "render/frame_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/checked_size.hpp"

namespace orv {

namespace {

constexpr std::uint32_t kChannels = 4;

// Colour lookup for one rendering: the word each index writes, and how many
// leading indices the palette holds (indices at or above it are out of range).
struct ColorTable {
    std::uint32_t words[256] = {};
    std::size_t valid = 0;
};

std::uint32_t pack(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2, std::uint8_t b3) {
    const std::uint8_t bytes[4] = {b0, b1, b2, b3};
    std::uint32_t word = 0;
    std::memcpy(&word, bytes, sizeof word);
    return word;
}

ColorTable build_table(const std::vector<PalF::Color>& colors, std::int32_t pixel_order) {
    ColorTable table;
    table.valid = std::min<std::size_t>(colors.size(), 256);
    for (std::size_t i = 0; i < table.valid; ++i) {
        const PalF::Color& c = colors[i];
        table.words[i] = pixel_order == 1 ? pack(c.b, c.g, c.r, c.a) : pack(c.r, c.g, c.b, c.a);
    }
    return table;
}

const std::uint32_t kShadowWord = pack(0, 0, 0, 255);

// Writes the covered pixels of `frame` into `image`, whose bytes are all 0.
void draw_frame(const OrvFrame& frame, std::size_t frame_index, OrvFrameBufferObject& image, const ColorTable& table,
                DiagnosticSink& sink) {
    const auto where_frame = static_cast<std::int64_t>(frame_index);
    const std::size_t width = static_cast<std::size_t>(image.width);
    const std::size_t height = static_cast<std::size_t>(image.height);
    const bool shadow = frame.is_shadow != 0;
    const std::size_t rows_held = frame.pixel_sets.size();
    std::uint8_t* const pixels = image.pixels.data();
    const bool all_valid = table.valid >= 256;

    for (std::size_t r = 0; r < height; ++r) {
        if (r >= rows_held) {
            emit(sink, Category::row_missing, Where{where_frame, static_cast<std::int64_t>(r)}, "Row ", r,
                 " exceeds OrvPixelSet count!");
            continue;
        }
        std::uint8_t* const row = pixels + r * width * kChannels;
        std::size_t x = 0;  // at most 255 runs of 255 + 255 pixels: no overflow
        for (const OrvPixelBlock& block : frame.pixel_sets[r].blocks) {
            x += block.offset;
            if (block.color_count == 0 || x >= width) continue;
            const std::size_t room = width - x;
            std::uint8_t* dst = row + x * kChannels;
            if (shadow) {
                const std::size_t n = std::min<std::size_t>(block.color_count, room);
                for (std::size_t j = 0; j < n; ++j) std::memcpy(dst + j * kChannels, &kShadowWord, 4);
                x += n;
                continue;
            }
            // The indices held govern the run's length, not color_count.
            const std::uint8_t* src = block.colors.data();
            const std::size_t n = std::min(block.colors.size(), room);
            std::size_t drawn = n;
            if (!all_valid) {
                for (std::size_t j = 0; j < n; ++j) {
                    if (src[j] >= table.valid) {
                        drawn = j;
                        break;
                    }
                }
            }
            std::size_t j = 0;
            for (; j + 4 <= drawn; j += 4) {
                const std::uint32_t w[4] = {table.words[src[j]], table.words[src[j + 1]], table.words[src[j + 2]],
                                            table.words[src[j + 3]]};
                std::memcpy(dst + j * kChannels, w, sizeof w);
            }
            for (; j < drawn; ++j) std::memcpy(dst + j * kChannels, &table.words[src[j]], 4);
            x += drawn;
            if (drawn < n) {
                emit(sink, Category::color_index_out_of_range,
                     Where{where_frame, static_cast<std::int64_t>(r), src[drawn]}, "Out-of-bounds color index! (",
                     static_cast<unsigned>(src[drawn]), ")");
            }
        }
    }
}

// Whether a frame's image can be allocated: its byte count must fit in a
// signed 32-bit size and in what is left of the rendering's budget, which a
// fitting frame then uses up.
struct ImageFit {
    enum Verdict { fits, too_large, over_budget } verdict;
    std::size_t bytes;           // width * height * 4
    std::uint64_t budget_left;   // before this frame
};

ImageFit fit_image(const OrvFrame& frame, std::uint64_t& budget_left) {
    const std::uint64_t bytes = std::uint64_t{frame.width} * frame.height * kChannels;  // < 2^34
    std::uint64_t checked = 0;
    if (!checked_mul3(frame.width, frame.height, kChannels,
                      static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max()), checked)) {
        return {ImageFit::too_large, static_cast<std::size_t>(bytes), budget_left};
    }
    if (checked > budget_left) return {ImageFit::over_budget, static_cast<std::size_t>(checked), budget_left};
    const ImageFit fit{ImageFit::fits, static_cast<std::size_t>(checked), budget_left};
    budget_left -= checked;
    return fit;
}

// The image of frame `i` as far as `fit` allows, its storage from `arena`.
OrvFrameBufferObject render_image(const OrvFrame& frame, std::size_t i, const ImageFit& fit, const ColorTable& table,
                                  PixelArena& arena, DiagnosticSink& sink) {
    OrvFrameBufferObject image;
    image.offset_x = frame.x_offset;
    image.offset_y = frame.y_offset;
    image.channels = static_cast<std::int32_t>(kChannels);
    const Where where{static_cast<std::int64_t>(i)};

    // A refused frame keeps its place in the list as an empty 0 x 0 image.
    if (fit.verdict == ImageFit::too_large) {
        emit(sink, Category::frame_too_large, where, "Frame ", i, " is too large to render: ", frame.width, " x ",
             frame.height, " pixels need ", fit.bytes, " bytes");
    } else if (fit.verdict == ImageFit::over_budget) {
        emit(sink, Category::frame_over_budget, where, "Frame ", i, " exceeds the rendering memory budget: ", fit.bytes,
             " bytes needed, ", fit.budget_left, " of ", OrvFrameBuffer::kImageBudgetBytes, " bytes left");
    } else {
        image.width = frame.width;
        image.height = frame.height;
        image.pixels = arena.zeroed(fit.bytes);
        draw_frame(frame, i, image, table, sink);
    }
    return image;
}

// Whether the data's palette holds colours; reports no_palette_data when not.
bool has_palette(const OrvData& data, DiagnosticSink& sink) {
    if (data.palette && !data.palette->color_table().empty()) return true;
    emit(sink, Category::no_palette_data, Where{}, "No palette data available!");
    return false;
}

}  // namespace

OrvFrameBuffer::OrvFrameBuffer(const OrvData& data, DiagnosticSink& sink) { render(data, sink); }

void OrvFrameBuffer::render(const OrvData& data, DiagnosticSink& sink) {
    if (data.frames.empty() || !has_palette(data, sink)) return;
    const ColorTable table = build_table(data.palette->color_table(), pixel_order_);

    // Which frames fit, decided once: the first pass sizes the storage (so it
    // is taken in blocks no larger than needed), the second draws and reports.
    std::vector<ImageFit> fits;
    fits.reserve(data.frames.size());
    std::uint64_t total = 0;
    std::uint64_t budget_left = kImageBudgetBytes;
    for (const OrvFramePtr& frame : data.frames) {
        fits.push_back(fit_image(*frame, budget_left));
        if (fits.back().verdict == ImageFit::fits) total += PixelArena::footprint(fits.back().bytes);
    }

    PixelArena arena(total);
    buffer_.reserve(data.frames.size());
    for (std::size_t i = 0; i < data.frames.size(); ++i) {
        buffer_.push_back(render_image(*data.frames[i], i, fits[i], table, arena, sink));
    }
}

bool render_frame(const OrvData& data, std::size_t i, OrvFrameBufferObject& image, DiagnosticSink& sink) {
    if (i >= data.frames.size() || !has_palette(data, sink)) return false;
    const ColorTable table = build_table(data.palette->color_table(), 0);
    std::uint64_t budget_left = OrvFrameBuffer::kImageBudgetBytes;
    const OrvFrame& frame = *data.frames[i];
    const ImageFit fit = fit_image(frame, budget_left);
    PixelArena arena(fit.verdict == ImageFit::fits ? PixelArena::footprint(fit.bytes) : 0);
    image = render_image(frame, i, fit, table, arena, sink);
    return true;
}

std::vector<OrvFrameBufferObject> copy_images(const std::vector<OrvFrameBufferObject>& images) {
    std::uint64_t total = 0;
    for (const OrvFrameBufferObject& image : images) total += PixelArena::footprint(image.pixels.size());
    PixelArena arena(total);
    std::vector<OrvFrameBufferObject> out;
    out.reserve(images.size());
    for (const OrvFrameBufferObject& image : images) {
        OrvFrameBufferObject copy;
        copy.pixels = arena.copy_of(image.pixels.data(), image.pixels.size());
        copy.width = image.width;
        copy.height = image.height;
        copy.offset_x = image.offset_x;
        copy.offset_y = image.offset_y;
        copy.channels = image.channels;
        out.push_back(std::move(copy));
    }
    return out;
}

}  // namespace orv

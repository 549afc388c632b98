#include "render/frame_buffer.hpp"

#include <algorithm>
#include <cstring>
#include <limits>

#include "common/byte_cursor.hpp"
#include "common/checked_size.hpp"
#include "render/color_lookup.hpp"

namespace orv {

namespace {

constexpr std::uint32_t kChannels = 4;

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
    fill_planes(table);
    return table;
}

const std::uint32_t kShadowWord = pack(0, 0, 0, 255);

inline void fill_shadow(std::uint8_t* dst, std::size_t n) {
    for (std::size_t j = 0; j < n; ++j) std::memcpy(dst + j * kChannels, &kShadowWord, 4);
}

// Draws one run on image row r at the cursor x and returns where the cursor
// stands afterwards. A shadow run draws `count` pixels of the shadow colour;
// any other draws the indices held (their number governs, not the count), up
// to the first one outside the palette, which is reported.
inline std::size_t draw_run(std::uint8_t* row, std::size_t width, std::size_t x, std::uint8_t offset,
                            std::uint8_t count, const std::uint8_t* indices, std::size_t held, bool shadow,
                            const ColorTable& table, std::int64_t where_frame, std::size_t r, DiagnosticSink& sink) {
    x += offset;
    if (count == 0 || x >= width) return x;
    const std::size_t room = width - x;
    std::uint8_t* dst = row + x * kChannels;
    if (shadow) {
        const std::size_t n = std::min<std::size_t>(count, room);
        fill_shadow(dst, n);
        return x + n;
    }
    const std::size_t n = std::min(held, room);
    std::size_t drawn = n;
    if (table.valid < 256) {
        for (std::size_t j = 0; j < n; ++j) {
            if (indices[j] >= table.valid) {
                drawn = j;
                break;
            }
        }
    }
    copy_colors(dst, indices, drawn, table);
    if (drawn < n) {
        report_error(sink, Category::color_index_out_of_range,
                     Where{where_frame, static_cast<std::int64_t>(r), indices[drawn]});
    }
    return x + drawn;
}

// Writes the covered pixels of `frame` into `image`, whose bytes are all 0,
// from the frame's rows.
void draw_frame(const OrvFrame& frame, std::size_t frame_index, OrvFrameBufferObject& image, const ColorTable& table,
                DiagnosticSink& sink) {
    const auto where_frame = static_cast<std::int64_t>(frame_index);
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    const bool shadow = frame.is_shadow != 0;
    const std::vector<OrvPixelSet>& rows = frame.pixel_sets();
    std::uint8_t* const pixels = image.pixels.data();

    for (std::size_t r = 0; r < height; ++r) {
        if (r >= rows.size()) {
            report_error(sink, Category::row_missing, Where{where_frame, static_cast<std::int64_t>(r)});
            continue;
        }
        std::uint8_t* const row = pixels + r * width * kChannels;
        std::size_t x = 0;  // at most 255 runs of 255 + 255 pixels: no overflow
        for (const OrvPixelBlock& block : rows[r].blocks) {
            x = draw_run(row, width, x, block.offset, block.color_count, block.colors.data(), block.colors.size(),
                         shadow, table, where_frame, r, sink);
        }
    }
}

// The same, straight from the bytes that the frame's rows would be built
// from, for a frame whose rows were never built and whose height and shadow
// flag are those its rows were read with: the rows the bytes hold are then
// exactly the rows that building would give, so the pixels and the
// diagnostics are the same.
void draw_frame_bytes(const FrameRowBytes& source, std::size_t frame_index, OrvFrameBufferObject& image,
                      const ColorTable& table, DiagnosticSink& sink) {
    const auto where_frame = static_cast<std::int64_t>(frame_index);
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    const bool shadow = source.shadow;
    std::uint8_t* const pixels = image.pixels.data();
    ByteCursor in(source.bytes.data(), source.bytes.size());

    for (std::size_t r = 0; r < height; ++r) {
        std::uint8_t blocks = 0;
        if (!in.read_u8(blocks)) return;  // the rest of the rows are empty
        std::uint8_t* const row = pixels + r * width * kChannels;
        std::size_t x = 0;
        for (unsigned b = 0; b < blocks; ++b) {
            const std::uint8_t* run = nullptr;
            if (in.read_span(2, run) < 2) return;
            const std::uint8_t* indices = nullptr;
            const std::size_t held = shadow ? 0 : in.read_span(run[1], indices);
            x = draw_run(row, width, x, run[0], run[1], indices, held, shadow, table, where_frame, r, sink);
            if (!shadow && held < run[1]) return;
        }
    }
}

// The same for a frame whose rows the reader found whole in the bytes, so
// that no read can run past them, and whose indices all lie inside the palette
// (or that is a shadow frame): nothing can be reported, only drawn. With
// `clear`, the image's bytes may hold anything and every pixel the runs leave
// is written as 0 on the way, so that each byte is written once.
template <bool kClear>
void draw_whole_shadow_bytes(const FrameRowBytes& source, OrvFrameBufferObject& image) {
    const auto width = static_cast<std::size_t>(image.width);
    const auto height = static_cast<std::size_t>(image.height);
    std::uint8_t* row = image.pixels.data();
    const std::uint8_t* p = source.bytes.data();
    for (std::size_t r = 0; r < height; ++r, row += width * kChannels) {
        unsigned blocks = *p++;
        std::size_t x = 0;
        std::size_t written = 0;  // pixels of the row written so far, drawn or cleared
        for (; blocks > 0; --blocks) {
            x += p[0];
            const std::uint8_t count = p[1];
            p += 2;
            if (x < width) {
                const std::size_t n = std::min<std::size_t>(count, width - x);
                if (kClear) std::memset(row + written * kChannels, 0, (x - written) * kChannels);
                fill_shadow(row + x * kChannels, n);
                x += n;
                written = x;
            }
        }
        if (kClear) std::memset(row + written * kChannels, 0, (width - written) * kChannels);
    }
}

void draw_whole_frame_bytes(const FrameRowBytes& source, OrvFrameBufferObject& image, const ColorTable& table,
                            bool clear) {
    if (source.shadow) {
        if (clear) {
            draw_whole_shadow_bytes<true>(source, image);
        } else {
            draw_whole_shadow_bytes<false>(source, image);
        }
    } else {
        draw_whole_rows(source.bytes.data(), static_cast<std::size_t>(image.height), image.pixels.data(),
                        static_cast<std::size_t>(image.width), table, clear);
    }
}

// Whether a frame's image can be allocated: its byte count must fit in a
// signed 32-bit size and in what is left of the rendering's budget, which a
// fitting frame then uses up.
struct ImageFit {
    enum Verdict { fits, too_large, over_budget } verdict;
    std::size_t bytes;          // width * height * 4
    std::uint64_t budget_left;  // before this frame
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
        report_error(sink, Category::frame_too_large, where, std::string(), {frame.width, frame.height, fit.bytes});
    } else if (fit.verdict == ImageFit::over_budget) {
        report_error(sink, Category::frame_over_budget, where, std::string(),
                     {fit.bytes, fit.budget_left, OrvFrameBuffer::kImageBudgetBytes});
    } else {
        image.width = frame.width;
        image.height = frame.height;
        // A frame is drawn from its bytes when that gives what its rows would
        // give; from bytes that hold every row whole, with indices that all
        // lie inside the palette, nothing can be reported, only drawn.
        const FrameRowBytes* source = frame.rows_as_read();
        const bool whole = source != nullptr && source->whole && (source->shadow || table.valid >= 256);
        bool cleared = true;
        image.pixels = whole ? arena.for_writing(fit.bytes, cleared) : arena.zeroed(fit.bytes);
        if (whole) {
            // On memory used before (not cleared), every byte is written, the pixels no run draws as 0.
            draw_whole_frame_bytes(*source, image, table, !cleared);
        } else if (source != nullptr) {
            draw_frame_bytes(*source, i, image, table, sink);
        } else {
            draw_frame(frame, i, image, table, sink);
        }
    }
    return image;
}

// Whether the data's palette holds colours; reports no_palette_data when not.
bool has_palette(const OrvData& data, DiagnosticSink& sink) {
    if (data.palette && !data.palette->color_table().empty()) return true;
    report_error(sink, Category::no_palette_data, Where{});
    return false;
}

}  // namespace

OrvFrameBuffer::OrvFrameBuffer(const OrvData& data, DiagnosticSink& sink, SpareBlocks spare, bool separate) {
    render(data, sink, std::move(spare), separate);
}

void OrvFrameBuffer::render(const OrvData& data, DiagnosticSink& sink, SpareBlocks spare, bool separate) {
    if (data.frames.empty() || !has_palette(data, sink)) return;
    const ColorTable table = build_table(data.palette->color_table(), pixel_order_);

    // Which frames fit, decided twice the same way (nothing is kept per
    // frame in between): the first pass sizes the storage (so it is taken in
    // blocks no larger than needed), the second draws and reports.
    std::uint64_t total = 0;
    std::uint64_t budget_left = kImageBudgetBytes;
    for (const OrvFramePtr& frame : data.frames) {
        const ImageFit fit = fit_image(*frame, budget_left);
        if (fit.verdict == ImageFit::fits) total += PixelArena::footprint(fit.bytes);
    }

    PixelArena arena(total, std::move(spare), separate);
    buffer_.reserve(data.frames.size());
    budget_left = kImageBudgetBytes;
    for (std::size_t i = 0; i < data.frames.size(); ++i) {
        const OrvFrame& frame = *data.frames[i];
        buffer_.push_back(render_image(frame, i, fit_image(frame, budget_left), table, arena, sink));
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

SpareBlocks release_images(std::vector<OrvFrameBufferObject>& images) {
    SpareBlocks blocks;
    for (const OrvFrameBufferObject& image : images) {
        const std::shared_ptr<PixelBlock>& block = image.pixels.block();
        // The images of one block lie next to each other.
        if (block && (blocks.empty() || blocks.back() != block)) blocks.push_back(block);
    }
    std::vector<OrvFrameBufferObject>().swap(images);
    SpareBlocks spare;
    for (std::shared_ptr<PixelBlock>& block : blocks) {
        // Held by this list alone: no image nor anything else uses it. A
        // block listed twice is held twice here and is left alone too.
        if (block.use_count() == 1) spare.push_back(std::move(block));
    }
    return spare;
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

// Rendering the frames of an animation into RGBA images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anim/records.hpp"
#include "common/diagnostics.hpp"
#include "render/pixel_bytes.hpp"

namespace orv {

struct OrvFrameBufferObject {
    PixelBytes pixels;  // width * height * 4 bytes, R G B A, rows top to bottom
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::int32_t offset_x = 0;
    std::int32_t offset_y = 0;
    std::int32_t channels = 4;
};

class OrvFrameBuffer {
public:
    // Upper bound on the image bytes that one rendering may allocate. Far above
    // any real animation; a file that asks for more is refused frame by frame,
    // so that a small crafted file cannot exhaust memory.
    static constexpr std::uint64_t kImageBudgetBytes = std::uint64_t{1} << 30;

    // Renders every frame of `data` at once; `data` is not used afterwards.
    // Problems in the pixel data go to `sink` and never stop the rendering.
    // The images take their storage from `spare` first (blocks nothing else
    // holds, such as those of the images a reload replaces). With `separate`,
    // each image has storage of its own, which it alone keeps alive.
    explicit OrvFrameBuffer(const OrvData& data, DiagnosticSink& sink = no_sink(), SpareBlocks spare = {},
                            bool separate = false);

    const std::vector<OrvFrameBufferObject>& get_buffer() const noexcept { return buffer_; }
    // Hands the images over without copying them; the frame buffer is empty afterwards.
    std::vector<OrvFrameBufferObject> take_buffer() noexcept { return std::move(buffer_); }

private:
    void render(const OrvData& data, DiagnosticSink& sink, SpareBlocks spare, bool separate);

    std::int32_t pixel_order_ = 0;  // 0: R, G, B, A
    std::vector<OrvFrameBufferObject> buffer_;
};

// Renders frame `i` of `data` alone into `image`, with the same rules and
// diagnostics as a whole rendering (the memory budget then applies to this
// frame alone). False, with `image` untouched, when there is no such frame or
// the palette holds no colour.
bool render_frame(const OrvData& data, std::size_t i, OrvFrameBufferObject& image, DiagnosticSink& sink = no_sink());

// Copies of `images`, pixel bytes included, their storage taken in large blocks.
std::vector<OrvFrameBufferObject> copy_images(const std::vector<OrvFrameBufferObject>& images);

// Drops `images` (empty afterwards) and returns the blocks of their pixels
// that nothing else holds, for a rendering to reuse.
SpareBlocks release_images(std::vector<OrvFrameBufferObject>& images);

}  // namespace orv

// Rendering the frames of an animation into RGBA images.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "anim/records.hpp"
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
    explicit OrvFrameBuffer(const OrvData& data);

    const std::vector<OrvFrameBufferObject>& get_buffer() const noexcept { return buffer_; }
    // Hands the images over without copying them; the frame buffer is empty afterwards.
    std::vector<OrvFrameBufferObject> take_buffer() noexcept { return std::move(buffer_); }

private:
    void render(const OrvData& data);

    std::int32_t pixel_order_ = 0;  // 0: R, G, B, A
    std::vector<OrvFrameBufferObject> buffer_;
};

// Copies of `images`, pixel bytes included, their storage taken in large blocks.
std::vector<OrvFrameBufferObject> copy_images(const std::vector<OrvFrameBufferObject>& images);

}  // namespace orv

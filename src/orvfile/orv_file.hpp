// The animation file object: loads an animation (finding its palette on
// disk), hands it out with its rendered images, and saves it back.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "anim/records.hpp"
#include "render/frame_buffer.hpp"

namespace orv {

class OrvF {
public:
    OrvF() = default;
    OrvF(const OrvF&) = delete;
    OrvF& operator=(const OrvF&) = delete;
    virtual ~OrvF() = default;

    // Reads `file_name` into this object's animation, in place. Returns the
    // animation, or an empty pointer when the file cannot be opened or no
    // image came out of rendering. color_profile has no effect.
    std::shared_ptr<OrvData> load(std::string file_name, std::int32_t color_profile = 0, std::string io_pal = "");

    // Same, from file bytes already in memory, which the frames keep and
    // nothing may write afterwards; `file_name` only serves the palette search.
    std::shared_ptr<OrvData> load_from_bytes(SharedBytes bytes, const std::string& file_name,
                                             const std::string& io_pal);

    // Writes the animation with its palette path stored relative to
    // `project_root`, then saves the palette to `palette_path`.
    void save(std::string file_name, std::string project_root, std::string palette_path);

    std::shared_ptr<OrvData> data() const { return animation_; }
    std::vector<OrvFrameBufferObject> get_frame_buffer() const { return copy_images(frame_buffer_); }
    // Hands the images of the last load over without copying them; this
    // object holds none afterwards.
    std::vector<OrvFrameBufferObject> take_frame_buffer() noexcept {
        std::vector<OrvFrameBufferObject> images;
        images.swap(frame_buffer_);
        return images;
    }

private:
    std::vector<OrvFrameBufferObject> frame_buffer_;
    std::shared_ptr<OrvData> animation_ = std::make_shared<OrvData>();
};

// Walks from the directory of `animation_file` towards the root and returns the
// canonical form of the first directory joined with `location` that exists, or
// the empty path.
std::filesystem::path find_palette(const std::filesystem::path& animation_file, const std::filesystem::path& location);

// The path of `palette_path` relative to `project_root` (both already in
// weakly canonical form, and taken to that form once more here), with "/"
// separators. Throws std::filesystem::filesystem_error when a form cannot be
// worked out.
std::string stored_palette_path(const std::filesystem::path& project_root, const std::filesystem::path& palette_path);

}  // namespace orv

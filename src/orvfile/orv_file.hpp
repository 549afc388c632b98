// The animation file object: loads an animation (finding its palette on
// disk), hands it out with its rendered images, and saves it back. Each load
// leaves a LoadReport of what it found.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "anim/orv_format.hpp"
#include "anim/records.hpp"
#include "common/diagnostics.hpp"
#include "palette/palette.hpp"
#include "render/frame_buffer.hpp"

namespace orv {

// Where a load looked for the palette and what it found.
struct PaletteReport {
    std::string location;            // what was looked for: the stored location, or io_pal as given
    bool from_option = false;        // io_pal named the palette
    std::vector<std::string> tried;  // the search's candidates, in order (none with io_pal)
    std::string path;                // the path given to the palette's load; empty when the search found nothing
    bool is_directory = false;       // that path names a directory (looked at when it could not be opened)
    PaletteLoadInfo load;            // what the palette's load found
    // Why no palette was loaded, as a code: not_found (the search found
    // nothing), is_directory, missing (the file named does not exist),
    // open_failed, count_invalid; empty when one was loaded.
    std::string problem;
};

// What a load may read, beyond what the format says.
struct LoadOptions {
    static constexpr std::uint64_t kEveryRecord = ~std::uint64_t{0};

    // The most frame records a file's head and size may allow
    // (records_allowed); a file that allows more is refused before any record
    // is read: its report holds the head and one too_many_frames finding, and
    // nothing else is read or changed.
    std::uint64_t max_records = kEveryRecord;
    // Read the bytes after the last frame record too, into the report
    // (LoadReport::trailing), when they are at most this many; else they are
    // counted from the file's size and never read.
    std::uint64_t keep_trailing = 0;
};

// What one load learned about the file, the palette and the rendering.
struct LoadReport {
    bool opened = false;          // the animation file could be read
    std::uint64_t file_size = 0;  // the whole file's, trailing bytes included
    OrvHead head;                 // form and head fields as the file holds them
    PaletteReport palette;
    std::uint32_t frames_wanted = 0;   // frame records the head announces (the in-memory count)
    std::size_t frames_read = 0;       // frames in the animation afterwards
    bool frames_whole = false;         // the head and every frame record it announces were read whole
    std::vector<FrameExtent> frames;   // one per frame record begun, in file order (unless not kept)
    std::uint64_t trailing_start = 0;  // first byte after the last whole record
    std::uint64_t trailing_bytes = 0;  // bytes from there to the end (0 for a file cut short)
    SharedBytes trailing;              // those bytes, when the load was asked to keep them
    bool palette_has_colors = false;   // the palette held colours when rendering began
    bool rendered = false;             // the load rendered every frame (not a read alone)
    std::size_t images = 0;            // images that rendering gave
    DiagnosticReport diagnostics;      // parsing, palette and rendering, in order

    Status status() const noexcept;
};

class OrvF {
public:
    OrvF() = default;
    OrvF(const OrvF&) = delete;
    OrvF& operator=(const OrvF&) = delete;
    virtual ~OrvF() = default;

    // Reads `file_name` into this object's animation, in place. Returns the
    // animation, or an empty pointer when the file cannot be opened or no
    // image came out of rendering. color_profile has no effect. Findings go
    // to `sink` as they arise and into report(). The file is read through one
    // open, only as far as its frame records reach (see load_file).
    std::shared_ptr<OrvData> load(std::string file_name, std::int32_t color_profile = 0, std::string io_pal = "",
                                  DiagnosticSink& sink = no_sink());

    // The same load, within `options`. The file is opened once; its head and
    // the frame records it announces are read through that open handle, as
    // far as they reach, into one block that the frames keep; the bytes
    // after the last record are counted from the handle's size, not read
    // (unless options.keep_trailing). False from read_file when nothing was
    // read: the file cannot be opened, or it was refused.
    std::shared_ptr<OrvData> load_file(const std::string& file_name, const std::string& io_pal,
                                       const LoadOptions& options, DiagnosticSink& sink = no_sink());
    bool read_file(const std::string& file_name, const std::string& io_pal, const LoadOptions& options,
                   DiagnosticSink& sink = no_sink());
    // The reading part of a load from a file's bytes in memory (read_file's
    // way over them): what the load consumes is copied, the rest only
    // counted; `file_name` only serves the palette search.
    bool read_memory(const std::uint8_t* data, std::size_t size, const std::string& file_name,
                     const std::string& io_pal, const LoadOptions& options, DiagnosticSink& sink = no_sink());

    // Same, from file bytes already in memory, which the frames keep (they
    // build their rows from them when first asked) and nothing may write
    // afterwards; `file_name` only serves the palette search.
    std::shared_ptr<OrvData> load_from_bytes(const SharedBytes& bytes, const std::string& file_name,
                                             const std::string& io_pal, DiagnosticSink& sink = no_sink());
    // Same, from a copy of `bytes`.
    std::shared_ptr<OrvData> load_from_bytes(const std::vector<std::uint8_t>& bytes, const std::string& file_name,
                                             const std::string& io_pal, DiagnosticSink& sink = no_sink());

    // The reading part of a load alone: head, palette and frame records, no
    // rendering; the kept images stay as they were. For callers that render
    // frame by frame (render_frame).
    void read_from_bytes(const SharedBytes& bytes, const std::string& file_name, const std::string& io_pal,
                         DiagnosticSink& sink = no_sink());
    void read_from_bytes(const std::vector<std::uint8_t>& bytes, const std::string& file_name,
                         const std::string& io_pal, DiagnosticSink& sink = no_sink());

    // Renders frame `i` of the animation alone; its diagnostics also go into
    // report(). False when there is no such frame or no palette colour.
    bool render_frame(std::size_t i, OrvFrameBufferObject& image, DiagnosticSink& sink = no_sink());

    // Writes the animation with its palette path stored relative to
    // `project_root`, then saves the palette to `palette_path`.
    void save(std::string file_name, std::string project_root, std::string palette_path,
              DiagnosticSink& sink = no_sink());

    std::shared_ptr<OrvData> data() const { return animation_; }
    std::vector<OrvFrameBufferObject> get_frame_buffer() const { return copy_images(frame_buffer_); }
    // Hands the images of the last load over without copying them; this
    // object holds none afterwards.
    std::vector<OrvFrameBufferObject> take_frame_buffer() noexcept {
        std::vector<OrvFrameBufferObject> images;
        images.swap(frame_buffer_);
        return images;
    }

    // The report of the last load.
    const LoadReport& report() const noexcept { return report_; }

    // Whether later loads list every frame record's extent in report().frames
    // (the default); without them a frame read costs only the frame itself.
    void keep_frame_extents(bool keep) noexcept { keep_extents_ = keep; }
    // With `on`, the images of later loads each have storage of their own,
    // so that one handed out and kept alive keeps no other image's memory.
    void separate_images(bool on) noexcept { separate_images_ = on; }

private:
    void note_file_not_opened(const std::string& file_name);
    // Reads the head and the frame records from `in`, within `options`; `keep`
    // gives the first n bytes as the load's own. False when refused.
    template <typename Keep>
    bool read_supply(ByteSupply& in, const Keep& keep, const std::string& file_name, const std::string& io_pal,
                     const LoadOptions& options, DiagnosticSink& sink);
    // read_from_bytes for a file of `file_size` bytes of which `bytes` are the
    // first (all that the head and records take).
    void read_consumed(const SharedBytes& bytes, std::uint64_t file_size, const std::string& file_name,
                       const std::string& io_pal, DiagnosticSink& sink);
    // Renders the animation read; returns it, or an empty pointer for no image.
    std::shared_ptr<OrvData> render_read(DiagnosticSink& sink);

    std::vector<OrvFrameBufferObject> frame_buffer_;
    std::shared_ptr<OrvData> animation_ = std::make_shared<OrvData>();
    LoadReport report_;
    bool keep_extents_ = true;
    bool separate_images_ = false;
};

// Walks from the directory of `animation_file` towards the root and returns the
// canonical form of the first directory joined with `location` that exists, or
// the empty path. `tried`, when given, receives every candidate looked at.
std::filesystem::path find_palette(const std::filesystem::path& animation_file, const std::filesystem::path& location,
                                   std::vector<std::string>* tried = nullptr);

// The finding of a palette search that the file system failed: its words
// and the paths it names, as fields (palette_search_failed).
Diagnostic search_failure(const std::filesystem::filesystem_error& error);

// The path of `palette_path` relative to `project_root` (both already in
// weakly canonical form, and taken to that form once more here), with "/"
// separators. Throws std::filesystem::filesystem_error when a form cannot be
// worked out.
std::string stored_palette_path(const std::filesystem::path& project_root, const std::filesystem::path& palette_path);

}  // namespace orv

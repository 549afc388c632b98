// Parses an animation file from the input bytes, loads its palette and renders
// every frame, checking that the load report accounts for the file's bytes
// and that a load reading only what the records take finds the same;
// then renders again with a short palette and reloads the same file object,
// checking that frames held from the first load are untouched and that a
// reload without a palette never paints with the colours of the first.
// Inputs whose images would take more than a few megabytes are parsed but
// not rendered: filling up to a gigabyte of images (the renderer's budget)
// per input would slow the search down a hundredfold. Frames too large to
// render at all cost nothing and are rendered (refused) as any other.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "orvfile/orv_file.hpp"
#include "anim/orv_format.hpp"
#include "fuzz_common.hpp"
#include "render/frame_buffer.hpp"

namespace {

struct Setup {
    std::string palette_path;  // a full 256-entry palette
    std::string anim_path;     // where the animation pretends to live
    std::vector<orv::PalF::Color> short_table;
};

const Setup& setup() {
    static const Setup s = [] {
        Setup r;
        const std::string& dir = orv_fuzz::scratch_dir();
        r.palette_path = dir + "/full.pal";
        orv_fuzz::write_file(r.palette_path, orv_fuzz::palette_bytes(256, 256));
        // Found by the palette search for a stored location "a.pal".
        orv_fuzz::write_file(dir + "/a.pal", orv_fuzz::palette_bytes(16, 16));
        r.anim_path = dir + "/anim.orv";
        for (int i = 0; i < 7; ++i) r.short_table.push_back({static_cast<std::uint8_t>(i), 1, 2, 255});
        return r;
    }();
    return s;
}

void check_images(const std::vector<orv::OrvFrameBufferObject>& images, std::size_t frames) {
    if (images.size() != frames) std::abort();
    for (const auto& image : images) {
        if (image.width < 0 || image.height < 0) std::abort();
        const std::uint64_t want = std::uint64_t(image.width) * std::uint64_t(image.height) * 4u;
        if (image.pixels.size() != want) std::abort();
    }
}

// Bytes of the images that rendering `data` would allocate.
std::uint64_t image_bytes(const orv::OrvData& data) {
    std::uint64_t total = 0;
    for (const orv::OrvFramePtr& frame : data.frames) {
        const std::uint64_t bytes = std::uint64_t(frame->width) * frame->height * 4u;
        if (bytes <= 0x7FFFFFFFu) total += bytes;
    }
    return total;
}

constexpr std::uint64_t kSmallImages = std::uint64_t{16} << 20;

// The report of a load of `size` bytes agrees with itself and with the data.
void check_report(const orv::LoadReport& report, std::size_t size, const orv::OrvData& data, bool returned) {
    if (!report.opened || report.file_size != size) std::abort();
    if (report.frames_read != data.frames.size() || report.frames.size() != data.frames.size()) std::abort();
    std::uint64_t pos = report.head.end;
    for (std::size_t i = 0; i < report.frames.size(); ++i) {
        const orv::FrameExtent& e = report.frames[i];
        if (e.start != pos || e.end < e.start || e.end > size) std::abort();
        if (!e.whole && i + 1 != report.frames.size()) std::abort();
        pos = e.end;
    }
    if (report.frames_whole) {
        if (!report.head.whole()) std::abort();
        if (report.trailing_start != pos || report.trailing_start + report.trailing_bytes != size) std::abort();
    } else if (report.trailing_bytes != 0) {
        std::abort();
    }
    const orv::DiagnosticReport& diagnostics = report.diagnostics;
    std::uint64_t counted = 0;
    for (std::size_t c = 0; c < orv::kCategoryCount; ++c) {
        const auto category = static_cast<orv::Category>(c);
        std::size_t kept = 0;
        for (const orv::Diagnostic& d : diagnostics.kept()) kept += d.category == category ? 1 : 0;
        if (kept > orv::DiagnosticReport::kKeptPerCategory || kept > diagnostics.count(category)) std::abort();
        counted += diagnostics.count(category);
    }
    if (counted != diagnostics.total() || diagnostics.errors() > diagnostics.total()) std::abort();
    if (returned != (report.status() != orv::Status::failed)) std::abort();
    if (diagnostics.has(orv::Category::trailing_bytes) != (report.trailing_bytes != 0)) std::abort();
}

// The frames of the file as a load reads them, without palette or images.
orv::OrvData parse_only(const std::vector<std::uint8_t>& bytes) {
    orv::OrvData data;
    orv::OrvReader reader(orv::SharedBytes::copy_of(bytes.data(), bytes.size()));
    const orv::OrvHead head = reader.parse_head();
    std::uint32_t count = head.frame_count;
    if (head.background_flag_read && head.background_flag) count += 1u;
    reader.parse_frames(data, count);
    return data;
}

// A load that reads only what the head and records take (and counts the
// rest) finds what the load of every byte found.
void check_prefix_load(const orv::OrvF& file, const std::vector<std::uint8_t>& bytes, const Setup& s) {
    const std::shared_ptr<orv::OrvData> held = file.data();
    try {
        orv::OrvF prefix;
        prefix.read_memory(bytes.data(), bytes.size(), s.anim_path, s.palette_path, orv::LoadOptions{});
        const orv::LoadReport& a = file.report();
        const orv::LoadReport& b = prefix.report();
        if (a.file_size != b.file_size || a.frames_whole != b.frames_whole || a.trailing_start != b.trailing_start ||
            a.trailing_bytes != b.trailing_bytes || a.head.end != b.head.end || a.frames.size() != b.frames.size() ||
            prefix.data()->frames.size() != held->frames.size()) {
            std::abort();
        }
        for (std::size_t i = 0; i < a.frames.size(); ++i) {
            if (a.frames[i].start != b.frames[i].start || a.frames[i].end != b.frames[i].end ||
                a.frames[i].whole != b.frames[i].whole) {
                std::abort();
            }
        }
    } catch (const std::filesystem::filesystem_error&) {
    }
}

// Rendering a frame straight from its bytes gives what rendering its
// built rows gives.
void check_rendered_from_rows(const orv::OrvF& file) {
    const std::shared_ptr<orv::OrvData> held = file.data();
    const std::vector<orv::OrvFrameBufferObject> from_bytes = file.get_frame_buffer();
    for (const orv::OrvFramePtr& frame : held->frames) frame->pixel_sets();
    orv::OrvFrameBuffer from_rows(*held);
    if (from_rows.get_buffer().size() != from_bytes.size()) std::abort();
    for (std::size_t i = 0; i < from_bytes.size(); ++i) {
        const orv::PixelBytes& a = from_bytes[i].pixels;
        const orv::PixelBytes& b = from_rows.get_buffer()[i].pixels;
        if (a.size() != b.size() || !std::equal(a.begin(), a.end(), b.begin())) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Setup& s = setup();
    const std::vector<std::uint8_t> bytes(data, data + size);
    if (image_bytes(parse_only(bytes)) > kSmallImages) return -1;  // kept out of the corpus

    orv::OrvF file;
    std::shared_ptr<orv::OrvData> anim;
    try {
        anim = file.load_from_bytes(orv::SharedBytes::copy_of(bytes.data(), bytes.size()), s.anim_path, s.palette_path);
    } catch (const std::filesystem::filesystem_error&) {
        return 0;  // a path problem of the platform, reported to the caller as such
    }
    const std::shared_ptr<orv::OrvData> held = file.data();
    if (anim && anim != held) std::abort();
    if (held->info.frame_count != held->frames.size()) std::abort();
    if (anim) check_images(file.get_frame_buffer(), held->frames.size());
    check_report(file.report(), bytes.size(), *held, anim != nullptr);

    check_prefix_load(file, bytes, s);
    if (anim) check_rendered_from_rows(file);

    // Indices past a short palette.
    held->palette->colors(s.short_table);
    {
        orv::OrvFrameBuffer again(*held);
        check_images(again.get_buffer(), held->frames.size());
    }

    // A reload replaces the frames; frames held from before stay as they were.
    orv::OrvFramePtr first;
    std::size_t first_rows = 0;
    std::uint16_t first_height = 0;
    if (!held->frames.empty()) {
        first = held->frames.front();
        first_rows = first->pixel_sets().size();
        first_height = first->height;
    }
    const std::vector<std::uint8_t> cut(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() / 2));
    try {
        // The palette is found by its stored location, if at all.
        const bool returned = file.load_from_bytes(cut, s.anim_path, "") != nullptr;
        check_report(file.report(), cut.size(), *held, returned);
        // The colours of the first load never reach the second.
        if (file.report().palette.load.result != 1 && (returned || !held->palette->color_table().empty())) {
            std::abort();
        }
    } catch (const std::filesystem::filesystem_error&) {
    }
    if (first && (first->pixel_sets().size() != first_rows || first->height != first_height)) std::abort();
    return 0;
}

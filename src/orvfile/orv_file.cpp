#include "orvfile/orv_file.hpp"

#include <system_error>

#include "anim/orv_format.hpp"
#include "common/diag.hpp"
#include "common/file_io.hpp"
#include "common/path_text.hpp"

namespace fs = std::filesystem;

namespace orv {

namespace {

// Existence test in which every "no such thing" answer counts as absence.
bool exists_counting_not_found_as_absent(const fs::path& p) {
    std::error_code ec;
    const fs::file_status st = fs::status(p, ec);
    if (ec) {
        // Compared as portable conditions, which the system's own codes map to
        // (a Windows "path not found" or "bad network path" is "no such file").
        if (ec == std::errc::no_such_file_or_directory || ec == std::errc::not_a_directory ||
            ec == std::errc::filename_too_long || ec == std::errc::invalid_argument) {
            return false;
        }
        throw fs::filesystem_error("exists", p, ec);
    }
    return fs::exists(st);
}

// The path that a name read from a file or given by the caller stands for;
// false when the name cannot stand for one here (on Windows: bytes that are
// not UTF-8), so that it finds no palette.
bool name_to_path(const std::string& text, fs::path& out) {
    try {
        out = path_from_text(text);
        return true;
    } catch (const fs::filesystem_error&) {
        return false;
    }
}

}  // namespace

fs::path find_palette(const fs::path& animation_file, const fs::path& location) {
    fs::path dir = animation_file.parent_path();
    while (!dir.empty()) {
        const fs::path candidate = dir / location;
        if (exists_counting_not_found_as_absent(candidate)) return fs::canonical(candidate);
        fs::path parent = dir.parent_path();
        if (parent == dir) break;
        dir = std::move(parent);
    }
    return {};
}

std::string stored_palette_path(const fs::path& project_root, const fs::path& palette_path) {
    // Resolving once more catches a symbolic link that only lexical
    // normalisation brought to light ("missing/../link").
    const fs::path palette_again = fs::weakly_canonical(palette_path);
    const fs::path root_again = fs::weakly_canonical(project_root);
    return generic_text(palette_again.lexically_relative(root_again));
}

std::shared_ptr<OrvData> OrvF::load(std::string file_name, std::int32_t /*color_profile*/, std::string io_pal) {
    std::vector<std::uint8_t> bytes;
    if (!read_whole_file(file_name, bytes)) return nullptr;
    return load_from_bytes(bytes, file_name, io_pal);
}

std::shared_ptr<OrvData> OrvF::load_from_bytes(const std::vector<std::uint8_t>& bytes, const std::string& file_name,
                                               const std::string& io_pal) {
    OrvData& data = *animation_;
    PalF& palette = *data.palette;
    OrvReader reader(bytes.data(), bytes.size());

    const OrvHead head = reader.parse_head();
    if (head.background_flag_read) data.has_background = head.background_flag;
    if (head.speed_read) data.info.speed = head.speed;
    palette.location_size(head.path_length);
    palette.location(head.path);
    if (head.frame_count_read) data.info.frame_count = head.frame_count;

    const std::string stored_location = head.path.substr(0, head.path.find('\0'));
    palette.location(io_pal.empty() ? stored_location : io_pal);
    if (data.has_background) data.info.frame_count += 1u;  // 32-bit, as the file's count

    // The palette is loaded before any frame is read.
    // A name that stands for no path here is handed on as it is, for the
    // palette to report that it cannot open it.
    fs::path p;
    if (!io_pal.empty()) {
        if (!name_to_path(io_pal, p)) {
            palette.load(io_pal);
        } else {
            if (!p.is_absolute()) p = fs::current_path() / p;
            palette.load(text_from_path(p));
        }
    } else {
        fs::path animation_file;
        if (!name_to_path(file_name, animation_file) || !name_to_path(stored_location, p)) {
            palette.load(std::string());
        } else {
            palette.load(text_from_path(find_palette(animation_file, p)));
        }
    }

    reader.parse_frames(data, data.info.frame_count);

    frame_buffer_ = OrvFrameBuffer(data).take_buffer();
    if (frame_buffer_.empty()) return nullptr;
    return animation_;
}

void OrvF::save(std::string file_name, std::string project_root, std::string palette_path) {
    // The target is opened first, so that a file that cannot be written is
    // what gets reported; it is not touched before every path is worked out,
    // so that a path that cannot be resolved leaves it as it was.
    SavedFile out;
    if (!out.open(file_name)) {
        report_error("Could not open animation file for writing: ", file_name);
        return;
    }
    const fs::path root_form = fs::weakly_canonical(path_from_text(project_root));
    const fs::path palette_file = fs::weakly_canonical(path_from_text(palette_path));
    const std::string stored = stored_palette_path(root_form, palette_file);

    if (out.write_all(write_orv(*animation_, stored)) != SavedFile::Status::ok) {
        report_error("Could not write animation file: ", file_name);
        return;
    }
    animation_->palette->save(text_from_path(palette_file));
}

}  // namespace orv

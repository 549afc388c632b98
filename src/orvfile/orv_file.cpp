#include "orvfile/orv_file.hpp"

#include <cerrno>
#include <system_error>

#include "anim/orv_format.hpp"
#include "common/diag.hpp"
#include "common/file_io.hpp"

namespace fs = std::filesystem;

namespace orv {

namespace {

// Existence test in which every "no such thing" answer counts as absence.
bool exists_counting_not_found_as_absent(const fs::path& p) {
    std::error_code ec;
    const fs::file_status st = fs::status(p, ec);
    if (ec) {
        const int e = ec.value();
        if (ec.category() == std::generic_category() || ec.category() == std::system_category()) {
            if (e == ENOENT || e == ENOTDIR || e == ENAMETOOLONG || e == EINVAL) return false;
        }
        throw fs::filesystem_error("exists", p, ec);
    }
    return fs::exists(st);
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
    return palette_again.lexically_relative(root_again).generic_string();
}

std::shared_ptr<OrvData> OrvF::load(std::string file_name, std::int32_t /*color_profile*/, std::string io_pal) {
    // The loader's own copy of the file: the frames keep parts of it, so a
    // later save may replace the file in place.
    SharedBytes bytes;
    if (!read_whole_file(file_name, bytes)) return nullptr;
    return load_from_bytes(std::move(bytes), file_name, io_pal);
}

std::shared_ptr<OrvData> OrvF::load_from_bytes(SharedBytes bytes, const std::string& file_name,
                                               const std::string& io_pal) {
    OrvData& data = *animation_;
    PalF& palette = *data.palette;
    OrvReader reader(std::move(bytes));

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
    if (!io_pal.empty()) {
        fs::path p(io_pal);
        if (!p.is_absolute()) p = fs::current_path() / p;
        palette.load(p.string());
    } else {
        palette.load(find_palette(fs::path(file_name), fs::path(stored_location)).string());
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
    const fs::path root_form = fs::weakly_canonical(fs::path(project_root));
    const fs::path palette_file = fs::weakly_canonical(fs::path(palette_path));
    const std::string stored = stored_palette_path(root_form, palette_file);

    if (out.write_all(write_orv(*animation_, stored)) != SavedFile::Status::ok) {
        report_error("Could not write animation file: ", file_name);
        return;
    }
    animation_->palette->save(palette_file.string());
}

}  // namespace orv

#include "orvfile/orv_file.hpp"

#include <initializer_list>
#include <system_error>

#include "anim/orv_format.hpp"
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

fs::path find_palette(const fs::path& animation_file, const fs::path& location, std::vector<std::string>* tried) {
    fs::path dir = animation_file.parent_path();
    while (!dir.empty()) {
        const fs::path candidate = dir / location;
        if (tried) tried->push_back(text_from_path(candidate));
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

Status LoadReport::status() const noexcept {
    if (!opened) return Status::failed;
    if (rendered ? images == 0 : (frames_read == 0 || !palette_has_colors)) return Status::failed;
    return diagnostics.total() == 0 ? Status::ok : Status::problems;
}

namespace {

// Reports the frames whose indices reach past the entries that a short
// palette file holds: they render with the fill colour, not the file's.
void note_indices_past_palette(const OrvData& data, std::size_t entries, DiagnosticSink& sink) {
    for (std::size_t i = 0; i < data.frames.size(); ++i) {
        const OrvFrame& frame = *data.frames[i];
        if (frame.is_shadow) continue;
        std::uint64_t past = 0;
        std::int64_t first_row = Diagnostic::kNone;
        unsigned first_index = 0;
        unsigned highest = 0;
        const std::vector<OrvPixelSet>& rows = frame.pixel_sets();
        for (std::size_t r = 0; r < rows.size(); ++r) {
            for (const OrvPixelBlock& block : rows[r].blocks) {
                for (const std::uint8_t c : block.colors) {
                    if (c < entries) continue;
                    if (past++ == 0) {
                        first_row = static_cast<std::int64_t>(r);
                        first_index = c;
                    }
                    if (c > highest) highest = c;
                }
            }
        }
        if (past == 0) continue;
        emit(sink, Category::index_past_palette_file, Where{static_cast<std::int64_t>(i), first_row, first_index},
             "frame ", i, ": ", past, past == 1 ? " pixel uses an index" : " pixels use indices",
             " past the palette file's ", entries, entries == 1 ? " entry" : " entries", " (first in row ", first_row,
             ": index ", first_index, "; highest ", highest, "); they take the fill colour");
    }
}

std::string quoted(const std::string& s) { return "'" + s + "'"; }

// Throws the error of path_from_text for the first name that holds a zero byte.
void refuse_zero_bytes(std::initializer_list<const std::string*> names) {
    for (const std::string* name : names) {
        if (name->find('\0') != std::string::npos) throw_zero_byte_in_name(*name);
    }
}

// Says which part of the head the file lacks.
void note_head_cut_short(const OrvHead& head, std::size_t size, DiagnosticSink& sink) {
    if (head.has_header && !head.background_flag_read) {
        emit(sink, Category::head_cut_short, Where{}, "not an animation file: the header is cut short");
    } else if (!head.speed_read || !head.path_length_read) {
        emit(sink, Category::head_cut_short, Where{}, "not an animation file: only ", size,
             size == 1 ? " byte" : " bytes");
    } else {
        emit(sink, Category::head_cut_short, Where{}, "not an animation file: its palette path length ",
             head.path_length, " runs past the end of the file (", size, " bytes)");
    }
}

}  // namespace

void OrvF::note_file_not_opened(const std::string& file_name) {
    report_ = LoadReport{};
    emit(report_.diagnostics, Category::file_open_failed, Where{}, "cannot open the animation file ",
         quoted(file_name));
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): paths are taken by value, as the documented signature says
std::shared_ptr<OrvData> OrvF::load(std::string file_name, std::int32_t /*color_profile*/, std::string io_pal,
                                    DiagnosticSink& sink) {
    // A name cut at a zero byte would be another name: refused before
    // anything is read.
    refuse_zero_bytes({&file_name, &io_pal});
    // The loader's own copy of the file: the frames keep parts of it, so a
    // later save may replace the file in place.
    SharedBytes bytes;
    if (!read_whole_file(file_name, bytes)) {
        note_file_not_opened(file_name);
        return nullptr;
    }
    return load_from_bytes(bytes, file_name, io_pal, sink);
}

std::shared_ptr<OrvData> OrvF::load_from_bytes(const std::vector<std::uint8_t>& bytes, const std::string& file_name,
                                               const std::string& io_pal, DiagnosticSink& sink) {
    return load_from_bytes(SharedBytes::copy_of(bytes.data(), bytes.size()), file_name, io_pal, sink);
}

void OrvF::read_from_bytes(const std::vector<std::uint8_t>& bytes, const std::string& file_name,
                           const std::string& io_pal, DiagnosticSink& sink) {
    read_from_bytes(SharedBytes::copy_of(bytes.data(), bytes.size()), file_name, io_pal, sink);
}

std::shared_ptr<OrvData> OrvF::load_from_bytes(const SharedBytes& bytes, const std::string& file_name,
                                               const std::string& io_pal, DiagnosticSink& sink) {
    read_from_bytes(bytes, file_name, io_pal, sink);
    TeeSink to_both(sink, report_.diagnostics);
    OrvData& data = *animation_;
    report_.palette_has_colors = !data.palette->color_table().empty();
    // The images this load replaces are dropped before it renders: the
    // memory only they held is drawn into again rather than fresh memory
    // taken beside it.
    SpareBlocks spare = release_images(frame_buffer_);
    frame_buffer_ = OrvFrameBuffer(data, to_both, std::move(spare), separate_images_).take_buffer();
    report_.rendered = true;
    report_.images = frame_buffer_.size();
    if (frame_buffer_.empty()) return nullptr;
    return animation_;
}

void OrvF::read_from_bytes(const SharedBytes& bytes, const std::string& file_name, const std::string& io_pal,
                           DiagnosticSink& sink) {
    report_ = LoadReport{};
    LoadReport& rep = report_;
    TeeSink to_both(sink, rep.diagnostics);
    rep.opened = true;
    rep.file_size = bytes.size();

    OrvData& data = *animation_;
    PalF& palette = *data.palette;
    OrvReader reader(bytes);

    rep.head = reader.parse_head();
    const OrvHead& head = rep.head;
    if (!head.whole()) note_head_cut_short(head, bytes.size(), to_both);
    if (head.background_flag_read) data.has_background = head.background_flag;
    if (head.speed_read) data.info.speed = head.speed;
    palette.location_size(head.path_length);
    palette.location(head.path);
    if (head.frame_count_read) data.info.frame_count = head.frame_count;

    const std::string stored_location = head.path.substr(0, head.path.find('\0'));
    palette.location(io_pal.empty() ? stored_location : io_pal);
    if (data.has_background) data.info.frame_count += 1u;  // 32-bit, as the file's count

    // The palette is loaded before any frame is read, into an emptied table:
    // colours left from an earlier load must never paint this animation.
    PaletteReport& pal = rep.palette;
    pal.from_option = !io_pal.empty();
    pal.location = pal.from_option ? io_pal : stored_location;
    // A name that stands for no path here (bytes that are not UTF-8, on
    // Windows) finds nothing; given as io_pal, it is handed on as it is, for
    // the palette to report that it cannot open it.
    fs::path palette_file;
    bool nameable = true;
    if (pal.from_option) {
        nameable = name_to_path(io_pal, palette_file);
        if (nameable && !palette_file.is_absolute()) palette_file = fs::current_path() / palette_file;
    } else {
        fs::path animation_file, location;
        if (name_to_path(file_name, animation_file) && name_to_path(stored_location, location)) {
            palette_file = find_palette(animation_file, location, &pal.tried);
        }
        if (palette_file.empty()) {
            emit(to_both, Category::palette_not_found, Where{}, "palette not found: no ", quoted(stored_location),
                 " in the animation's folder or any folder above it");
        }
    }
    pal.path = nameable ? text_from_path(palette_file) : io_pal;
    palette.colors({});
    palette.load(pal.path, to_both, &pal.load);
    if (pal.load.result == -1) {
        std::error_code ec;  // a path the file system cannot look at counts as missing
        pal.is_directory = !pal.path.empty() && fs::is_directory(palette_file, ec);
        pal.problem = pal.path.empty()                ? "not_found"
                      : pal.is_directory              ? "is_directory"
                      : !fs::exists(palette_file, ec) ? "missing"
                                                      : "open_failed";
    } else if (pal.load.result == -2) {
        pal.problem = "count_invalid";
    }

    rep.frames_wanted = data.info.frame_count;
    // A head cut short announces no frame count of its own: no record is whole then.
    rep.frames_whole =
        reader.parse_frames(data, data.info.frame_count, keep_extents_ ? &rep.frames : nullptr) && head.whole();
    rep.frames_read = data.frames.size();
    const FrameExtent& last = reader.last_frame();
    if (head.whole() && !rep.frames_whole) {
        if (rep.frames_read > 0 && !last.whole) {
            const std::size_t i = rep.frames_read - 1;
            emit(to_both, Category::frames_cut_short, Where{static_cast<std::int64_t>(i)}, "frame ", i,
                 " is cut short: the file ends inside its record, at byte ", bytes.size(), " (", rep.frames_wanted,
                 rep.frames_wanted == 1 ? " frame announced)" : " frames announced)");
        } else {
            emit(to_both, Category::frames_cut_short, Where{static_cast<std::int64_t>(rep.frames_read)},
                 "the file ends before frame record ", rep.frames_read, " (", rep.frames_wanted,
                 rep.frames_wanted == 1 ? " frame announced)" : " frames announced)");
        }
    }
    if (rep.frames_whole) {
        rep.trailing_start = rep.frames_read == 0 ? head.end : last.end;
        rep.trailing_bytes = bytes.size() - rep.trailing_start;
        if (rep.trailing_bytes > 0) {
            const bool one = rep.trailing_bytes == 1;
            emit(to_both, Category::trailing_bytes, Where{}, rep.trailing_bytes, one ? " byte" : " bytes",
                 " after the last frame record, at byte ", rep.trailing_start,
                 one ? ", is not part of the animation" : ", are not part of the animation");
        }
    }
    if (pal.load.result == 1 && pal.load.entry_count < PalF::kLoadedEntries) {
        note_indices_past_palette(data, pal.load.entry_count, to_both);
    }
    if (data.frames.empty()) emit(to_both, Category::no_frames, Where{}, "the animation holds no frames");
    rep.palette_has_colors = !palette.color_table().empty();
}

bool OrvF::render_frame(std::size_t i, OrvFrameBufferObject& image, DiagnosticSink& sink) {
    TeeSink to_both(sink, report_.diagnostics);
    if (!orv::render_frame(*animation_, i, image, to_both)) return false;
    ++report_.images;
    return true;
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): paths are taken by value, as the documented signature says
void OrvF::save(std::string file_name, std::string project_root, std::string palette_path, DiagnosticSink& sink) {
    refuse_zero_bytes({&file_name, &project_root, &palette_path});
    // The target is opened first, so that a file that cannot be written is
    // what gets reported; it is not touched before every path is worked out,
    // so that a path that cannot be resolved leaves it as it was.
    SavedFile out;
    if (!out.open(file_name)) {
        emit(sink, Category::file_write_open_failed, Where{}, "Could not open animation file for writing: ", file_name);
        return;
    }
    const fs::path root_form = fs::weakly_canonical(path_from_text(project_root));
    const fs::path palette_file = fs::weakly_canonical(path_from_text(palette_path));
    const std::string stored = stored_palette_path(root_form, palette_file);
    const std::string palette_text = text_from_path(palette_file);
    // A palette with no colours (nothing loaded: the palette was not found)
    // never replaces a palette file that exists: it would be a table of no
    // colours, which nothing can load, and such a file is usually shared by
    // many animations. A new file is written as it stands.
    // The animation file itself, named as the palette path, is no such
    // file: the palette is written over it as any palette would be.
    bool keep_palette_file = false;
    if (animation_->palette->color_table().empty() && exists_counting_not_found_as_absent(palette_file)) {
        std::error_code ec;
        keep_palette_file =
            !fs::is_directory(palette_file, ec) && !fs::equivalent(path_from_text(file_name), palette_file, ec);
    }

    if (out.write_all(write_orv(*animation_, stored)) != SavedFile::Status::ok) {
        emit(sink, Category::file_write_failed, Where{}, "Could not write animation file: ", file_name);
        return;
    }
    if (keep_palette_file) {
        emit(sink, Category::palette_save_skipped, Where{},
             "No palette data to save, existing palette file kept: ", palette_text);
        return;
    }
    animation_->palette->save(palette_text, sink);
}

}  // namespace orv

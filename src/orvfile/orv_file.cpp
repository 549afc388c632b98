#include "orvfile/orv_file.hpp"

#include <algorithm>
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

Diagnostic search_failure(const fs::filesystem_error& error) {
    // The error's text ends with the paths it names, each in brackets: they
    // become fields, and the text around them stays as the system gave it.
    const std::string what = error.what();
    // A path with no UTF-8 form (on Windows) is left in the text.
    const auto text_of = [](const fs::path& p) {
        try {
            return p.u8string();
        } catch (const std::exception&) {
            return std::string("\n");  // found in no error's text
        }
    };
    const std::string first = text_of(error.path1());
    const std::string second = text_of(error.path2());
    const auto ends_with = [&what](const std::string& tail) {
        return tail.size() <= what.size() && what.compare(what.size() - tail.size(), tail.size(), tail) == 0;
    };
    std::vector<std::string> named;
    std::string words = what;
    const std::string both = " [" + first + "] [" + second + "]";
    const std::string one = " [" + first + "]";
    if (ends_with(both)) {
        named = {first, second};
        words.resize(what.size() - both.size());
    } else if (ends_with(one)) {
        named = {first};
        words.resize(what.size() - one.size());
    }
    Diagnostic d;
    d.category = Category::palette_search_failed;
    d.message = "the palette search failed: " + words;
    for (const std::string& path : named) {
        d.message += " [";
        if (!path.empty()) {
            d.path_offsets.push_back(d.message.size());
            d.paths.push_back(path);
        }
        d.message += path;
        d.message += "]";
    }
    return d;
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
    emit(report_.diagnostics, Category::file_open_failed, Where{}, "cannot open the animation file '",
         PathPart{file_name}, "'");
}

// NOLINTNEXTLINE(performance-unnecessary-value-param): paths are taken by value, as the documented signature says
std::shared_ptr<OrvData> OrvF::load(std::string file_name, std::int32_t /*color_profile*/, std::string io_pal,
                                    DiagnosticSink& sink) {
    return load_file(file_name, io_pal, LoadOptions{}, sink);
}

std::shared_ptr<OrvData> OrvF::load_file(const std::string& file_name, const std::string& io_pal,
                                         const LoadOptions& options, DiagnosticSink& sink) {
    if (!read_file(file_name, io_pal, options, sink)) return nullptr;
    return render_read(sink);
}

bool OrvF::read_file(const std::string& file_name, const std::string& io_pal, const LoadOptions& options,
                     DiagnosticSink& sink) {
    // A name cut at a zero byte would be another name: refused before
    // anything is read.
    refuse_zero_bytes({&file_name, &io_pal});
    // The loader's own copy of what it reads of the file: the frames keep
    // parts of it, so a later save may replace the file in place.
    InputFile file;
    if (!file.open(file_name)) {
        note_file_not_opened(file_name);
        return false;
    }
    FileBytes in(file);
    return read_supply(
        in, [&in](std::size_t n) { return in.prefix(n); }, file_name, io_pal, options, sink);
}

bool OrvF::read_memory(const std::uint8_t* data, std::size_t size, const std::string& file_name,
                       const std::string& io_pal, const LoadOptions& options, DiagnosticSink& sink) {
    MemorySupply in(data, size);
    return read_supply(
        in, [data](std::size_t n) { return SharedBytes::copy_of(data, n); }, file_name, io_pal, options, sink);
}

namespace {

// A number with its thousands grouped by commas: 2,097,152.
std::string grouped(std::uint64_t n) {
    std::string digits = std::to_string(n);
    for (std::size_t at = digits.size(); at > 3; at -= 3) digits.insert(at - 3, 1, ',');
    return digits;
}

}  // namespace

template <typename Keep>
bool OrvF::read_supply(ByteSupply& in, const Keep& keep, const std::string& file_name, const std::string& io_pal,
                       const LoadOptions& options, DiagnosticSink& sink) {
    const OrvHead head = walk_head(in);
    if (options.max_records != LoadOptions::kEveryRecord) {
        // Checked on the bytes of this very open file, before any record is read.
        const std::uint64_t allowed = records_allowed(head, in.whole_size());
        if (allowed > options.max_records) {
            report_ = LoadReport{};
            report_.opened = true;
            report_.file_size = in.whole_size();
            report_.head = head;
            TeeSink to_both(sink, report_.diagnostics);
            Diagnostic d;
            d.category = Category::too_many_frames;
            d.values = {allowed, options.max_records, 0};
            d.message = "its head and size allow " + grouped(allowed) + " frame records, more than the " +
                        grouped(options.max_records) + " orvtool reads from one file";
            to_both.receive(d);
            return false;
        }
    }
    // The records as the load will count them (a plain form keeps the
    // background flag the animation had).
    std::uint32_t wanted = head.frame_count_read ? head.frame_count : animation_->info.frame_count;
    if (head.background_flag_read ? head.background_flag : animation_->has_background) wanted += 1u;
    std::uint64_t end = walk_frames(in, head.end, wanted);
    if (options.keep_trailing > 0 && !in.failed() && in.whole_size() >= end &&
        in.whole_size() - end <= options.keep_trailing) {
        in.hold_all();
        end = in.size();
    }
    if (in.failed()) {
        note_file_not_opened(file_name);
        return false;
    }
    read_consumed(keep(static_cast<std::size_t>(end)), in.whole_size(), file_name, io_pal, sink);
    return true;
}

std::shared_ptr<OrvData> OrvF::render_read(DiagnosticSink& sink) {
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
    return render_read(sink);
}

void OrvF::read_from_bytes(const SharedBytes& bytes, const std::string& file_name, const std::string& io_pal,
                           DiagnosticSink& sink) {
    read_consumed(bytes, bytes.size(), file_name, io_pal, sink);
}

namespace {

// The head: the animation's fields and the palette's stored location, which
// a load names its palette by unless `io_pal` names another. Returns the
// location as stored (up to its first zero byte).
std::string read_head(OrvReader& reader, LoadReport& rep, OrvData& data, const std::string& io_pal,
                      DiagnosticSink& sink) {
    rep.head = reader.parse_head();
    const OrvHead& head = rep.head;
    if (!head.whole()) note_head_cut_short(head, rep.file_size, sink);
    PalF& palette = *data.palette;
    if (head.background_flag_read) data.has_background = head.background_flag;
    if (head.speed_read) data.info.speed = head.speed;
    palette.location_size(head.path_length);
    palette.location(head.path);
    if (head.frame_count_read) data.info.frame_count = head.frame_count;

    std::string stored_location = head.path.substr(0, head.path.find('\0'));
    palette.location(io_pal.empty() ? stored_location : io_pal);
    if (data.has_background) data.info.frame_count += 1u;  // 32-bit, as the file's count
    return stored_location;
}

// The palette file a load reads: `io_pal` when given, else the stored
// location searched for from the animation's folder up. A name that stands
// for no path here (bytes that are not UTF-8, on Windows) finds nothing;
// given as io_pal, it is handed on as it is, for the palette to report that
// it cannot open it. Sets `pal.path`.
fs::path palette_file_of(PaletteReport& pal, const std::string& file_name, const std::string& stored_location,
                         const std::string& io_pal, DiagnosticSink& sink) {
    pal.from_option = !io_pal.empty();
    pal.location = pal.from_option ? io_pal : stored_location;
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
            emit(sink, Category::palette_not_found, Where{}, "palette not found: no '", stored_location,
                 "' in the animation's folder or any folder above it");
        }
    }
    pal.path = nameable ? text_from_path(palette_file) : io_pal;
    return palette_file;
}

// The palette, loaded before any frame is read, into an emptied table:
// colours left from an earlier load must never paint this animation.
void load_palette(PaletteReport& pal, PalF& palette, const std::string& file_name, const std::string& stored_location,
                  const std::string& io_pal, DiagnosticSink& sink) {
    const fs::path palette_file = palette_file_of(pal, file_name, stored_location, io_pal, sink);
    palette.colors({});
    palette.load(pal.path, sink, &pal.load);
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
}

// The frame records the head announces, as far as the file holds them.
void read_records(OrvReader& reader, LoadReport& rep, OrvData& data, bool keep_extents, DiagnosticSink& sink) {
    rep.frames_wanted = data.info.frame_count;
    // A head cut short announces no frame count of its own: no record is whole then.
    rep.frames_whole =
        reader.parse_frames(data, data.info.frame_count, keep_extents ? &rep.frames : nullptr) && rep.head.whole();
    rep.frames_read = data.frames.size();
    if (!rep.head.whole() || rep.frames_whole) return;
    if (rep.frames_read > 0 && !reader.last_frame().whole) {
        const std::size_t i = rep.frames_read - 1;
        emit(sink, Category::frames_cut_short, Where{static_cast<std::int64_t>(i)}, "frame ", i,
             " is cut short: the file ends inside its record, at byte ", rep.file_size, " (", rep.frames_wanted,
             rep.frames_wanted == 1 ? " frame announced)" : " frames announced)");
    } else {
        emit(sink, Category::frames_cut_short, Where{static_cast<std::int64_t>(rep.frames_read)},
             "the file ends before frame record ", rep.frames_read, " (", rep.frames_wanted,
             rep.frames_wanted == 1 ? " frame announced)" : " frames announced)");
    }
}

// The bytes after the last whole record: counted, kept when `bytes` hold the
// whole file.
void read_trailing(const SharedBytes& bytes, std::uint64_t records_end, LoadReport& rep, DiagnosticSink& sink) {
    if (!rep.frames_whole) return;
    rep.trailing_start = rep.frames_read == 0 ? rep.head.end : records_end;
    rep.trailing_bytes = rep.file_size - rep.trailing_start;
    if (rep.trailing_bytes > 0 && bytes.size() == rep.file_size) {
        rep.trailing =
            SharedBytes(bytes.owner(), bytes.data() + rep.trailing_start, static_cast<std::size_t>(rep.trailing_bytes));
    }
    if (rep.trailing_bytes > 0) {
        const bool one = rep.trailing_bytes == 1;
        emit(sink, Category::trailing_bytes, Where{}, rep.trailing_bytes, one ? " byte" : " bytes",
             " after the last frame record, at byte ", rep.trailing_start,
             one ? ", is not part of the animation" : ", are not part of the animation");
    }
}

// What the frames read say about the whole: indices past a short palette
// file, no frames at all.
void note_frames(const OrvData& data, const PaletteReport& pal, DiagnosticSink& sink) {
    if (pal.load.result == 1 && pal.load.entry_count < PalF::kLoadedEntries) {
        note_indices_past_palette(data, pal.load.entry_count, sink);
    }
    if (data.frames.empty()) emit(sink, Category::no_frames, Where{}, "the animation holds no frames");
}

}  // namespace

void OrvF::read_consumed(const SharedBytes& bytes, std::uint64_t file_size, const std::string& file_name,
                         const std::string& io_pal, DiagnosticSink& sink) {
    report_ = LoadReport{};
    LoadReport& rep = report_;
    TeeSink to_both(sink, rep.diagnostics);
    rep.opened = true;
    rep.file_size = std::max<std::uint64_t>(file_size, bytes.size());

    OrvData& data = *animation_;
    OrvReader reader(bytes);
    const std::string stored_location = read_head(reader, rep, data, io_pal, to_both);
    load_palette(rep.palette, *data.palette, file_name, stored_location, io_pal, to_both);
    read_records(reader, rep, data, keep_extents_, to_both);
    read_trailing(bytes, reader.last_frame().end, rep, to_both);
    note_frames(data, rep.palette, to_both);
    rep.palette_has_colors = !data.palette->color_table().empty();
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
        report_error(sink, Category::file_write_open_failed, Where{}, file_name);
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
        report_error(sink, Category::file_write_failed, Where{}, file_name);
        return;
    }
    if (keep_palette_file) {
        report_error(sink, Category::palette_save_skipped, Where{}, palette_text);
        return;
    }
    animation_->palette->save(palette_text, sink);
}

}  // namespace orv

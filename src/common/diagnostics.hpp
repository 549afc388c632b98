// Diagnostics as values.
//
// Every finding of a core operation (palette load and save, animation load
// and save, rendering) is one Diagnostic: a category that callers can branch
// on, the files it concerns, the frame, row and index it concerns and the
// other numbers it gives, as fields. Its text is made from them: the module's
// "ERROR: " lines by the one function that words them (Diagnostic::text), the
// others from their parts as they arise (emit). Operations hand each
// diagnostic to a DiagnosticSink as it arises. The core itself writes to no
// stream: the one sink that writes lines is the ErrorLinePrinter, installed by
// callers that want the "ERROR: " lines on standard error.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace orv {

enum class Category : std::uint8_t {
    // Palette file (load, save, lookup).
    palette_open_failed,         // "Could not open palette file: " path
    palette_count_invalid,       // "Invalid color count: " count
    palette_short,               // the file holds fewer entries than its count says
    palette_write_open_failed,   // "Could not open palette file for writing: " path
    palette_write_failed,        // "Could not write palette file: " path
    palette_save_skipped,        // "No palette data to save, existing palette file kept: " path
    color_lookup_out_of_bounds,  // "Color index out of bounds: " index
    // Animation file (load, save).
    file_open_failed,         // the animation file cannot be opened
    head_cut_short,           // the file ends inside its header or head
    frames_cut_short,         // the file ends before or inside a frame record
    trailing_bytes,           // bytes after the last frame record
    palette_not_found,        // the palette search found nothing
    palette_search_failed,    // the file system failed the palette search
    index_past_palette_file,  // indices beyond the entries the palette file holds
    no_frames,                // nothing to render
    file_write_open_failed,   // "Could not open animation file for writing: " path
    file_write_failed,        // "Could not write animation file: " path
    // Rendering.
    no_palette_data,           // "No palette data available!"
    row_missing,               // "Row " r " exceeds OrvPixelSet count!"
    color_index_out_of_range,  // "Out-of-bounds color index! (" c ")"
    frame_too_large,           // a frame whose image cannot be sized
    frame_over_budget,         // a frame past the rendering's memory budget
    // Animation file (load), after the rendering's own for the order of the list.
    too_many_frames,  // the head and size allow more frame records than the caller reads
};

inline constexpr std::size_t kCategoryCount = static_cast<std::size_t>(Category::too_many_frames) + 1;

// ok: nothing found. problems: something found, the operation still gave its
// result. failed: no result (nothing opened, read, written or rendered).
enum class Status : std::uint8_t { ok, problems, failed };

// Stable lower-case names, e.g. "palette_open_failed"; "unknown" for a value
// outside the enum.
const char* category_name(Category category) noexcept;
// Whether the module prints one of its "ERROR: " lines for a finding of this
// category; the others it keeps to itself, and only reports show them. How
// bad a finding is for a file is not said here: orvtool's table says that.
bool prints_error_line(Category category) noexcept;
const char* status_name(Status status) noexcept;

// Where a path lies in a diagnostic's text: [begin, end) in bytes.
struct TextSpan {
    std::size_t begin = 0;
    std::size_t end = 0;
};

struct Diagnostic {
    static constexpr std::int64_t kNone = -1;

    Category category = Category::no_frames;
    // The words of a finding that is not an error line, paths included.
    // An error line's words come from the fields alone (text()).
    std::string message;
    // The files it concerns, as they were named, in the order its text names
    // them: the palette file (palette_open_failed, palette_write_open_failed,
    // palette_write_failed, palette_save_skipped), the animation file
    // (file_open_failed, file_write_open_failed, file_write_failed), the
    // paths of the file system's error (palette_search_failed).
    std::vector<std::string> paths;
    // Where each path lies in `message` (bytes from its start), for a finding
    // that is not an error line.
    std::vector<std::size_t> path_offsets;
    std::int64_t frame = kNone;
    std::int64_t row = kNone;
    std::int64_t index = kNone;  // a colour index, or a palette entry count
    // The other numbers it gives: frame_too_large: width, height, bytes;
    // frame_over_budget: bytes needed, bytes left, the budget;
    // too_many_frames: the records allowed, the most the caller reads.
    std::array<std::uint64_t, 3> values{};

    bool error_line() const noexcept { return prints_error_line(category); }

    // What it says: for an error line, the line's text after "ERROR: ", made
    // from the fields; otherwise `message`. With `spans`, where each of
    // `paths` lies in the text, in their order.
    std::string text(std::vector<TextSpan>* spans = nullptr) const;
};

// Where a diagnostic points; kNone for what does not apply.
struct Where {
    std::int64_t frame = Diagnostic::kNone;
    std::int64_t row = Diagnostic::kNone;
    std::int64_t index = Diagnostic::kNone;
};

class DiagnosticSink {
public:
    virtual ~DiagnosticSink() = default;
    virtual void receive(const Diagnostic& diagnostic) = 0;
};

// Drops everything.
DiagnosticSink& no_sink() noexcept;

// The printer: writes "ERROR: ", the text made from the fields and a newline
// to the process's standard error for every error, flushing after each line. Notes are not
// printed. Each line is written whole, one at a time: loads on several
// threads never interleave within a line.
class ErrorLinePrinter final : public DiagnosticSink {
public:
    void receive(const Diagnostic& diagnostic) override;
};
DiagnosticSink& error_printer() noexcept;

// Hands every diagnostic to two sinks, the first first.
class TeeSink final : public DiagnosticSink {
public:
    TeeSink(DiagnosticSink& first, DiagnosticSink& second) noexcept : first_(first), second_(second) {}
    void receive(const Diagnostic& diagnostic) override {
        first_.receive(diagnostic);
        second_.receive(diagnostic);
    }

private:
    DiagnosticSink& first_;
    DiagnosticSink& second_;
};

// Keeps the first kKeptPerCategory diagnostics of each category, in the order
// they arrived, and counts all of them: a file with millions of bad runs
// costs a counter, not memory.
class DiagnosticReport final : public DiagnosticSink {
public:
    static constexpr std::size_t kKeptPerCategory = 256;

    void receive(const Diagnostic& diagnostic) override;

    const std::vector<Diagnostic>& kept() const noexcept { return kept_; }
    std::uint64_t count(Category category) const noexcept { return counts_[static_cast<std::size_t>(category)]; }
    std::uint64_t total() const noexcept { return total_; }
    std::uint64_t errors() const noexcept { return errors_; }
    bool has(Category category) const noexcept { return count(category) != 0; }
    void clear() noexcept;

private:
    std::vector<Diagnostic> kept_;
    std::array<std::uint64_t, kCategoryCount> counts_{};
    std::uint64_t total_ = 0;
    std::uint64_t errors_ = 0;
};

namespace detail {

inline void append_part(Diagnostic& d, const std::string& s) { d.message += s; }
inline void append_part(Diagnostic& d, const char* s) { d.message += s; }
inline void append_part(Diagnostic& d, char c) { d.message += c; }
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
void append_part(Diagnostic& d, T value) {
    // Whole numbers in decimal; a byte-sized value is a number, not a character.
    if constexpr (std::is_signed_v<T>) {
        d.message += std::to_string(static_cast<long long>(value));
    } else {
        d.message += std::to_string(static_cast<unsigned long long>(value));
    }
}

}  // namespace detail

// A part of a message that names a file: written into the text and kept
// among the diagnostic's paths, with where it lies.
struct PathPart {
    const std::string& path;
};

namespace detail {
inline void append_part(Diagnostic& d, const PathPart& part) {
    d.path_offsets.push_back(d.message.size());
    d.paths.push_back(part.path);
    d.message += part.path;
}
}  // namespace detail

// Builds the message from its parts (text, paths and numbers in decimal) and
// hands the diagnostic to `sink`. An error line's text is made from its fields
// (see report_error), whatever the message says.
template <typename... Parts>
void emit(DiagnosticSink& sink, Category category, Where where, const Parts&... parts) {
    Diagnostic d;
    d.category = category;
    d.frame = where.frame;
    d.row = where.row;
    d.index = where.index;
    (detail::append_part(d, parts), ...);
    sink.receive(d);
}

// Hands `sink` a finding that is one of the module's "ERROR: " lines, made of
// its fields alone: the file it concerns, where it points and its other
// numbers (see Diagnostic::values).
void report_error(DiagnosticSink& sink, Category category, Where where, const std::string& path = std::string(),
                  const std::array<std::uint64_t, 3>& values = {});

}  // namespace orv

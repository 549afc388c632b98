// Diagnostics as values.
//
// Every finding of a core operation (palette load and save, animation load
// and save, rendering) is one Diagnostic: a category that callers can branch
// on, the message text, and the frame, row and index it concerns. Operations
// hand each diagnostic to a DiagnosticSink as it arises. The core itself
// writes to no stream: the one sink that writes lines is the ErrorLinePrinter,
// installed by callers that want the "ERROR: " lines on standard error.
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
};

inline constexpr std::size_t kCategoryCount = static_cast<std::size_t>(Category::frame_over_budget) + 1;

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

struct Diagnostic {
    static constexpr std::int64_t kNone = -1;

    Category category = Category::no_frames;
    std::string message;  // for an error, the line's text after "ERROR: "
    std::int64_t frame = kNone;
    std::int64_t row = kNone;
    std::int64_t index = kNone;  // a colour index, or a palette entry count

    bool error_line() const noexcept { return prints_error_line(category); }
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

// The printer: writes "ERROR: ", the message and a newline to the process's
// standard error for every error, flushing after each line. Notes are not
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

inline void append_part(std::string& out, const std::string& s) { out += s; }
inline void append_part(std::string& out, const char* s) { out += s; }
inline void append_part(std::string& out, char c) { out += c; }
template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
void append_part(std::string& out, T value) {
    // Whole numbers in decimal; a byte-sized value is a number, not a character.
    if constexpr (std::is_signed_v<T>) {
        out += std::to_string(static_cast<long long>(value));
    } else {
        out += std::to_string(static_cast<unsigned long long>(value));
    }
}

}  // namespace detail

// Builds the message from its parts (text and numbers in decimal) and hands
// the diagnostic to `sink`.
template <typename... Parts>
void emit(DiagnosticSink& sink, Category category, Where where, const Parts&... parts) {
    Diagnostic d;
    d.category = category;
    d.frame = where.frame;
    d.row = where.row;
    d.index = where.index;
    (detail::append_part(d.message, parts), ...);
    sink.receive(d);
}

}  // namespace orv

#include "common/diagnostics.hpp"

#include <iostream>
#include <mutex>

namespace orv {

namespace {

struct CategoryInfo {
    const char* name;
    bool error_line;  // the module prints an "ERROR: " line for it
};

// In the order of the enum.
constexpr CategoryInfo kCategories[kCategoryCount] = {
    {"palette_open_failed", true},
    {"palette_count_invalid", true},
    {"palette_short", false},
    {"palette_write_open_failed", true},
    {"palette_write_failed", true},
    {"palette_save_skipped", true},
    {"color_lookup_out_of_bounds", true},
    {"file_open_failed", false},
    {"head_cut_short", false},
    {"frames_cut_short", false},
    {"trailing_bytes", false},
    {"palette_not_found", false},
    {"palette_search_failed", false},
    {"index_past_palette_file", false},
    {"no_frames", false},
    {"file_write_open_failed", true},
    {"file_write_failed", true},
    {"no_palette_data", true},
    {"row_missing", true},
    {"color_index_out_of_range", true},
    {"frame_too_large", true},
    {"frame_over_budget", true},
    {"too_many_frames", false},
};

// Every category has its entry.
static_assert(kCategories[kCategoryCount - 1].name != nullptr, "a category lacks its name");

class NullSink final : public DiagnosticSink {
public:
    void receive(const Diagnostic&) override {}
};

}  // namespace

const char* category_name(Category category) noexcept {
    const auto i = static_cast<std::size_t>(category);
    return i < kCategoryCount ? kCategories[i].name : "unknown";
}

bool prints_error_line(Category category) noexcept {
    const auto i = static_cast<std::size_t>(category);
    return i >= kCategoryCount || kCategories[i].error_line;
}

const char* status_name(Status status) noexcept {
    switch (status) {
        case Status::ok: return "ok";
        case Status::problems: return "problems";
        case Status::failed: return "failed";
    }
    return "unknown";
}

DiagnosticSink& no_sink() noexcept {
    static NullSink sink;
    return sink;
}

namespace {

// An error line's text, put together from words, numbers and paths, with
// where each path lies.
class Wording {
public:
    Wording(const Diagnostic& d, std::vector<TextSpan>* spans) : d_(d), spans_(spans) {}

    Wording& operator<<(const char* words) {
        text_ += words;
        return *this;
    }
    Wording& number(std::int64_t value) {
        text_ += std::to_string(value);
        return *this;
    }
    Wording& number(std::uint64_t value) {
        text_ += std::to_string(value);
        return *this;
    }
    // The diagnostic's first path (nothing when it names none).
    Wording& path() {
        const std::string& p = d_.paths.empty() ? empty_ : d_.paths.front();
        if (spans_ && !d_.paths.empty()) spans_->push_back(TextSpan{text_.size(), text_.size() + p.size()});
        text_ += p;
        return *this;
    }
    std::string take() { return std::move(text_); }

private:
    const Diagnostic& d_;
    std::vector<TextSpan>* spans_;
    std::string text_;
    const std::string empty_;
};

// The words before the path, of the lines that end with the path a
// diagnostic names; null for every other line.
const char* words_before_path(Category category) {
    switch (category) {
        case Category::palette_open_failed: return "Could not open palette file: ";
        case Category::palette_write_open_failed: return "Could not open palette file for writing: ";
        case Category::palette_write_failed: return "Could not write palette file: ";
        case Category::palette_save_skipped: return "No palette data to save, existing palette file kept: ";
        case Category::file_write_open_failed: return "Could not open animation file for writing: ";
        case Category::file_write_failed: return "Could not write animation file: ";
        default: return nullptr;
    }
}

}  // namespace

// The words of every "ERROR: " line, each made from the diagnostic's fields.
std::string Diagnostic::text(std::vector<TextSpan>* spans) const {
    if (spans) spans->clear();
    if (!error_line()) {
        if (spans) {
            for (std::size_t i = 0; i < paths.size() && i < path_offsets.size(); ++i) {
                spans->push_back(TextSpan{path_offsets[i], path_offsets[i] + paths[i].size()});
            }
        }
        return message;
    }
    Wording w(*this, spans);
    if (const char* words = words_before_path(category)) {
        w << words;
        w.path();
        return w.take();
    }
    switch (category) {
        case Category::palette_count_invalid:
            w << "Invalid color count: ";
            w.number(index);
            break;
        case Category::color_lookup_out_of_bounds:
            w << "Color index out of bounds: ";
            w.number(index);
            break;
        case Category::no_palette_data: w << "No palette data available!"; break;
        case Category::row_missing:
            w << "Row ";
            w.number(row) << " exceeds OrvPixelSet count!";
            break;
        case Category::color_index_out_of_range:
            w << "Out-of-bounds color index! (";
            w.number(index) << ")";
            break;
        case Category::frame_too_large:
            w << "Frame ";
            w.number(frame) << " is too large to render: ";
            w.number(values[0]) << " x ";
            w.number(values[1]) << " pixels need ";
            w.number(values[2]) << " bytes";
            break;
        case Category::frame_over_budget:
            w << "Frame ";
            w.number(frame) << " exceeds the rendering memory budget: ";
            w.number(values[0]) << " bytes needed, ";
            w.number(values[1]) << " of ";
            w.number(values[2]) << " bytes left";
            break;
        default: return message;  // a category outside the list
    }
    return w.take();
}

void report_error(DiagnosticSink& sink, Category category, Where where, const std::string& path,
                  const std::array<std::uint64_t, 3>& values) {
    Diagnostic d;
    d.category = category;
    d.frame = where.frame;
    d.row = where.row;
    d.index = where.index;
    if (!path.empty()) d.paths.push_back(path);
    d.values = values;
    sink.receive(d);
}

void ErrorLinePrinter::receive(const Diagnostic& diagnostic) {
    if (!diagnostic.error_line()) return;
    std::string line = "ERROR: ";
    line += diagnostic.text();
    line += '\n';
    static std::mutex mutex;
    const std::lock_guard<std::mutex> hold(mutex);
    std::cerr.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cerr.flush();
}

DiagnosticSink& error_printer() noexcept {
    static ErrorLinePrinter printer;
    return printer;
}

void DiagnosticReport::receive(const Diagnostic& diagnostic) {
    const auto i = static_cast<std::size_t>(diagnostic.category);
    if (i >= kCategoryCount) return;
    if (counts_[i]++ < kKeptPerCategory) kept_.push_back(diagnostic);
    ++total_;
    if (diagnostic.error_line()) ++errors_;
}

void DiagnosticReport::clear() noexcept {
    kept_.clear();
    counts_.fill(0);
    total_ = 0;
    errors_ = 0;
}

}  // namespace orv

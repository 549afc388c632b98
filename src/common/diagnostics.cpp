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

void ErrorLinePrinter::receive(const Diagnostic& diagnostic) {
    if (!diagnostic.error_line()) return;
    std::string line = "ERROR: ";
    line += diagnostic.message;
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

#include "common/diagnostics.hpp"

#include <iostream>

namespace orv {

namespace {

struct CategoryInfo {
    const char* name;
    Severity severity;
};

// In the order of the enum.
constexpr CategoryInfo kCategories[kCategoryCount] = {
    {"palette_open_failed", Severity::error},
    {"palette_count_invalid", Severity::error},
    {"palette_short", Severity::note},
    {"palette_write_open_failed", Severity::error},
    {"palette_write_failed", Severity::error},
    {"palette_save_skipped", Severity::error},
    {"color_lookup_out_of_bounds", Severity::error},
    {"file_open_failed", Severity::note},
    {"head_cut_short", Severity::note},
    {"frames_cut_short", Severity::note},
    {"trailing_bytes", Severity::note},
    {"palette_not_found", Severity::note},
    {"palette_search_failed", Severity::note},
    {"index_past_palette_file", Severity::note},
    {"no_frames", Severity::note},
    {"file_write_open_failed", Severity::error},
    {"file_write_failed", Severity::error},
    {"no_palette_data", Severity::error},
    {"row_missing", Severity::error},
    {"color_index_out_of_range", Severity::error},
    {"frame_too_large", Severity::error},
    {"frame_over_budget", Severity::error},
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

Severity category_severity(Category category) noexcept {
    const auto i = static_cast<std::size_t>(category);
    return i < kCategoryCount ? kCategories[i].severity : Severity::error;
}

const char* severity_name(Severity severity) noexcept { return severity == Severity::note ? "note" : "error"; }

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
    if (diagnostic.severity() != Severity::error) return;
    std::cerr << "ERROR: " << diagnostic.message << '\n' << std::flush;
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
    if (diagnostic.severity() == Severity::error) ++errors_;
}

void DiagnosticReport::clear() noexcept {
    kept_.clear();
    counts_.fill(0);
    total_ = 0;
    errors_ = 0;
}

}  // namespace orv

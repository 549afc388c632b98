#include <doctest/doctest.h>

#include <cstdint>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "common/diagnostics.hpp"

using orv::Category;
using orv::Diagnostic;

namespace {

// Collects what the sink receives.
class Recorder final : public orv::DiagnosticSink {
public:
    void receive(const Diagnostic& d) override { got.push_back(d); }
    std::vector<Diagnostic> got;
};

// std::cerr redirected into a string for as long as it lives.
class CerrCapture {
public:
    CerrCapture() : old_(std::cerr.rdbuf(buffer_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(old_); }
    CerrCapture(const CerrCapture&) = delete;
    CerrCapture& operator=(const CerrCapture&) = delete;
    std::string text() const { return buffer_.str(); }

private:
    std::ostringstream buffer_;
    std::streambuf* old_;
};

}  // namespace

TEST_CASE("emit builds the message from text and decimal numbers, with where it points") {
    Recorder r;
    const std::uint8_t index = 7;  // a byte is a number, not a character
    orv::emit(r, Category::color_index_out_of_range, {2, 5, index}, "Out-of-bounds color index! (", index, ")");
    orv::emit(r, Category::color_lookup_out_of_bounds, {}, "Color index out of bounds: ", std::int32_t{-3});
    orv::emit(r, Category::palette_count_invalid, {}, "Invalid color count: ", std::uint32_t{4294967295u}, '!');
    REQUIRE(r.got.size() == 3);
    CHECK(r.got[0].message == "Out-of-bounds color index! (7)");
    CHECK(r.got[0].frame == 2);
    CHECK(r.got[0].row == 5);
    CHECK(r.got[0].index == 7);
    CHECK(r.got[1].message == "Color index out of bounds: -3");
    CHECK(r.got[1].frame == Diagnostic::kNone);
    CHECK(r.got[2].message == "Invalid color count: 4294967295!");
}

TEST_CASE("the printer writes one ERROR line per error and nothing for notes") {
    CerrCapture capture;
    orv::emit(orv::error_printer(), Category::no_palette_data, {}, "No palette data available!");
    orv::emit(orv::error_printer(), Category::frames_cut_short, {1, Diagnostic::kNone, Diagnostic::kNone}, "cut");
    orv::emit(orv::error_printer(), Category::row_missing, {0, 3, Diagnostic::kNone}, "Row ", 3,
              " exceeds OrvPixelSet count!");
    CHECK(capture.text() == "ERROR: No palette data available!\nERROR: Row 3 exceeds OrvPixelSet count!\n");
}

TEST_CASE("a tee hands each diagnostic to both sinks, the first first") {
    std::vector<std::string> order;
    class Named final : public orv::DiagnosticSink {
    public:
        Named(std::vector<std::string>& log, std::string name) : log_(log), name_(std::move(name)) {}
        void receive(const Diagnostic& d) override { log_.push_back(name_ + ":" + d.message); }

    private:
        std::vector<std::string>& log_;
        std::string name_;
    };
    Named a(order, "a");
    Named b(order, "b");
    orv::TeeSink tee(a, b);
    orv::emit(tee, Category::no_frames, {}, "one");
    orv::emit(tee, Category::no_frames, {}, "two");
    CHECK(order == std::vector<std::string>{"a:one", "b:one", "a:two", "b:two"});
}

TEST_CASE("a report keeps a bounded number per category and counts them all") {
    orv::DiagnosticReport report;
    const std::size_t many = orv::DiagnosticReport::kKeptPerCategory + 10;
    for (std::size_t i = 0; i < many; ++i) {
        orv::emit(report, Category::color_index_out_of_range, {0, static_cast<std::int64_t>(i), 1}, "bad ", i);
    }
    orv::emit(report, Category::trailing_bytes, {}, "trailing");  // a note
    CHECK(report.count(Category::color_index_out_of_range) == many);
    CHECK(report.total() == many + 1);
    CHECK(report.errors() == many);
    CHECK(report.has(Category::trailing_bytes));
    CHECK_FALSE(report.has(Category::no_frames));
    REQUIRE(report.kept().size() == orv::DiagnosticReport::kKeptPerCategory + 1);
    CHECK(report.kept().front().message == "bad 0");
    CHECK(report.kept()[orv::DiagnosticReport::kKeptPerCategory - 1].row ==
          static_cast<std::int64_t>(orv::DiagnosticReport::kKeptPerCategory - 1));
    CHECK(report.kept().back().category == Category::trailing_bytes);  // later categories still kept

    report.clear();
    CHECK(report.total() == 0);
    CHECK(report.kept().empty());
    CHECK_FALSE(report.has(Category::color_index_out_of_range));
}

TEST_CASE("every category has its own stable name and a severity") {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < orv::kCategoryCount; ++i) {
        const auto c = static_cast<Category>(i);
        const std::string name = orv::category_name(c);
        CHECK(name != "unknown");
        for (const std::string& seen : names) CHECK(seen != name);
        names.push_back(name);
    }
    CHECK(std::string(orv::category_name(static_cast<Category>(orv::kCategoryCount))) == "unknown");
    CHECK(orv::prints_error_line(Category::row_missing));
    CHECK_FALSE(orv::prints_error_line(Category::trailing_bytes));
    CHECK(std::string(orv::status_name(orv::Status::problems)) == "problems");
}

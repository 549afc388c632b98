#include <doctest/doctest.h>

#include <array>
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

TEST_CASE("the printer makes every error line from the fields, each path where the text says") {
    using orv::Where;
    constexpr std::int64_t kNone = Diagnostic::kNone;
    struct Case {
        Category category;
        Where where;
        std::string path;
        std::array<std::uint64_t, 3> values;
        std::string line;
    };
    const std::string pal = "/g/p\xff.pal";  // bytes as the file system gave them
    const std::vector<Case> cases = {
        {Category::palette_open_failed, {}, pal, {}, "Could not open palette file: " + pal},
        {Category::palette_open_failed, {}, "", {}, "Could not open palette file: "},
        {Category::palette_count_invalid, {kNone, kNone, 65535}, "", {}, "Invalid color count: 65535"},
        {Category::palette_write_open_failed, {}, pal, {}, "Could not open palette file for writing: " + pal},
        {Category::palette_write_failed, {}, pal, {}, "Could not write palette file: " + pal},
        {Category::palette_save_skipped, {}, pal, {}, "No palette data to save, existing palette file kept: " + pal},
        {Category::color_lookup_out_of_bounds, {kNone, kNone, -1}, "", {}, "Color index out of bounds: -1"},
        {Category::file_write_open_failed, {}, "a b.orv", {}, "Could not open animation file for writing: a b.orv"},
        {Category::file_write_failed, {}, "a.orv", {}, "Could not write animation file: a.orv"},
        {Category::no_palette_data, {}, "", {}, "No palette data available!"},
        {Category::row_missing, {4, 300}, "", {}, "Row 300 exceeds OrvPixelSet count!"},
        {Category::color_index_out_of_range, {0, 2, 200}, "", {}, "Out-of-bounds color index! (200)"},
        {Category::frame_too_large,
         {7},
         "",
         {65535, 65535, 17179344900},
         "Frame 7 is too large to render: 65535 x "
         "65535 pixels need 17179344900 bytes"},
        {Category::frame_over_budget,
         {2},
         "",
         {1048576, 4096, 1073741824},
         "Frame 2 exceeds the rendering memory budget: 1048576 bytes needed, 4096 of 1073741824 bytes left"},
    };
    std::string printed;
    for (const Case& c : cases) {
        CAPTURE(c.line);
        Recorder r;
        orv::report_error(r, c.category, c.where, c.path, c.values);
        REQUIRE(r.got.size() == 1);
        const Diagnostic& d = r.got[0];
        CHECK(d.error_line());
        CHECK(d.message.empty());  // the words come from the fields alone
        std::vector<orv::TextSpan> spans;
        CHECK(d.text(&spans) == c.line);
        if (c.path.empty()) {
            CHECK(spans.empty());
        } else {
            REQUIRE(spans.size() == 1);
            CHECK(c.line.substr(spans[0].begin, spans[0].end - spans[0].begin) == c.path);
            CHECK(spans[0].end == c.line.size());
        }
        CerrCapture capture;
        orv::error_printer().receive(d);
        printed += capture.text();
    }
    std::string want;
    for (const Case& c : cases) want += "ERROR: " + c.line + "\n";
    CHECK(printed == want);
}

TEST_CASE("a finding that is no error line keeps its words and says where the paths it names lie") {
    Recorder r;
    const std::string file = "/x/walk's.orv";
    orv::emit(r, Category::file_open_failed, {}, "cannot open the animation file '", orv::PathPart{file}, "'");
    orv::emit(r, Category::too_many_frames, {}, "its head and size allow 3 frame records");
    REQUIRE(r.got.size() == 2);
    std::vector<orv::TextSpan> spans;
    CHECK(r.got[0].text(&spans) == "cannot open the animation file '" + file + "'");
    CHECK(r.got[0].paths == std::vector<std::string>{file});
    REQUIRE(spans.size() == 1);
    CHECK(spans[0].begin == 32);
    CHECK(spans[0].end == 32 + file.size());
    CHECK(r.got[1].text(&spans) == "its head and size allow 3 frame records");
    CHECK(spans.empty());
    CHECK_FALSE(orv::prints_error_line(Category::too_many_frames));
    CerrCapture capture;
    for (const Diagnostic& d : r.got) orv::error_printer().receive(d);
    CHECK(capture.text().empty());
}

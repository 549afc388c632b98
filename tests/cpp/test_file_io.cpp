#include <doctest/doctest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include "anim/orv_format.hpp"
#include "common/file_io.hpp"
#include "orvfile/orv_file.hpp"

namespace fs = std::filesystem;

namespace {

// A fresh directory under $TMPDIR, removed with everything in it.
class TempDir {
public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orv-cpp-XXXXXX";
        REQUIRE(::mkdtemp(pattern.data()) != nullptr);
        path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    std::string operator/(const std::string& name) const { return (path_ / name).string(); }
    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(path_)) out.push_back(e.path().filename().string());
        return out;
    }

private:
    fs::path path_;
};

void put(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    REQUIRE(out.good());
}

std::string contents(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::uint8_t> bytes_of(const std::string& text) { return {text.begin(), text.end()}; }

}  // namespace

TEST_CASE("read_whole_file reads everything, or at most max_bytes") {
    TempDir dir;
    const std::string path = dir / "a.bin";
    std::string big(200000, 'x');
    big[0] = '\0';  // bytes, not text
    big[199999] = 'z';
    put(path, big);

    std::vector<std::uint8_t> out = {1, 2, 3};
    REQUIRE(orv::read_whole_file(path, out));
    CHECK(out == bytes_of(big));  // earlier contents replaced, across read chunks

    REQUIRE(orv::read_whole_file(path, out, 70000));
    CHECK(out.size() == 70000);
    CHECK(std::equal(out.begin(), out.end(), big.begin()));

    put(path, "");
    REQUIRE(orv::read_whole_file(path, out));
    CHECK(out.empty());
}

TEST_CASE("read_whole_file refuses what is not a readable regular file") {
    TempDir dir;
    std::vector<std::uint8_t> out = {9};
    CHECK_FALSE(orv::read_whole_file(dir / "missing", out));
    CHECK_FALSE(orv::read_whole_file(dir / "", out));  // the directory itself
    put(dir / "a", "data");
    CHECK_FALSE(orv::read_whole_file(std::string(dir / "a") + std::string(1, '\0') + "b", out));
    CHECK(out == std::vector<std::uint8_t>{9});
}

TEST_CASE("an open file is read and sized through its handle: a name swapped afterwards changes nothing") {
    TempDir dir;
    put(dir / "a.orv", "first file");
    put(dir / "b.orv", std::string(100000, 'b'));
    orv::InputFile file;
    REQUIRE(file.open(dir / "a.orv"));
    REQUIRE(::rename((dir / "b.orv").c_str(), (dir / "a.orv").c_str()) == 0);
    std::uint64_t size = 0;
    REQUIRE(file.size(size));
    CHECK(size == 10);
    std::uint8_t got[64] = {};
    CHECK(file.read(got, sizeof got) == 10);
    CHECK(std::string(got, got + 10) == "first file");
    CHECK(file.read(got, sizeof got) == 0);
    orv::InputFile folder;
    CHECK_FALSE(folder.open(dir / ""));
    CHECK_FALSE(folder.is_open());
    CHECK(folder.read(got, 1) == -1);
}

TEST_CASE("a file's leading bytes are held as asked for, read at most 64 KiB beyond, in one shared block") {
    TempDir dir;
    const std::string path = dir / "sparse.bin";
    put(path, "head");
    const std::uint64_t size = std::uint64_t{1} << 30;  // a gigabyte of zeros that take no disk
    REQUIRE(::truncate(path.c_str(), static_cast<off_t>(size)) == 0);
    orv::InputFile file;
    REQUIRE(file.open(path));
    orv::FileBytes in(file);
    CHECK(in.size() == 0);
    CHECK(in.whole_size() == size);
    struct Step {
        std::uint64_t asked;
        bool held;
    };
    for (const Step step : {Step{4, true}, Step{3, true}, Step{70000, true}, Step{3u << 20, true}}) {
        CAPTURE(step.asked);
        CHECK(in.hold(step.asked) == step.held);
        CHECK(in.size() >= step.asked);
        CHECK(in.size() <= std::max<std::uint64_t>(step.asked, 70000) + (64u << 10));
    }
    CHECK(std::string(in.data(), in.data() + 4) == "head");
    const orv::SharedBytes kept = in.prefix(10);
    CHECK(kept.data() == in.data());  // no copy
    CHECK(kept.size() == 10);
    CHECK_FALSE(in.ended());
    CHECK(in.whole_size() == size);

    put(path, "short");
    orv::InputFile small;
    REQUIRE(small.open(path));
    orv::FileBytes few(small);
    CHECK_FALSE(few.hold(6));
    CHECK(few.size() == 5);
    CHECK(few.ended());
    CHECK_FALSE(few.failed());
    CHECK(few.whole_size() == 5);
}

namespace {

// Example files of the format: the plain form (one 3 x 1 frame) and the
// background form (a shadow frame of two rows, then a 1 x 1 frame).
const std::string kPlain = std::string("\x64\0\0\0\x06\0\0\0a.pal\0\x01\0\0\0", 18) +
                           std::string("\0\0\0\0\x01\0\x03\0\xfe\xff\x01\0\0\x01\x01\x01\x02\x05\x07", 19);
const std::string kBackground = std::string("FVRO\0\0\0\0\x01\x64\0\0\0\x06\0\0\0a.pal\0\x01\0\0\0", 27) +
                                std::string("\0\0\0\0\x02\x80\x04\0\0\0\0\0\0\x01\x01\0\x04\0", 18) +
                                std::string("\0\0\0\0\x01\0\x01\0\0\0\0\0\0\x01\x01\0\x01\x09", 18);

}  // namespace

TEST_CASE("a load reads through one open only as far as the frame records reach") {
    TempDir dir;
    struct Case {
        std::string name;
        std::string bytes;
        std::uint64_t size;      // the file's size: past the bytes, zeros that take no disk
        std::uint64_t consumed;  // where the records end
        std::size_t frames;
    };
    const std::uint64_t gib = std::uint64_t{1} << 30;
    const std::vector<Case> cases = {
        {"plain", kPlain, kPlain.size(), 37, 1},
        {"background", kBackground, kBackground.size(), 63, 2},
        {"plain and a gigabyte", kPlain, gib, 37, 1},
        {"background and three", kBackground, 3 * gib, 63, 2},
        {"cut inside a frame", kBackground.substr(0, 50), 50, 50, 2},
        {"cut inside the head", kPlain.substr(0, 12), 12, 12, 0},
    };
    for (const Case& c : cases) {
        CAPTURE(c.name);
        const std::string path = dir / "anim.orv";
        put(path, c.bytes);
        REQUIRE(::truncate(path.c_str(), static_cast<off_t>(c.size)) == 0);

        orv::InputFile file;
        REQUIRE(file.open(path));
        orv::FileBytes in(file);
        const orv::OrvHead head = orv::walk_head(in);
        std::uint32_t wanted = head.frame_count + (head.background_flag ? 1u : 0u);
        CHECK(orv::walk_frames(in, head.end, wanted) == c.consumed);
        CHECK(in.size() <= c.consumed + (64u << 10) + 65536);

        orv::OrvF loaded;
        orv::LoadOptions options;
        options.max_records = 1000;
        REQUIRE(loaded.read_file(path, dir / "none.pal", options));
        const orv::LoadReport& report = loaded.report();
        CHECK(report.file_size == c.size);
        CHECK(loaded.data()->frames.size() == c.frames);
        CHECK(report.trailing_bytes == (report.frames_whole ? c.size - c.consumed : 0));
        CHECK(report.trailing.size() == 0);  // counted, not read
        CHECK(report.diagnostics.has(orv::Category::trailing_bytes) == (c.size > c.consumed));

        // The same file read whole gives the same records and report.
        orv::OrvF whole;
        options.keep_trailing = true;
        if (c.size < gib) {
            REQUIRE(whole.read_file(path, dir / "none.pal", options));
            CHECK(whole.report().frames_whole == report.frames_whole);
            CHECK(whole.report().trailing_start == report.trailing_start);
            CHECK(whole.report().diagnostics.total() == report.diagnostics.total());
            CHECK(whole.data()->frames.size() == c.frames);
        }
    }
}

TEST_CASE("a file allowing more frame records than the caller reads is refused on its open, before any") {
    TempDir dir;
    const std::string path = dir / "many.orv";
    // 2^31 - 1 frames announced, 1 MiB of empty records after the head.
    put(path, std::string("\0\0\0\0\x01\0\0\0\0\xff\xff\xff\x7f", 13));
    REQUIRE(::truncate(path.c_str(), 1 << 20) == 0);
    const std::uint64_t allowed = ((1u << 20) - 13 + 13) / 14;
    struct Case {
        std::uint64_t max_records;
        bool refused;
    };
    for (const Case c : {Case{allowed - 1, true}, Case{allowed, false}, Case{orv::LoadOptions::kEveryRecord, false}}) {
        CAPTURE(c.max_records);
        orv::LoadOptions options;
        options.max_records = c.max_records;
        std::vector<std::uint8_t> bytes;
        REQUIRE(orv::read_whole_file(path, bytes));
        for (const bool from_memory : {false, true}) {
            orv::OrvF file;
            const bool read = from_memory ? file.read_memory(bytes.data(), bytes.size(), path, "", options)
                                          : file.read_file(path, "", options);
            CHECK(read != c.refused);
            const orv::LoadReport& report = file.report();
            CHECK(report.opened);
            CHECK(report.diagnostics.has(orv::Category::too_many_frames) == c.refused);
            if (!c.refused) continue;
            CHECK(report.diagnostics.total() == 1);
            CHECK(report.frames.empty());
            CHECK(file.data()->frames.empty());
            const orv::Diagnostic& d = report.diagnostics.kept().front();
            CHECK(d.values[0] == allowed);
            CHECK(d.values[1] == c.max_records);
            CHECK(d.text() ==
                  "its head and size allow 74,898 frame records, more than the 74,897 orvtool reads "
                  "from one file");
        }
    }
}

TEST_CASE("a regular file is replaced whole, keeping its permissions, and only once written") {
    TempDir dir;
    const std::string target = dir / "anim.orv";
    put(target, "old contents");
    ::chmod(target.c_str(), 0640);

    orv::SavedFile file;
    REQUIRE(file.open(target));
    CHECK(file.method() == orv::SavedFile::Method::replace);
    CHECK(contents(target) == "old contents");  // untouched until written
    CHECK(file.write_all(bytes_of("new bytes")) == orv::SavedFile::Status::ok);
    CHECK(contents(target) == "new bytes");
    CHECK(dir.names() == std::vector<std::string>{"anim.orv"});  // no temporary file left
    struct stat st {};
    REQUIRE(::stat(target.c_str(), &st) == 0);
    CHECK((st.st_mode & 0777) == 0640);
}

TEST_CASE("a file dropped before it is written leaves the target as it was") {
    TempDir dir;
    const std::string target = dir / "keep.pal";
    put(target, "precious");
    {
        orv::SavedFile file;
        REQUIRE(file.open(target));
    }
    CHECK(contents(target) == "precious");
    {
        orv::SavedFile file;
        REQUIRE(file.open(dir / "new.pal"));  // a new name: nothing may be left behind
    }
    CHECK(dir.names() == std::vector<std::string>{"keep.pal"});
}

TEST_CASE("a file with a second link is written in place, so both names see it") {
    TempDir dir;
    put(dir / "a.orv", "old");
    fs::create_hard_link(dir / "a.orv", dir / "b.orv");
    orv::SavedFile file;
    REQUIRE(file.open(dir / "a.orv"));
    CHECK(file.method() == orv::SavedFile::Method::in_place);
    CHECK(contents(dir / "a.orv") == "old");  // not truncated before the write
    CHECK(file.write_all(bytes_of("shorter? no, longer")) == orv::SavedFile::Status::ok);
    CHECK(contents(dir / "a.orv") == "shorter? no, longer");
    CHECK(contents(dir / "b.orv") == "shorter? no, longer");
}

TEST_CASE("targets a plain open refuses are refused, and nothing is created") {
    TempDir dir;
    fs::create_directory(dir / "sub");
    orv::SavedFile file;
    CHECK_FALSE(file.open(dir / "sub"));  // a directory in the way
    CHECK(file.method() == orv::SavedFile::Method::none);
    CHECK_FALSE(file.open(dir / "no/such/dir/f.orv"));
    CHECK_FALSE(file.open(""));
    CHECK_FALSE(file.open(std::string(dir / "f") + std::string(1, '\0') + "g"));
    CHECK(dir.names() == std::vector<std::string>{"sub"});
    CHECK(orv::place_file(dir / "sub", bytes_of("x")) == orv::PlaceResult::open_failed);
    CHECK(fs::is_directory(dir / "sub"));
}

TEST_CASE("place_file creates a new file and replaces an existing one") {
    TempDir dir;
    CHECK(orv::place_file(dir / "fresh.orv", bytes_of("abc")) == orv::PlaceResult::placed);
    CHECK(contents(dir / "fresh.orv") == "abc");
    CHECK(orv::place_file(dir / "fresh.orv", {}) == orv::PlaceResult::placed);
    CHECK(contents(dir / "fresh.orv").empty());
    CHECK(dir.names() == std::vector<std::string>{"fresh.orv"});
}

TEST_CASE("a symbolic link is followed to its file, which is replaced; the link stays") {
    TempDir dir;
    fs::create_directory(dir / "real");
    put(dir / "real/anim.orv", "old");
    fs::create_symlink("real/anim.orv", dir / "link.orv");

    CHECK(orv::place_file(dir / "link.orv", bytes_of("through")) == orv::PlaceResult::placed);
    CHECK(fs::is_symlink(dir / "link.orv"));
    CHECK(contents(dir / "real/anim.orv") == "through");
}

TEST_CASE("files placed together are all written, or none when a target cannot be opened") {
    using R = orv::Placement::Result;
    using M = orv::SavedFile::Method;
    struct Target {
        const char* name;
        orv::SavedFile::Links links;
        R result;
        M method;
        const char* after;  // the file's content afterwards; nullptr: absent
    };
    constexpr auto follow = orv::SavedFile::Links::followed;
    constexpr auto refuse = orv::SavedFile::Links::refused;
    const std::vector<std::vector<Target>> cases = {
        {{"old.orv", follow, R::placed, M::replace, "new"}, {"a.orv", follow, R::placed, M::replace, "new"}},
        {{"link.orv", follow, R::placed, M::replace, "new"}},
        {{"a.orv", follow, R::not_written, M::none, nullptr}, {"sub", follow, R::open_failed, M::none, nullptr}},
        {{"old.orv", follow, R::not_written, M::none, "old"},
         {"link.orv", refuse, R::link_refused, M::none, "old"},
         {"b.orv", follow, R::not_written, M::none, nullptr}},
        {},
    };
    for (const std::vector<Target>& targets : cases) {
        TempDir dir;
        put(dir / "old.orv", "old");
        fs::create_directory(dir / "sub");
        fs::create_symlink("old.orv", dir / "link.orv");
        std::vector<orv::FileToPlace> files;
        files.reserve(targets.size());
        for (const Target& t : targets) files.push_back({dir / t.name, bytes_of("new"), t.links});
        const std::vector<orv::Placement> placed = orv::place_files(files);
        REQUIRE(placed.size() == targets.size());
        for (std::size_t i = 0; i < targets.size(); ++i) {
            CAPTURE(targets[i].name);
            CHECK(placed[i].result == targets[i].result);
            CHECK(placed[i].method == targets[i].method);
            if (targets[i].after == nullptr) {
                CHECK_FALSE(fs::is_regular_file(dir / targets[i].name));
            } else {
                CHECK(contents(dir / targets[i].name) == targets[i].after);
            }
        }
        CHECK(fs::is_symlink(dir / "link.orv"));
    }
}

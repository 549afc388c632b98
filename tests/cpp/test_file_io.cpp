#include <doctest/doctest.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <sys/stat.h>

#include "common/file_io.hpp"

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

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
using orv::ReplacingFileWriter;

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

TEST_CASE("a committed writer replaces the target and leaves no temporary file") {
    TempDir dir;
    const std::string target = dir / "anim.orv";
    put(target, "old contents");
    ::chmod(target.c_str(), 0640);

    ReplacingFileWriter w;
    REQUIRE(w.open(target));
    w.write(bytes_of("new "));
    CHECK(contents(target) == "old contents");  // untouched until the commit
    w.write("bytes", 5);
    CHECK(w.commit() == ReplacingFileWriter::Status::ok);
    CHECK(contents(target) == "new bytes");
    CHECK(dir.names() == std::vector<std::string>{"anim.orv"});
    struct stat st {};
    REQUIRE(::stat(target.c_str(), &st) == 0);
    CHECK((st.st_mode & 0777) == 0640);  // the replaced file's permissions

    CHECK(w.commit() == ReplacingFileWriter::Status::open_failed);  // nothing left to commit
}

TEST_CASE("a writer dropped before its commit leaves the target as it was") {
    TempDir dir;
    const std::string target = dir / "keep.pal";
    put(target, "precious");
    {
        ReplacingFileWriter w;
        REQUIRE(w.open(target));
        w.write(bytes_of("half"));
    }
    CHECK(contents(target) == "precious");
    CHECK(dir.names() == std::vector<std::string>{"keep.pal"});

    ReplacingFileWriter reopened;
    REQUIRE(reopened.open(dir / "other"));
    REQUIRE(reopened.open(target));  // a second open drops the first temporary file
    reopened.write(bytes_of("x"));
    CHECK(reopened.commit() == ReplacingFileWriter::Status::ok);
    CHECK(contents(target) == "x");
    CHECK(dir.names() == std::vector<std::string>{"keep.pal"});
}

TEST_CASE("a new file is created; targets that cannot be written are refused") {
    TempDir dir;
    ReplacingFileWriter w;
    REQUIRE(w.open(dir / "fresh.orv"));
    w.write(bytes_of("abc"));
    CHECK(w.commit() == ReplacingFileWriter::Status::ok);
    CHECK(contents(dir / "fresh.orv") == "abc");

    fs::create_directory(dir / "sub");
    ReplacingFileWriter refused;
    CHECK_FALSE(refused.open(dir / "sub"));  // a directory in the way
    CHECK_FALSE(refused.open(dir / "no/such/dir/f.orv"));
    CHECK_FALSE(refused.open(""));
    CHECK_FALSE(refused.open(std::string(dir / "f") + std::string(1, '\0')));
    CHECK(refused.commit() == ReplacingFileWriter::Status::open_failed);
    CHECK(fs::is_directory(dir / "sub"));
}

TEST_CASE("a symbolic link is written through to its target and stays a link") {
    TempDir dir;
    fs::create_directory(dir / "real");
    put(dir / "real/anim.orv", "old");
    fs::create_symlink("real/anim.orv", dir / "link.orv");

    ReplacingFileWriter w;
    REQUIRE(w.open(dir / "link.orv"));
    w.write(bytes_of("through"));
    REQUIRE(w.commit() == ReplacingFileWriter::Status::ok);
    CHECK(fs::is_symlink(dir / "link.orv"));
    CHECK(contents(dir / "real/anim.orv") == "through");
}

// The core on Windows: examples rendered as on Linux and saved back byte for
// byte, the palette search up to a drive root, the stored palette path for
// drive letters, backslashes and network names, names outside ASCII, and the
// save rule for files that cannot simply be replaced.
//
// Run by `./dev windows` under Wine, with
//   ORV_EXAMPLES  the bundled examples folder (a Windows path),
//   ORV_REFS      the folder that scripts/write_render_refs.py filled,
//   ORV_SCRATCH   an empty folder on drive C:, e.g. C:\orvtest,
//   ORV_OTHER     an empty folder on another drive, e.g. D:\orvtest.
#define DOCTEST_CONFIG_IMPLEMENT
#include <doctest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "common/diagnostics.hpp"
#include "common/file_io.hpp"
#include "common/path_text.hpp"
#include "anim/orv_format.hpp"
#include "orvfile/orv_file.hpp"

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

namespace {

fs::path env_path(const char* name) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0') {
        std::cerr << name << " is not set\n";
        std::exit(2);
    }
    return orv::path_from_text(value);
}

fs::path examples() { return env_path("ORV_EXAMPLES"); }
fs::path refs() { return env_path("ORV_REFS"); }
fs::path scratch() { return env_path("ORV_SCRATCH"); }
fs::path other_drive() { return env_path("ORV_OTHER"); }

std::string text(const fs::path& p) { return orv::text_from_path(p); }

Bytes read_bytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    REQUIRE_MESSAGE(in, "cannot read " << text(p));
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void write_bytes(const fs::path& p, const Bytes& bytes) {
    fs::create_directories(p.parent_path());
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    REQUIRE_MESSAGE(out.good(), "cannot write " << text(p));
}

// The palette path stored in an animation file, without its zero byte.
std::string stored_path(const Bytes& file) {
    const std::size_t at = file.size() >= 4 && std::memcmp(file.data(), "FVRO", 4) == 0 ? 9 : 0;
    REQUIRE(file.size() >= at + 8);
    std::uint32_t n = 0;
    for (int i = 3; i >= 0; --i) n = (n << 8) | file[at + 4 + static_cast<std::size_t>(i)];
    REQUIRE(n >= 1);
    REQUIRE(file.size() >= at + 8 + n);
    CHECK(file[at + 8 + n - 1] == 0);
    return std::string(reinterpret_cast<const char*>(file.data()) + at + 8, n - 1);
}

// The "ERROR: " lines that the module would print for what the core reports.
class ErrorLines final : public orv::DiagnosticSink {
public:
    void receive(const orv::Diagnostic& d) override {
        if (d.error_line()) text_ += "ERROR: " + d.text() + "\n";
    }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

struct Image {
    std::uint32_t width = 0, height = 0;
    std::int32_t offset_x = 0, offset_y = 0;
    Bytes pixels;
};

std::vector<Image> read_reference(const fs::path& p) {
    const Bytes b = read_bytes(p);
    std::size_t at = 0;
    auto u32 = [&] {
        REQUIRE(at + 4 <= b.size());
        std::uint32_t v = 0;
        for (int i = 3; i >= 0; --i) v = (v << 8) | b[at + static_cast<std::size_t>(i)];
        at += 4;
        return v;
    };
    std::vector<Image> images(u32());
    for (Image& im : images) {
        im.width = u32();
        im.height = u32();
        im.offset_x = static_cast<std::int32_t>(u32());
        im.offset_y = static_cast<std::int32_t>(u32());
        const std::size_t size = std::size_t{im.width} * im.height * 4;
        REQUIRE(at + size <= b.size());
        im.pixels.assign(b.begin() + static_cast<std::ptrdiff_t>(at),
                         b.begin() + static_cast<std::ptrdiff_t>(at + size));
        at += size;
    }
    CHECK(at == b.size());
    return images;
}

void check_images(const orv::OrvF& f, const std::vector<Image>& expected) {
    const auto images = f.get_frame_buffer();
    REQUIRE(images.size() == expected.size());
    for (std::size_t i = 0; i < images.size(); ++i) {
        CAPTURE(i);
        CHECK(static_cast<std::uint32_t>(images[i].width) == expected[i].width);
        CHECK(static_cast<std::uint32_t>(images[i].height) == expected[i].height);
        CHECK(images[i].offset_x == expected[i].offset_x);
        CHECK(images[i].offset_y == expected[i].offset_y);
        CHECK(Bytes(images[i].pixels.data(), images[i].pixels.data() + images[i].pixels.size()) == expected[i].pixels);
    }
}

struct Example {
    std::string rel;  // below examples/, "/" separators
    fs::path ref;
};

std::vector<Example> example_list() {
    std::ifstream in(refs() / "examples.txt");
    REQUIRE(in);
    std::vector<Example> list;
    std::string rel, ref;
    while (in >> rel >> ref) list.push_back({rel, refs() / ref});
    REQUIRE(!list.empty());
    return list;
}

// A copy of the bundled examples on drive C:, as a modder's project folder.
fs::path game_copy() {
    const fs::path game = scratch() / "game";
    if (!fs::exists(game)) fs::copy(examples(), game, fs::copy_options::recursive);
    return game;
}

// An example loaded from the copy, with its palette found by the search.
std::shared_ptr<orv::OrvData> load_example(orv::OrvF& f, const std::string& rel) {
    const fs::path file = game_copy() / fs::path(rel).make_preferred();
    ErrorLines errors;
    auto data = f.load(text(file), 0, "", errors);
    REQUIRE_MESSAGE(data, rel << " did not load");
    CHECK(errors.str() == "");
    return data;
}

fs::path leftover_temporary(const fs::path& folder) {
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind(".orv", 0) == 0) return entry.path();
    }
    return {};
}

}  // namespace

TEST_CASE("every example renders as on Linux and saves back byte for byte") {
    for (const Example& ex : example_list()) {
        CAPTURE(ex.rel);
        orv::OrvF f;
        auto data = load_example(f, ex.rel);
        check_images(f, read_reference(ex.ref));

        // Saved with the palette where it was found, the animation file and the
        // palette file come back as they were.
        const fs::path game = game_copy();
        const std::string location = data->palette->location();
        const fs::path palette = game / fs::path(location).make_preferred();
        const Bytes palette_before = read_bytes(palette);
        const fs::path saved = scratch() / "saved" / fs::path(ex.rel).filename();
        fs::create_directories(saved.parent_path());
        ErrorLines errors;
        f.save(text(saved), text(game), text(palette), errors);
        CHECK(errors.str() == "");
        CHECK(read_bytes(saved) == read_bytes(game / fs::path(ex.rel).make_preferred()));
        CHECK(read_bytes(palette) == palette_before);
        CHECK(leftover_temporary(saved.parent_path()).empty());
    }
}

TEST_CASE("an example followed by bytes it does not take loads through one open, those bytes counted") {
    const std::vector<Example> list = example_list();
    const Example& ex = list.front();
    const Bytes whole = read_bytes(game_copy() / fs::path(ex.rel).make_preferred());
    const fs::path file = game_copy() / fs::path(ex.rel).parent_path().make_preferred() / "tail.orv";
    {
        std::ofstream out(file, std::ios::binary);
        out.write(reinterpret_cast<const char*>(whole.data()), static_cast<std::streamsize>(whole.size()));
        out.seekp(static_cast<std::streamoff>(whole.size() + (std::size_t{8} << 20) - 1));
        out.put('\0');  // 8 MiB after the last record
    }
    orv::OrvF f;
    orv::LoadOptions options;
    options.max_records = 1 << 21;
    REQUIRE(f.load_file(text(file), "", options));
    check_images(f, read_reference(ex.ref));
    CHECK(f.report().file_size == whole.size() + (std::size_t{8} << 20));
    CHECK(f.report().trailing_start == whole.size());
    CHECK(f.report().trailing_bytes == std::size_t{8} << 20);
    CHECK(f.report().trailing.size() == 0);
    options.max_records = 1;  // the examples have more frames than that
    orv::OrvF refused;
    CHECK_FALSE(refused.load_file(text(file), "", options));
    CHECK(refused.report().diagnostics.has(orv::Category::too_many_frames));
    CHECK(refused.data()->frames.empty());
    fs::remove(file);
}

TEST_CASE("the palette search walks from a deep folder up to the drive root") {
    const Example ex = example_list().front();
    orv::OrvF source;
    load_example(source, ex.rel);
    const std::vector<Image> expected = read_reference(ex.ref);

    // Stored relative to C:\ itself, the palette is found only once the walk
    // reaches the root.
    const fs::path root = scratch().root_path();
    REQUIRE(text(root) == "C:\\");
    const fs::path palette = scratch() / "pals" / "deep.pal";
    const fs::path deep = scratch() / "deep" / "a" / "b" / "c" / "d" / "e";
    fs::create_directories(deep);
    fs::create_directories(palette.parent_path());
    const fs::path file = deep / "walk.orv";
    source.save(text(file), text(root), text(palette));
    const std::string location = text(scratch().relative_path() / "pals" / "deep.pal");
    CHECK(stored_path(read_bytes(file)) == orv::generic_text(fs::path(location)));

    CHECK(orv::find_palette(file, orv::generic_text(location)) == palette);
    SUBCASE("named with backslashes") {
        orv::OrvF f;
        REQUIRE(f.load(text(file)));
        CHECK(f.data()->palette->location() == orv::generic_text(location));
        check_images(f, expected);
    }
    SUBCASE("named with forward slashes") {
        orv::OrvF f;
        REQUIRE(f.load(orv::generic_text(file)));
        check_images(f, expected);
    }
    SUBCASE("a nearer folder holding the same location wins") {
        const fs::path nearer = scratch() / "deep" / "a" / fs::path(location);
        fs::create_directories(nearer.parent_path());
        fs::copy_file(palette, nearer, fs::copy_options::overwrite_existing);
        CHECK(orv::find_palette(file, location) == nearer);
        fs::remove(nearer);
    }
    SUBCASE("locations that cannot name a file here count as absent") {
        for (const char* odd : {"a<b|c.pal", "pals\\x?.pal", "\\\\orvnohost\\share\\x.pal", "Q:\\x.pal",
                                "orvtest\\pals\\deep.pal\\x.pal"}) {
            CAPTURE(odd);
            CHECK(orv::find_palette(file, odd).empty());
        }
    }
    SUBCASE("a location found nowhere ends the walk at the root with nothing") {
        CHECK(orv::find_palette(file, "orvtest-none/x.pal").empty());
        // Without its palette, the file's search ends with the empty path,
        // which the palette cannot open.
        fs::rename(palette, palette.parent_path() / "away.pal");
        orv::OrvF f;
        ErrorLines errors;
        CHECK_FALSE(f.load(text(file), 0, "", errors));
        CHECK(errors.str() == "ERROR: Could not open palette file: \nERROR: No palette data available!\n");
        fs::rename(palette.parent_path() / "away.pal", palette);
    }
}

TEST_CASE("the stored palette path from Windows path forms") {
    const fs::path game = scratch() / "paths" / "game";
    fs::create_directories(game / "pal");
    fs::create_directories(game / "objects");
    fs::create_directories(other_drive() / "p");
    const std::string g = text(game);                       // C:\orvtest\paths\game
    const std::string g_slashes = orv::generic_text(game);  // C:/orvtest/paths/game
    const std::string d = text(other_drive());

    struct Case {
        std::string root, palette, stored;
    };
    const Case cases[] = {
        {g, g + "\\pal\\x.pal", "pal/x.pal"},
        {g_slashes, g + "\\pal/x.pal", "pal/x.pal"},          // mixed separators
        {g + "\\", g_slashes + "/pal/./x.pal", "pal/x.pal"},  // trailing separator, "." element
        {g + "\\objects", g + "\\pal\\x.pal", "../pal/x.pal"},
        {g + "\\objects", g + "\\objects\\..\\..\\x.pal", "../../x.pal"},
        {g, g, "."},
        {g, d + "\\p\\x.pal", ""},  // another drive: no relative path
        {"\\\\orvhost\\share\\game", "\\\\orvhost\\share\\game\\pal\\x.pal", "pal/x.pal"},
        {g, "\\\\orvhost\\share\\game\\pal\\x.pal", ""},  // a network name against a drive
    };
    const fs::path file = scratch() / "paths" / "s.orv";
    for (const Case& c : cases) {
        CAPTURE(c.root);
        CAPTURE(c.palette);
        orv::OrvF f;
        f.save(text(file), c.root, c.palette);  // a palette on a host that does not exist is not written
        CHECK(stored_path(read_bytes(file)) == c.stored);
    }
    // The palette itself goes to the palette path as given, on either drive.
    CHECK(fs::file_size(game / "pal" / "x.pal") == 4);
    CHECK(fs::file_size(other_drive() / "p" / "x.pal") == 4);
}

TEST_CASE("names outside ASCII are UTF-8 text") {
    const Example ex = example_list().front();
    orv::OrvF source;
    load_example(source, ex.rel);

    // "Ünï", "спрайт", "ходьба.orv", "цвет.pal" as UTF-8 bytes and as wide names.
    const std::string u_project = "\xc3\x9cn\xc3\xaf";
    const std::string u_folder = "\xd1\x81\xd0\xbf\xd1\x80\xd0\xb0\xd0\xb9\xd1\x82";
    const std::string u_file = "\xd1\x85\xd0\xbe\xd0\xb4\xd1\x8c\xd0\xb1\xd0\xb0.orv";
    const std::string u_palette = "\xd1\x86\xd0\xb2\xd0\xb5\xd1\x82.pal";
    const fs::path project = scratch() / L"\u00dcn\u00ef";
    const fs::path wide_file =
        project / L"\u0441\u043f\u0440\u0430\u0439\u0442" / L"\u0445\u043e\u0434\u044c\u0431\u0430.orv";
    const fs::path wide_palette = project / L"pal" / L"\u0446\u0432\u0435\u0442.pal";
    fs::create_directories(wide_file.parent_path());
    fs::create_directories(wide_palette.parent_path());

    const std::string root_text = text(scratch()) + "\\" + u_project;
    const std::string file_text = root_text + "\\" + u_folder + "\\" + u_file;
    const std::string palette_text = root_text + "\\pal\\" + u_palette;
    CHECK(text(wide_file) == file_text);

    ErrorLines errors;
    source.save(file_text, root_text, palette_text, errors);
    CHECK(errors.str() == "");
    REQUIRE(fs::exists(wide_file));
    REQUIRE(fs::exists(wide_palette));
    CHECK(stored_path(read_bytes(wide_file)) == "pal/" + u_palette);

    orv::OrvF f;
    REQUIRE(f.load(file_text));
    CHECK(f.data()->palette->location() == "pal/" + u_palette);
    check_images(f, read_reference(ex.ref));
    CHECK(orv::find_palette(wide_file, orv::path_from_text("pal/" + u_palette)) == wide_palette);

    SUBCASE("with the palette named by the caller, relative to the working folder") {
        const fs::path before = fs::current_path();
        fs::current_path(project);
        orv::OrvF g;
        CHECK(g.load(file_text, 0, "pal\\" + u_palette));
        fs::current_path(before);
        CHECK(g.data()->palette->location() == "pal\\" + u_palette);
    }
    SUBCASE("bytes that are not UTF-8 name no file") {
        orv::OrvF g;
        CHECK_FALSE(g.load(text(scratch()) + "\\\xff.orv"));
        CHECK_THROWS_AS(g.save(text(scratch() / "bad.orv"), root_text, root_text + "\\\xff.pal"), fs::filesystem_error);
        CHECK_FALSE(fs::exists(scratch() / "bad.orv"));
        // A stored location that is not UTF-8 finds no palette.
        const fs::path odd = project / "odd.orv";
        write_bytes(odd, orv::write_orv(*source.data(), "\xff.pal"));
        ErrorLines odd_errors;
        CHECK_FALSE(g.load(text(odd), 0, "", odd_errors));
        CHECK(odd_errors.str() == "ERROR: Could not open palette file: \nERROR: No palette data available!\n");
    }
}

TEST_CASE("the save rule for files that cannot simply be replaced") {
    const fs::path folder = scratch() / "rule";
    fs::create_directories(folder);
    const fs::path target = folder / "target.pal";
    const Bytes old_bytes{1, 2, 3, 4};
    const Bytes new_bytes{5, 6, 7, 8, 9, 10};
    write_bytes(target, old_bytes);
    const std::wstring wide = target.wstring();

    SUBCASE("a plain file is replaced, keeping its attributes") {
        REQUIRE(::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_HIDDEN));
        orv::SavedFile file;
        REQUIRE(file.open(text(target)));
        CHECK(file.method() == orv::SavedFile::Method::replace);
        CHECK(read_bytes(target) == old_bytes);  // untouched until written
        CHECK(file.write_all(new_bytes) == orv::SavedFile::Status::ok);
        CHECK(read_bytes(target) == new_bytes);
        CHECK((::GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_HIDDEN) != 0);
        ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    SUBCASE("an absent file appears whole") {
        const fs::path fresh = folder / "fresh.pal";
        CHECK(orv::place_file(text(fresh), new_bytes) == orv::PlaceResult::placed);
        CHECK(read_bytes(fresh) == new_bytes);
        fs::remove(fresh);
    }
    SUBCASE("a save that is never written leaves the file as it was") {
        {
            orv::SavedFile file;
            REQUIRE(file.open(text(target)));
        }
        CHECK(read_bytes(target) == old_bytes);
    }
    SUBCASE("a read-only file is an open failure, as a plain open makes it") {
        REQUIRE(::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_READONLY));
        CHECK(orv::place_file(text(target), new_bytes) == orv::PlaceResult::open_failed);
        ::SetFileAttributesW(wide.c_str(), FILE_ATTRIBUTE_NORMAL);
        CHECK(read_bytes(target) == old_bytes);
    }
    SUBCASE("a file held open without write sharing is an open failure") {
        const HANDLE holder = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr);
        REQUIRE(holder != INVALID_HANDLE_VALUE);
        orv::PalF palette;
        ErrorLines errors;
        palette.save(text(target), errors);
        ::CloseHandle(holder);
        CHECK(errors.str() == "ERROR: Could not open palette file for writing: " + text(target) + "\n");
        CHECK(read_bytes(target) == old_bytes);
    }
    SUBCASE("a file held open with write sharing but not delete sharing is written in place") {
        const HANDLE holder = ::CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        REQUIRE(holder != INVALID_HANDLE_VALUE);
        orv::SavedFile file;
        REQUIRE(file.open(text(target)));
        CHECK(file.method() == orv::SavedFile::Method::in_place);
        CHECK(file.write_all(new_bytes) == orv::SavedFile::Status::ok);
        // The holder sees the new bytes: the same file was written.
        char seen[16] = {};
        DWORD got = 0;
        CHECK(::ReadFile(holder, seen, sizeof seen, &got, nullptr));
        ::CloseHandle(holder);
        CHECK(Bytes(seen, seen + got) == new_bytes);
    }
    SUBCASE("a file with a second link is written in place, for both names") {
        const fs::path other = folder / "other-name.pal";
        REQUIRE(::CreateHardLinkW(other.wstring().c_str(), wide.c_str(), nullptr));
        orv::SavedFile file;
        REQUIRE(file.open(text(target)));
        CHECK(file.method() == orv::SavedFile::Method::in_place);
        CHECK(file.write_all(new_bytes) == orv::SavedFile::Status::ok);
        CHECK(read_bytes(other) == new_bytes);
        CHECK(read_bytes(target) == new_bytes);
        fs::remove(other);
    }
    SUBCASE("a device is written in place") {
        orv::SavedFile file;
        REQUIRE(file.open("NUL"));
        CHECK(file.method() == orv::SavedFile::Method::in_place);
        CHECK(file.write_all(new_bytes) == orv::SavedFile::Status::ok);
    }
    SUBCASE("a missing folder or a directory in the way is an open failure") {
        CHECK(orv::place_file(text(folder / "missing" / "x.pal"), new_bytes) == orv::PlaceResult::open_failed);
        CHECK(orv::place_file(text(folder), new_bytes) == orv::PlaceResult::open_failed);
        CHECK_FALSE(fs::exists(folder / "missing"));
    }
    CHECK(leftover_temporary(folder).empty());
    fs::remove(target);
}

int main(int argc, char** argv) {
    doctest::Context context(argc, argv);
    return context.run();
}

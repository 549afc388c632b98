// Reading files (whole, or as far as a reader asks, through one open), and
// saving a file by the rule of a plain write.
//
// One interface for every platform; file_io_posix.cpp and file_io_windows.cpp
// implement InputFile and SavedFile, file_bytes.cpp the reading on top of
// them, file_io_placing.cpp the placing of several files.
// Paths are byte strings named as path_text.hpp says: unchanged on POSIX,
// UTF-8 opened through the wide API on Windows.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_supply.hpp"
#include "common/large_block.hpp"

namespace orv {

// One file opened for reading, and only a regular file (a directory, a device
// or a pipe is refused, and the open itself never blocks); every read and the
// size come from this one open handle, so that a name that is swapped for
// another file meanwhile changes nothing. Closed when it goes away.
class InputFile {
public:
    InputFile() = default;
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    ~InputFile();

    // Opens `path`; false when it cannot be opened or is no regular file (a
    // name with an embedded zero byte names no file).
    bool open(const std::string& path);
    bool is_open() const noexcept;

    // Reads up to `n` bytes at the current position into `out`: the count
    // read, 0 at the end of the file, -1 when the read fails.
    std::int64_t read(std::uint8_t* out, std::size_t n);

    // The size of the open file now; false when the system cannot say.
    bool size(std::uint64_t& out) const;

private:
    void close() noexcept;

    std::intptr_t handle_ = -1;  // the descriptor, or the HANDLE's value; -1 when closed
};

// The leading bytes of an open file, read as a reader asks for them into one
// block, which grows as they come (twice as large each time, but never beyond
// the size the file had when this began, unless it grows). A read goes at
// most 64 KiB past the bytes asked for, so what lies past the last byte a
// reader needs is not read beyond that, and never held. A read that fails
// ends the bytes (failed()).
class FileBytes final : public ByteSupply {
public:
    explicit FileBytes(InputFile& file);

    std::uint64_t whole_size() const override;

    // The first `n` bytes held (at most all held), sharing the block: nothing
    // is copied.
    SharedBytes prefix(std::size_t n) const;

private:
    bool more(std::uint64_t n) override;

    InputFile& file_;
    std::uint64_t size_at_open_ = 0;
    std::shared_ptr<LargeBlock> block_;
    std::size_t capacity_ = 0;
};

// Reads the whole file named by `path` into `out`. Returns false when it
// cannot be opened or read; a name with an embedded zero byte cannot name a
// file and is refused. At most `max_bytes` are read; the rest of a longer file
// is never looked at.
bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& out,
                     std::size_t max_bytes = static_cast<std::size_t>(-1));

// Saves one file as a plain "create or truncate, then write" does, but without
// ever leaving the old file half written where that can be told apart from
// nothing.
//
// The rule:
// - The target is opened for writing as a plain open would, except that an
//   existing file is not truncated yet and nothing blocks (a pipe with no
//   reader fails to open). What a plain open refuses (a missing folder, no
//   permission, a directory, a loop of symbolic links, a bad name) fails here
//   too, and nothing is created or changed.
// - When the result can be made indistinguishable from a plain write that
//   succeeded, the bytes go to a new file beside the target, which is renamed
//   over it once every byte is written (and, when it replaces a file, flushed
//   to the disk): a failure at any point leaves the old file exactly as it
//   was. That is the case when the target is absent, or is a regular file
//   with a single link whose owner, group, permissions (and extended
//   attributes, where the platform has them) the new file can carry, and when
//   a short-named temporary file can be made in its folder. A symbolic link is
//   followed to the file it names, and that file is replaced; the link stays.
//   A new file is not flushed: with nothing to replace, a crash of the system
//   can lose it (leave it empty or missing) as it can a plain write's, and a
//   batch of new files (an export) pays no flush per file.
// - Everywhere else (a file with several links, one owned by someone the saver
//   cannot give files to, a folder the saver cannot create files in, a device,
//   a pipe) the file is truncated and written in place through the handle
//   opened first, as a plain write does.
//
// - With Links::refused, no symbolic link is followed anywhere on the path:
//   every folder on the way and the target itself are opened as they are, and
//   a link among them fails the open (link_refused() says so) before anything
//   is created or changed. A caller that has resolved and checked a path this
//   way writes where it checked, whatever appears on the path meanwhile. (On
//   Windows the target itself is opened as it is, a reparse point refused;
//   the folders on the way are followed.)
//
// Nothing about the target changes before write_all(): a caller may open the
// target, then do work that can fail (and throw), and the target is untouched
// when the SavedFile goes away without write_all(). A file that open() had to
// create to write in place is removed again in that case.
class SavedFile {
public:
    enum class Method { none, replace, in_place };
    enum class Status { ok, write_failed };
    enum class Links { followed, refused };

    SavedFile();
    SavedFile(const SavedFile&) = delete;
    SavedFile& operator=(const SavedFile&) = delete;
    ~SavedFile();

    // Opens `path` by the rule above. False when a plain open would fail, and
    // with Links::refused when a symbolic link lies on the path.
    bool open(const std::string& path, Links links = Links::followed);

    // Whether the last open() failed on a symbolic link that Links::refused
    // keeps it from following.
    bool link_refused() const { return link_refused_; }

    // How write_all() will save: replace or in_place after a successful
    // open(), none otherwise.
    Method method() const;

    // Writes `bytes` as the whole new content and closes everything. A
    // replacement that fails leaves the old file; a write in place that fails
    // leaves what was written. Called once, after a successful open().
    Status write_all(const std::vector<std::uint8_t>& bytes);

    struct Handles;  // the platform's open handles and names

private:
    void abandon() noexcept;

    std::unique_ptr<Handles> handles_;
    bool link_refused_ = false;
};

// open() then write_all(): what a save of one complete file does.
enum class PlaceResult { placed, open_failed, write_failed };
inline PlaceResult place_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    SavedFile file;
    if (!file.open(path)) return PlaceResult::open_failed;
    return file.write_all(bytes) == SavedFile::Status::ok ? PlaceResult::placed : PlaceResult::write_failed;
}

// What one placement of a file did, as a caller of several needs to know it.
struct Placement {
    // not_written: opened (or not tried), nothing written.
    enum class Result { not_written, placed, open_failed, write_failed, link_refused };
    Result result = Result::not_written;
    SavedFile::Method method = SavedFile::Method::none;
    int error = 0;  // the system's error number of a failure, 0 when it gave none
};

// One file of several placed together.
struct FileToPlace {
    std::string path;
    std::vector<std::uint8_t> bytes;
    SavedFile::Links links = SavedFile::Links::followed;
};

// open() then write_all() of one file, saying how it went.
Placement place_one(const FileToPlace& file);

// Places files that belong together, all or nothing as far as the file system
// allows: every target is opened before any is written, so a target that
// cannot be opened leaves all of them as they were (the others report
// not_written, method none); then they are written in order, stopping at the
// first that fails (those after it report not_written, method none). One
// placement per file, in order.
std::vector<Placement> place_files(const std::vector<FileToPlace>& files);

}  // namespace orv

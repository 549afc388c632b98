// Whole-file reading and crash-safe file replacement.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "common/large_block.hpp"

namespace orv {

// Reads the whole file named by `path` (bytes given to the platform unchanged)
// into `out`. Returns false when it cannot be opened or read; a name with an
// embedded zero byte cannot name a file and is refused. At most `max_bytes`
// are read; the rest of a longer file is never looked at.
bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& out,
                     std::size_t max_bytes = static_cast<std::size_t>(-1));

// Same, read straight into one block of its own (no intermediate copy), for
// files of any size.
bool read_whole_file(const std::string& path, SharedBytes& out);

// Writes a file so that the file it replaces is never lost: the bytes go to a
// temporary file in the target's directory, which is renamed over the target
// only once every byte has been written and flushed to disk. A symbolic link
// is written through to its final target, as a plain open would.
class ReplacingFileWriter {
public:
    enum class Status { ok, open_failed, write_failed };

    ReplacingFileWriter() = default;
    ReplacingFileWriter(const ReplacingFileWriter&) = delete;
    ReplacingFileWriter& operator=(const ReplacingFileWriter&) = delete;
    ~ReplacingFileWriter();

    // Creates the temporary file. False when the target cannot be written:
    // missing directory, no permission, a directory in the way, a bad name.
    bool open(const std::string& path);

    // Appends bytes; a failure is remembered and reported by commit().
    void write(const void* data, std::size_t size);
    void write(const std::vector<std::uint8_t>& bytes) { write(bytes.data(), bytes.size()); }

    // Flushes, closes and renames over the target. Anything but ok leaves the
    // target exactly as it was and removes the temporary file.
    Status commit();

private:
    void discard() noexcept;

    int fd_ = -1;
    bool failed_ = false;
    std::string temp_path_;
    std::string target_path_;
};

}  // namespace orv

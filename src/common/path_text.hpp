// File names as text.
//
// Names reach the core as byte strings (from Python: UTF-8). Every place that
// turns such a string into a std::filesystem::path, or a path back into a
// string, goes through these three functions, so that one rule holds
// everywhere: on POSIX the bytes are the file system's bytes, unchanged; on
// Windows they are UTF-8, turned into the wide names of the file system and
// back (never read in the ANSI code page, which cannot name most files).
// path_text_posix.cpp and file_io_windows.cpp implement them.
#pragma once

#include <filesystem>
#include <string>
#include <system_error>

namespace orv {

// Throws std::filesystem::filesystem_error when the text cannot name a file on
// this platform: a zero byte anywhere (no file system takes one, and a name cut
// there would be another name), or on Windows bytes that are not UTF-8.
std::filesystem::path path_from_text(const std::string& text);

// The error path_from_text throws for a name that holds a zero byte.
[[noreturn]] inline void throw_zero_byte_in_name(const std::string& text) {
    throw std::filesystem::filesystem_error("a file name cannot hold a zero byte",
                                            std::filesystem::path(text.substr(0, text.find('\0'))),
                                            std::make_error_code(std::errc::invalid_argument));
}

// The path's native form as text; throws std::filesystem::filesystem_error
// when it has no such form (on Windows: an unpaired surrogate).
std::string text_from_path(const std::filesystem::path& path);

// The path's generic form ("/" separators) as text; throws as text_from_path.
std::string generic_text(const std::filesystem::path& path);

}  // namespace orv

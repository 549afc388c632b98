// POSIX side of path_text.hpp: a file name is its bytes.
#include "common/path_text.hpp"

namespace fs = std::filesystem;

namespace orv {

fs::path path_from_text(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw_zero_byte_in_name(text);
    return fs::path(text);
}

std::string text_from_path(const fs::path& path) { return path.string(); }

std::string generic_text(const fs::path& path) { return path.generic_string(); }

}  // namespace orv

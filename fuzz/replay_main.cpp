// Replays inputs through a harness's LLVMFuzzerTestOneInput without libFuzzer,
// so that any build (plain or sanitized, any compiler) can run the kept
// findings and the seeds. Arguments are files or directories (every regular
// file in a directory, in name order). A harness reports a broken property
// by aborting; a run that returns has replayed every input.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace {

namespace fs = std::filesystem;

bool read_input(const fs::path& path, std::vector<std::uint8_t>& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The files an argument names: itself, or the regular files of a directory.
bool collect(const fs::path& arg, std::vector<fs::path>& files) {
    std::error_code ec;
    if (fs::is_directory(arg, ec)) {
        std::vector<fs::path> found;
        for (const fs::directory_entry& entry : fs::directory_iterator(arg, ec)) {
            if (entry.is_regular_file(ec)) found.push_back(entry.path());
        }
        if (ec) return false;
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
        return true;
    }
    if (!fs::is_regular_file(arg, ec)) return false;
    files.push_back(arg);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FILE_OR_DIRECTORY...\n", argv[0]);
        return 2;
    }
    std::vector<fs::path> files;
    for (int i = 1; i < argc; ++i) {
        if (!collect(argv[i], files)) {
            std::fprintf(stderr, "%s: no such file or directory: %s\n", argv[0], argv[i]);
            return 2;
        }
    }
    std::vector<std::uint8_t> bytes;
    for (const fs::path& file : files) {
        if (!read_input(file, bytes)) {
            std::fprintf(stderr, "%s: cannot read %s\n", argv[0], file.c_str());
            return 2;
        }
        std::fprintf(stderr, "replaying %s (%zu bytes)\n", file.c_str(), bytes.size());
        // A copy of exactly the input's size, so that a read past its end is
        // seen by AddressSanitizer as it would be under libFuzzer.
        std::vector<std::uint8_t> exact(bytes);
        (void)LLVMFuzzerTestOneInput(exact.empty() ? nullptr : exact.data(), exact.size());
    }
    std::fprintf(stderr, "%zu inputs replayed\n", files.size());
    return 0;
}

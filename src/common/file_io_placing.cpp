// The placing of files, one or several together, on top of SavedFile.
#include <cerrno>
#include <memory>

#include "common/file_io.hpp"

namespace orv {

namespace {

// errno as the failed call left it; the Windows core reports its failures
// without one.
int system_error() {
#if defined(_WIN32)
    return 0;
#else
    return errno;
#endif
}

Placement open_target(SavedFile& saved, const FileToPlace& file) {
    Placement p;
    errno = 0;
    if (saved.open(file.path, file.links)) {
        p.method = saved.method();
    } else {
        p.result = saved.link_refused() ? Placement::Result::link_refused : Placement::Result::open_failed;
        p.error = system_error();
    }
    return p;
}

Placement write_target(SavedFile& saved, const std::vector<std::uint8_t>& bytes) {
    Placement p;
    p.method = saved.method();
    errno = 0;
    if (saved.write_all(bytes) == SavedFile::Status::ok) {
        p.result = Placement::Result::placed;
    } else {
        p.result = Placement::Result::write_failed;
        p.error = system_error();
    }
    return p;
}

}  // namespace

Placement place_one(const FileToPlace& file) {
    SavedFile saved;
    const Placement opened = open_target(saved, file);
    if (opened.result != Placement::Result::not_written) return opened;
    return write_target(saved, file.bytes);
}

std::vector<Placement> place_files(const std::vector<FileToPlace>& files) {
    std::vector<Placement> out(files.size());
    std::vector<std::unique_ptr<SavedFile>> opened;
    bool all_open = true;
    for (std::size_t i = 0; i < files.size() && all_open; ++i) {
        opened.push_back(std::make_unique<SavedFile>());
        out[i] = open_target(*opened.back(), files[i]);
        all_open = out[i].result == Placement::Result::not_written;
    }
    if (!all_open) {
        opened.clear();  // closes them; what an open created is removed
        for (Placement& p : out) {
            if (p.result == Placement::Result::not_written) p.method = SavedFile::Method::none;
        }
        return out;
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        out[i] = write_target(*opened[i], files[i].bytes);
        if (out[i].result == Placement::Result::placed) continue;
        for (std::size_t j = i + 1; j < files.size(); ++j) {
            opened[j].reset();
            out[j].method = SavedFile::Method::none;
        }
        break;
    }
    return out;
}

}  // namespace orv

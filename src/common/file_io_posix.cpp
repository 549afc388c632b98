#include "common/file_io.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace orv {

namespace {

bool has_zero_byte(const std::string& s) { return s.find('\0') != std::string::npos; }

// Follows a chain of symbolic links to the file that a plain open would write.
fs::path final_target(const fs::path& path) {
    fs::path target = path;
    for (int hops = 0; hops < 40; ++hops) {
        std::error_code ec;
        const fs::file_status st = fs::symlink_status(target, ec);
        if (ec || !fs::is_symlink(st)) break;
        const fs::path link = fs::read_symlink(target, ec);
        if (ec) break;
        target = link.is_absolute() ? link : target.parent_path() / link;
    }
    return target;
}

mode_t default_creation_mode() {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    return static_cast<mode_t>(0666 & ~mask);
}

}  // namespace

bool read_whole_file(const std::string& path, std::vector<std::uint8_t>& out, std::size_t max_bytes) {
    if (has_zero_byte(path)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    // Only regular files: a directory, a device or a pipe is not a file this
    // system can have written, and some of them never end.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    out.clear();
    const auto size = static_cast<std::uint64_t>(st.st_size);
    out.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(size, max_bytes)));
    // Read until the end even if the size changed since it was taken.
    char chunk[65536];
    bool ok = true;
    while (out.size() < max_bytes) {
        const std::size_t want = std::min(sizeof chunk, max_bytes - out.size());
        const ssize_t got = ::read(fd, chunk, want);
        if (got < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        if (got == 0) break;
        out.insert(out.end(), chunk, chunk + got);
    }
    ::close(fd);
    return ok;
}

bool read_whole_file(const std::string& path, SharedBytes& out) {
    if (has_zero_byte(path)) return false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return false;
    }
    // One byte more than the size taken, so that a file that has grown since
    // is noticed and read on to its end.
    std::size_t capacity = static_cast<std::size_t>(st.st_size) + 1;
    std::shared_ptr<LargeBlock> block;
    std::size_t used = 0;
    bool ok = true;
    try {
        block = LargeBlock::allocate(capacity, false);
        for (;;) {
            if (used == capacity) {
                capacity *= 2;
                std::shared_ptr<LargeBlock> larger = LargeBlock::allocate(capacity, false);
                std::memcpy(larger->data(), block->data(), used);
                block = std::move(larger);
            }
            const ssize_t got = ::read(fd, block->data() + used, capacity - used);
            if (got < 0) {
                if (errno == EINTR) continue;
                ok = false;
                break;
            }
            if (got == 0) break;
            used += static_cast<std::size_t>(got);
        }
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::close(fd);
    if (!ok) return false;
    std::uint8_t* data = block->data();
    out = SharedBytes(std::move(block), data, used);
    return true;
}

ReplacingFileWriter::~ReplacingFileWriter() { discard(); }

void ReplacingFileWriter::discard() noexcept {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    if (!temp_path_.empty()) {
        ::unlink(temp_path_.c_str());
        temp_path_.clear();
    }
}

bool ReplacingFileWriter::open(const std::string& path) {
    discard();
    failed_ = false;
    if (path.empty() || has_zero_byte(path)) return false;

    const fs::path target = final_target(fs::path(path));
    struct stat existing {};
    const bool exists = ::stat(target.c_str(), &existing) == 0;
    if (exists) {
        if (!S_ISREG(existing.st_mode)) return false;  // a directory or device in the way
        if (::access(target.c_str(), W_OK) != 0) return false;
    }

    fs::path dir = target.parent_path();
    if (dir.empty()) dir = ".";
    std::string temp = (dir / ("." + target.filename().string() + ".tmp-XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) return false;

    const mode_t mode = exists ? static_cast<mode_t>(existing.st_mode & 07777) : default_creation_mode();
    if (::fchmod(fd, mode) != 0) {
        // Not fatal: the file is still ours to write.
    }
    fd_ = fd;
    temp_path_ = temp;
    target_path_ = target.string();
    return true;
}

void ReplacingFileWriter::write(const void* data, std::size_t size) {
    if (fd_ < 0 || failed_) return;
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            failed_ = true;
            return;
        }
        p += n;
        size -= static_cast<std::size_t>(n);
    }
}

ReplacingFileWriter::Status ReplacingFileWriter::commit() {
    if (fd_ < 0) return Status::open_failed;
    bool ok = !failed_;
    if (ok && ::fsync(fd_) != 0) ok = false;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) ok = false;
    if (ok && std::rename(temp_path_.c_str(), target_path_.c_str()) != 0) ok = false;
    if (!ok) {
        discard();
        return Status::write_failed;
    }
    temp_path_.clear();
    return Status::ok;
}

}  // namespace orv

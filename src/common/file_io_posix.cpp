#include "common/file_io.hpp"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <sys/xattr.h>
#endif

namespace orv {

struct SavedFile::Handles {
    Method method = Method::none;
    int dir_fd = AT_FDCWD;     // what the names below are relative to: the target's folder with Links::refused
    int target_fd = -1;        // the target opened for writing, not truncated; -1 while it is absent
    int temp_fd = -1;          // the new file that replaces the target
    std::string temp_path;     // relative to dir_fd, as are the two below
    std::string final_path;    // what the new file is renamed to
    std::string created_path;  // a file open() created to write in place, removed on abandon
    struct stat created {};
};

namespace {

bool has_zero_byte(const std::string& s) { return s.find('\0') != std::string::npos; }

// The absolute path of the file that `path` names, symbolic links resolved;
// empty when it cannot be worked out.
std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return {};
    std::string out(real);
    std::free(real);
    return out;
}

bool write_fully(int fd, const std::vector<std::uint8_t>& bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

// Truncates a regular file (devices and pipes have nothing to truncate) and
// writes the bytes from its start.
bool write_in_place(int fd, const std::vector<std::uint8_t>& bytes) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return false;
    if (S_ISREG(st.st_mode) && ::ftruncate(fd, 0) != 0) return false;
    return write_fully(fd, bytes);
}

// A name of the form ".orvXXXXXX" in the folder of `path` (relative to
// `dir_fd`), created with `mode` (the creation mask applies, as to any new
// file). Returns the open descriptor, or -1 with the name cleared.
int create_temporary_beside(int dir_fd, const std::string& path, mode_t mode, std::string& temp) {
    const std::size_t slash = path.rfind('/');
    const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") return -1;
    const std::string folder = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    static const char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    static std::mt19937_64 random = [] {
        std::seed_seq seed{static_cast<std::uint64_t>(::getpid()),
                           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                           static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())};
        return std::mt19937_64(seed);
    }();
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::string candidate = folder + ".orv";
        std::uint64_t bits = random();
        for (int i = 0; i < 6; ++i, bits /= 62) candidate += kChars[bits % 62];
        const int fd = ::openat(dir_fd, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode);
        if (fd >= 0) {
            temp = candidate;
            return fd;
        }
        if (errno != EEXIST) break;
    }
    temp.clear();
    return -1;
}

#if defined(__linux__)
// Extended attributes (access control lists among them) by name.
bool read_attributes(int fd, std::map<std::string, std::string>& out) {
    const ssize_t size = ::flistxattr(fd, nullptr, 0);
    if (size < 0) return errno == ENOTSUP;
    std::string names(static_cast<std::size_t>(size), '\0');
    const ssize_t got = ::flistxattr(fd, names.data(), names.size());
    if (got < 0) return false;
    names.resize(static_cast<std::size_t>(got));
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(names.c_str() + at);
        at += name.size() + 1;
        if (name.empty()) continue;
        const ssize_t length = ::fgetxattr(fd, name.c_str(), nullptr, 0);
        if (length < 0) return false;
        std::string value(static_cast<std::size_t>(length), '\0');
        const ssize_t read = ::fgetxattr(fd, name.c_str(), value.data(), value.size());
        if (read < 0) return false;
        value.resize(static_cast<std::size_t>(read));
        out.emplace(name, std::move(value));
    }
    return true;
}

bool same_attributes(int a, int b) {
    std::map<std::string, std::string> first, second;
    return read_attributes(a, first) && read_attributes(b, second) && first == second;
}
#else
bool same_attributes(int, int) { return true; }
#endif

// Makes the file that will replace `final_path`: for an existing target (`old`
// its status, `old_fd` its descriptor), one that carries its owner, group,
// permissions and attributes; for an absent one, one made as a plain open
// would make it. False when no such file can be made.
bool make_replacement(SavedFile::Handles& h, const std::string& final_path, const struct stat* old, int old_fd) {
    std::string temp;
    const int fd = create_temporary_beside(h.dir_fd, final_path, old ? 0600 : 0666, temp);
    if (fd < 0) return false;
    bool carried = true;
    if (old) {
        struct stat made {};
        if (::fstat(fd, &made) == 0 && (made.st_uid != old->st_uid || made.st_gid != old->st_gid)) {
            (void)::fchown(fd, old->st_uid, old->st_gid);  // checked below
        }
        (void)::fchmod(fd, old->st_mode & 07777);
        carried = ::fstat(fd, &made) == 0 && made.st_uid == old->st_uid && made.st_gid == old->st_gid &&
                  (made.st_mode & 07777) == (old->st_mode & 07777) && same_attributes(old_fd, fd);
    }
    if (!carried) {
        ::close(fd);
        ::unlinkat(h.dir_fd, temp.c_str(), 0);
        return false;
    }
    h.temp_fd = fd;
    h.temp_path = temp;
    h.final_path = final_path;
    return true;
}

// Opens a file for reading, and only a regular file: a directory, a device or
// a pipe is not a file this system can have written, and some of them never
// end. The open itself does not block (a pipe with no writer would wait for
// one), and a terminal never becomes the controlling one. Returns the
// descriptor with its status in `st`, or -1.
// How to save into an existing target that `fd` holds open (in blocking
// mode from now on): by a replacement when it is a regular file of one link
// that a new file can stand in for, else in place. `path`: the path as given,
// whose links are followed; null: `name` in the handles' folder, unfollowed.
SavedFile::Method method_for_existing(SavedFile::Handles& h, int fd, const std::string* path, const std::string& name) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags != -1) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_nlink == 1) {
        const std::string real = path != nullptr ? resolved(*path) : name;
        struct stat again {};
        if (!real.empty() && ::fstatat(h.dir_fd, real.c_str(), &again, 0) == 0 && again.st_dev == st.st_dev &&
            again.st_ino == st.st_ino && make_replacement(h, real, &st, fd)) {
            return SavedFile::Method::replace;
        }
    }
    return SavedFile::Method::in_place;
}

int open_regular_file(const std::string& path, struct stat& st) {
    if (has_zero_byte(path)) return -1;
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return -1;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return -1;
    }
    // Ordinary reads from here on.
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags == -1 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == -1) {
        ::close(fd);
        return -1;
    }
    return fd;
}

#if defined(O_PATH)
constexpr int kFolderFlags = O_PATH | O_DIRECTORY | O_CLOEXEC;  // search permission is enough
#else
constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_CLOEXEC;
#endif

// Whether `name` in `dir_fd` is a symbolic link.
bool is_link(int dir_fd, const char* name) {
    struct stat st {};
    return ::fstatat(dir_fd, name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode);
}

// The folder of `path` opened one component at a time, following no symbolic
// link, and the name of the file in it (`name`). Returns the descriptor, or -1
// with errno set and `link` true when a link was in the way.
int open_folder_unfollowed(const std::string& path, std::string& name, bool& link) {
    const std::size_t slash = path.rfind('/');
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name.empty() || name == "." || name == "..") {
        errno = EISDIR;
        return -1;
    }
    int fd = ::open(path[0] == '/' ? "/" : ".", kFolderFlags);
    if (fd < 0 || slash == std::string::npos) return fd;
    for (std::size_t at = 0; at < slash;) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos || end > slash) end = slash;
        const std::string part = path.substr(at, end - at);
        at = end + 1;
        if (part.empty() || part == ".") continue;
        const int next = ::openat(fd, part.c_str(), kFolderFlags | O_NOFOLLOW);
        if (next < 0) {
            const int error = errno;
            link = is_link(fd, part.c_str());
            ::close(fd);
            errno = link ? ELOOP : error;
            return -1;
        }
        ::close(fd);
        fd = next;
    }
    return fd;
}

}  // namespace

InputFile::~InputFile() { close(); }

void InputFile::close() noexcept {
    if (handle_ >= 0) ::close(static_cast<int>(handle_));
    handle_ = -1;
}

bool InputFile::open(const std::string& path) {
    close();
    struct stat st {};
    const int fd = open_regular_file(path, st);
    if (fd < 0) return false;
    handle_ = fd;
    return true;
}

bool InputFile::is_open() const noexcept { return handle_ >= 0; }

// NOLINTNEXTLINE(readability-make-member-function-const): a read moves the open file's position
std::int64_t InputFile::read(std::uint8_t* out, std::size_t n) {
    if (handle_ < 0) return -1;
    for (;;) {
        const ssize_t got = ::read(static_cast<int>(handle_), out, n);
        if (got >= 0) return got;
        if (errno != EINTR) return -1;
    }
}

bool InputFile::size(std::uint64_t& out) const {
    struct stat st {};
    if (handle_ < 0 || ::fstat(static_cast<int>(handle_), &st) != 0 || st.st_size < 0) return false;
    out = static_cast<std::uint64_t>(st.st_size);
    return true;
}

SavedFile::SavedFile() = default;

SavedFile::~SavedFile() { abandon(); }

SavedFile::Method SavedFile::method() const { return handles_ ? handles_->method : Method::none; }

void SavedFile::abandon() noexcept {
    if (!handles_) return;
    Handles& h = *handles_;
    if (h.temp_fd >= 0) ::close(h.temp_fd);
    if (!h.temp_path.empty()) ::unlinkat(h.dir_fd, h.temp_path.c_str(), 0);
    if (h.target_fd >= 0) ::close(h.target_fd);
    if (!h.created_path.empty()) {
        struct stat now {};
        if (::fstatat(h.dir_fd, h.created_path.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
            now.st_dev == h.created.st_dev && now.st_ino == h.created.st_ino && now.st_size == 0) {
            ::unlinkat(h.dir_fd, h.created_path.c_str(), 0);
        }
    }
    if (h.dir_fd >= 0) ::close(h.dir_fd);
    handles_.reset();
}

bool SavedFile::open(const std::string& path, Links links) {
    abandon();
    link_refused_ = false;
    if (path.empty() || has_zero_byte(path)) return false;
    handles_ = std::make_unique<Handles>();
    Handles& h = *handles_;
    const bool follow = links == Links::followed;
    // Without following links, every name below is the file's own name in its
    // folder, opened on the way.
    std::string name = path;
    if (!follow) {
        h.dir_fd = open_folder_unfollowed(path, name, link_refused_);
        if (h.dir_fd < 0) {
            handles_.reset();
            return false;
        }
    }
    const int unfollowed = follow ? 0 : O_NOFOLLOW;
    const auto refuse = [&] {
        const int error = errno;
        link_refused_ = !follow && is_link(h.dir_fd, name.c_str());
        abandon();
        errno = link_refused_ ? ELOOP : error;
        return false;
    };

    // Open as a plain write would, but without truncating and without waiting
    // for a reader at the other end of a pipe.
    const int fd = ::openat(h.dir_fd, name.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | unfollowed);
    if (fd >= 0) {
        h.target_fd = fd;
        h.method = method_for_existing(h, fd, follow ? &path : nullptr, name);
        return true;
    }
    if (errno != ENOENT) return refuse();

    struct stat link {};
    if (::fstatat(h.dir_fd, name.c_str(), &link, AT_SYMLINK_NOFOLLOW) != 0 && make_replacement(h, name, nullptr, -1)) {
        h.method = Method::replace;  // nothing there: the new file simply appears
        return true;
    }
    // A symbolic link to nothing (a plain open creates the file it names), or a
    // folder where no temporary file can be made: create the target itself.
    const int made =
        ::openat(h.dir_fd, name.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | unfollowed, 0666);
    if (made < 0) return refuse();
    h.target_fd = made;
    h.method = Method::in_place;
    const std::string real = follow ? resolved(path) : name;
    if (!real.empty() && ::fstat(made, &h.created) == 0) h.created_path = real;
    return true;
}

SavedFile::Status SavedFile::write_all(const std::vector<std::uint8_t>& bytes) {
    if (!handles_ || handles_->method == Method::none) return Status::write_failed;
    Handles& h = *handles_;
    h.created_path.clear();  // from here on the file is the caller's, written or not
    bool ok = true;
    if (h.method == Method::replace) {
        // Durability: a file that replaces one is flushed to the disk before
        // the rename, so that a crash of the system shows the old contents or
        // the new, never a torn file where the old one was. A new file (its
        // target absent) is not flushed: there is nothing to lose, readers
        // still see it whole or not at all, and a crash can leave it empty or
        // missing, as after a plain write. A batch of new files (an export)
        // pays no flush per file.
        const bool replacing = h.target_fd >= 0;
        ok = write_fully(h.temp_fd, bytes) && (!replacing || ::fsync(h.temp_fd) == 0);
        if (::close(h.temp_fd) != 0) ok = false;
        h.temp_fd = -1;
        if (ok && ::renameat(h.dir_fd, h.temp_path.c_str(), h.dir_fd, h.final_path.c_str()) == 0) {
            h.temp_path.clear();
        } else if (ok && h.target_fd >= 0) {
            // The folder refused the rename (a file mounted over, a sticky
            // folder): write in place as a plain write would.
            ::unlinkat(h.dir_fd, h.temp_path.c_str(), 0);
            h.temp_path.clear();
            ok = write_in_place(h.target_fd, bytes);
        } else {
            ok = false;
        }
    } else {
        ok = write_in_place(h.target_fd, bytes);
    }
    if (h.target_fd >= 0 && ::close(h.target_fd) != 0) ok = false;
    h.target_fd = -1;
    abandon();
    return ok ? Status::ok : Status::write_failed;
}

}  // namespace orv

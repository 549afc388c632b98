// Windows side of file_io.hpp and path_text.hpp: file names are UTF-8 text
// turned into the wide names of the Windows API, never read in the ANSI code
// page.
#include "common/file_io.hpp"
#include "common/path_text.hpp"

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <random>
#include <system_error>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

namespace fs = std::filesystem;

namespace orv {

namespace {

bool has_zero_byte(const std::string& s) { return s.find('\0') != std::string::npos; }

// UTF-8 to UTF-16; false for bytes that are not UTF-8.
bool to_wide(const std::string& text, std::wstring& out) {
    out.clear();
    if (text.empty()) return true;
    if (text.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int length = static_cast<int>(text.size());
    const int needed = ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, nullptr, 0);
    if (needed <= 0) return false;
    out.resize(static_cast<std::size_t>(needed));
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(), length, out.data(), needed) == needed;
}

// UTF-16 to UTF-8; false for a name holding an unpaired surrogate.
bool to_utf8(const std::wstring& wide, std::string& out) {
    out.clear();
    if (wide.empty()) return true;
    if (wide.size() > static_cast<std::size_t>(INT_MAX)) return false;
    const int length = static_cast<int>(wide.size());
    const int needed =
        ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, nullptr, 0, nullptr, nullptr);
    if (needed <= 0) return false;
    out.resize(static_cast<std::size_t>(needed));
    return ::WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide.data(), length, out.data(), needed, nullptr,
                                 nullptr) == needed;
}

std::string utf8_or_throw(const std::wstring& wide, const fs::path& path) {
    std::string out;
    if (!to_utf8(wide, out)) {
        throw fs::filesystem_error("text_from_path", path, std::make_error_code(std::errc::illegal_byte_sequence));
    }
    return out;
}

// The wide name of a file named by UTF-8 text; false when it names none.
bool file_name(const std::string& path, std::wstring& wide) {
    return !path.empty() && !has_zero_byte(path) && to_wide(path, wide);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Attributes that a replacement carries over from the file it replaces.
// ReplaceFileW does so itself on Windows, not on every implementation of it.
constexpr DWORD kCarriedAttributes =
    FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    HANDLE get() const { return h_; }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = INVALID_HANDLE_VALUE) {
        if (valid()) ::CloseHandle(h_);
        h_ = h;
    }
    // Hands the handle over to the caller, who closes it.
    HANDLE release() {
        const HANDLE h = h_;
        h_ = INVALID_HANDLE_VALUE;
        return h;
    }
    // Closes the handle and tells whether closing succeeded.
    bool close() {
        const bool ok = !valid() || ::CloseHandle(h_) != 0;
        h_ = INVALID_HANDLE_VALUE;
        return ok;
    }

private:
    HANDLE h_;
};

bool write_fully(HANDLE h, const std::vector<std::uint8_t>& bytes) {
    const std::uint8_t* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(left, 1u << 30));
        DWORD wrote = 0;
        if (!::WriteFile(h, p, want, &wrote, nullptr) || wrote == 0) return false;
        p += wrote;
        left -= wrote;
    }
    return true;
}

// Truncates a file on disk (a device has nothing to truncate) and writes the
// bytes from its start.
bool write_in_place(HANDLE h, const std::vector<std::uint8_t>& bytes) {
    if (::GetFileType(h) == FILE_TYPE_DISK) {
        LARGE_INTEGER zero{};
        if (!::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN) || !::SetEndOfFile(h)) return false;
    }
    return write_fully(h, bytes);
}

// Whether replacing the existing file `name`, open as `target`, gives what a
// plain write gives: a file on disk with a single link, not a reparse point
// (a symbolic link or junction is written through, as a plain open does),
// that no other program holds open without sharing its deletion.
bool replaceable(HANDLE target, const std::wstring& name) {
    if (::GetFileType(target) != FILE_TYPE_DISK) return false;
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(target, &info) || info.nNumberOfLinks != 1) return false;
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return false;
    const Handle for_delete(
        ::CreateFileW(name.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    return for_delete.valid();
}

std::mt19937_64& random_bits() {
    static std::mt19937_64 random = [] {
        std::seed_seq seed{static_cast<std::uint64_t>(::GetCurrentProcessId()),
                           static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()),
                           static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())};
        return std::mt19937_64(seed);
    }();
    return random;
}

// A new file of the form ".orvXXXXXX" in the folder of `target`; false when
// none can be made there.
bool create_temporary_beside(const std::wstring& target, Handle& handle, std::wstring& temp) {
    std::size_t cut = target.find_last_of(L"\\/");
    if (cut == std::wstring::npos && target.size() >= 2 && target[1] == L':') cut = 1;  // "C:name"
    const std::wstring folder = cut == std::wstring::npos ? std::wstring() : target.substr(0, cut + 1);
    const std::wstring name = target.substr(folder.size());
    if (name.empty() || name == L"." || name == L"..") return false;
    static const wchar_t kChars[] = L"abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    for (int attempt = 0; attempt < 64; ++attempt) {
        std::wstring candidate = folder + L".orv";
        std::uint64_t bits = random_bits()();
        for (int i = 0; i < 6; ++i, bits /= 62) candidate += kChars[bits % 62];
        const HANDLE h = ::CreateFileW(candidate.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                       FILE_ATTRIBUTE_NORMAL, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            handle.reset(h);
            temp = candidate;
            return true;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) break;
    }
    temp.clear();
    return false;
}

}  // namespace

fs::path path_from_text(const std::string& text) {
    if (text.find('\0') != std::string::npos) throw_zero_byte_in_name(text);
    std::wstring wide;
    if (!to_wide(text, wide)) {
        throw fs::filesystem_error("path_from_text", std::make_error_code(std::errc::illegal_byte_sequence));
    }
    return fs::path(wide);
}

std::string text_from_path(const fs::path& path) { return utf8_or_throw(path.native(), path); }

std::string generic_text(const fs::path& path) { return utf8_or_throw(path.generic_wstring(), path); }

namespace {

// Opens a file for reading, and only a file on disk: a directory, a device or
// a pipe is not a file this system can have written, and some of them never
// end. Windows has no open that cannot block, so the type is looked at before
// the open (a directory or a device is never opened) and again after it (a
// name that reaches a pipe or a console).
HANDLE open_disk_file(const std::string& path) {
    std::wstring name;
    if (!file_name(path, name)) return INVALID_HANDLE_VALUE;
    const DWORD attributes = ::GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
        return INVALID_HANDLE_VALUE;
    }
    Handle file(
        ::CreateFileW(name.c_str(), GENERIC_READ, kShareAll, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid() || ::GetFileType(file.get()) != FILE_TYPE_DISK) return INVALID_HANDLE_VALUE;
    return file.release();
}

}  // namespace

namespace {

// The open handle of an InputFile (INVALID_HANDLE_VALUE is -1: closed).
HANDLE handle_of(std::intptr_t value) { return reinterpret_cast<HANDLE>(value); }

}  // namespace

InputFile::~InputFile() { close(); }

void InputFile::close() noexcept {
    if (handle_ != -1) ::CloseHandle(handle_of(handle_));
    handle_ = -1;
}

bool InputFile::open(const std::string& path) {
    close();
    const HANDLE h = open_disk_file(path);
    if (h == INVALID_HANDLE_VALUE) return false;
    handle_ = reinterpret_cast<std::intptr_t>(h);
    return true;
}

bool InputFile::is_open() const noexcept { return handle_ != -1; }

std::int64_t InputFile::read(std::uint8_t* out, std::size_t n) {
    if (handle_ == -1) return -1;
    const DWORD want = static_cast<DWORD>(std::min<std::size_t>(n, 1u << 30));
    DWORD got = 0;
    if (!::ReadFile(handle_of(handle_), out, want, &got, nullptr)) return -1;
    return got;
}

bool InputFile::size(std::uint64_t& out) const {
    LARGE_INTEGER size{};
    if (handle_ == -1 || !::GetFileSizeEx(handle_of(handle_), &size) || size.QuadPart < 0) return false;
    out = static_cast<std::uint64_t>(size.QuadPart);
    return true;
}

struct SavedFile::Handles {
    Method method = Method::none;
    Handle target;  // in place: the target opened for writing, not truncated
    Handle temp;    // replace: the new file that replaces the target
    std::wstring target_name;
    std::wstring temp_name;
    bool target_existed = false;
    bool created = false;  // the target was created by open() to write in place
    DWORD attributes = 0;  // of the existing target, for its replacement
};

SavedFile::SavedFile() = default;

SavedFile::~SavedFile() { abandon(); }

SavedFile::Method SavedFile::method() const { return handles_ ? handles_->method : Method::none; }

void SavedFile::abandon() noexcept {
    if (!handles_) return;
    Handles& h = *handles_;
    h.temp.close();
    if (!h.temp_name.empty()) ::DeleteFileW(h.temp_name.c_str());
    if (h.created && h.target.valid()) {
        // Removed through the handle, so that only the file made here goes,
        // and only while nothing has been written to it.
        LARGE_INTEGER size{};
        if (::GetFileSizeEx(h.target.get(), &size) && size.QuadPart == 0) {
            FILE_DISPOSITION_INFO dispose{};
            dispose.DeleteFile = TRUE;
            ::SetFileInformationByHandle(h.target.get(), FileDispositionInfo, &dispose, sizeof dispose);
        }
    }
    h.target.close();
    handles_.reset();
}

namespace {

// The rest of an open that found the target: false when it is refused (with
// `unfollowed`, a link, which sets `link_refused`; a read-only file), else
// the method of the save set.
bool open_existing(SavedFile::Handles& h, bool unfollowed, bool& link_refused) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (unfollowed && (!::GetFileInformationByHandle(h.target.get(), &info) ||
                       (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)) {
        link_refused = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
        return false;
    }
    // The file system would refuse a read-only file itself, but not to
    // every user everywhere (an administrator under emulation).
    if (::GetFileType(h.target.get()) == FILE_TYPE_DISK && (!::GetFileInformationByHandle(h.target.get(), &info) ||
                                                            (info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0)) {
        return false;
    }
    h.target_existed = true;
    h.attributes = info.dwFileAttributes & kCarriedAttributes;
    if (replaceable(h.target.get(), h.target_name) && create_temporary_beside(h.target_name, h.temp, h.temp_name)) {
        // Replacing needs the target free of this process's own handle.
        h.target.close();
        h.method = SavedFile::Method::replace;
    } else {
        h.method = SavedFile::Method::in_place;
    }
    return true;
}

}  // namespace

bool SavedFile::open(const std::string& path, Links links) {
    abandon();
    link_refused_ = false;
    std::wstring name;
    if (!file_name(path, name)) return false;
    handles_ = std::make_unique<Handles>();
    Handles& h = *handles_;
    h.target_name = name;

    // Open as a plain write would (a read-only file, a directory or a file
    // held open without write sharing is refused), but without truncating.
    // With Links::refused the name itself is opened, a link as a link, and
    // refused (here the folders on the way are followed).
    const DWORD unfollowed = links == Links::refused ? FILE_FLAG_OPEN_REPARSE_POINT : 0;
    h.target.reset(::CreateFileW(name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL | unfollowed, nullptr));
    if (h.target.valid()) {
        if (!open_existing(h, unfollowed != 0, link_refused_)) {
            handles_.reset();
            return false;
        }
        return true;
    }
    if (::GetLastError() != ERROR_FILE_NOT_FOUND) {
        handles_.reset();
        return false;
    }
    if (create_temporary_beside(name, h.temp, h.temp_name)) {
        h.method = Method::replace;  // nothing there: the new file simply appears
        return true;
    }
    // A folder where no temporary file can be made: create the target itself.
    h.target.reset(::CreateFileW(name.c_str(), GENERIC_WRITE | DELETE, kShareAll, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.target.valid()) {
        handles_.reset();
        return false;
    }
    h.created = true;
    h.method = Method::in_place;
    return true;
}

SavedFile::Status SavedFile::write_all(const std::vector<std::uint8_t>& bytes) {
    if (!handles_ || handles_->method == Method::none) return Status::write_failed;
    Handles& h = *handles_;
    h.created = false;  // from here on the file is the caller's, written or not
    bool ok = true;
    if (h.method == Method::replace) {
        // Flushed before it replaces a file, not when it is new (see the
        // POSIX file: a new file has no old contents to lose).
        ok = write_fully(h.temp.get(), bytes) && (!h.target_existed || ::FlushFileBuffers(h.temp.get()));
        if (!h.temp.close()) ok = false;
        if (ok && h.attributes != 0) ::SetFileAttributesW(h.temp_name.c_str(), h.attributes);
        if (ok) {
            // ReplaceFileW keeps the replaced file's attributes, security
            // descriptor and creation time, as a plain write would.
            const bool placed =
                h.target_existed
                    ? ::ReplaceFileW(h.target_name.c_str(), h.temp_name.c_str(), nullptr,
                                     REPLACEFILE_IGNORE_MERGE_ERRORS, nullptr, nullptr) != 0
                    : ::MoveFileExW(h.temp_name.c_str(), h.target_name.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
            if (placed) {
                h.temp_name.clear();
            } else if (h.target_existed) {
                // The target could not be replaced after all (opened meanwhile
                // by a program that does not share its deletion): write it in
                // place as a plain write would, if it still opens for writing.
                ::DeleteFileW(h.temp_name.c_str());
                h.temp_name.clear();
                h.target.reset(::CreateFileW(h.target_name.c_str(), GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                                             FILE_ATTRIBUTE_NORMAL, nullptr));
                ok = h.target.valid() && write_in_place(h.target.get(), bytes);
            } else {
                ok = false;
            }
        }
    } else {
        ok = write_in_place(h.target.get(), bytes);
    }
    if (!h.target.close()) ok = false;
    abandon();
    return ok ? Status::ok : Status::write_failed;
}

}  // namespace orv

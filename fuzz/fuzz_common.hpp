// Shared helpers of the libFuzzer harnesses: a scratch directory made once per
// process and a reader of little-endian control values from the input.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

namespace orv_fuzz {

// A directory of our own under $TMPDIR (or /tmp), created on first use and
// removed when the process exits normally.
inline const std::string& scratch_dir() {
    static const std::string dir = [] {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/orv-fuzz-XXXXXX";
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back('\0');
        if (!::mkdtemp(buf.data())) std::abort();
        return std::string(buf.data());
    }();
    return dir;
}

inline void write_file(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    if (!out) std::abort();
}

// A palette file of `count` entries (count field as given) with distinct colours.
inline std::vector<std::uint8_t> palette_bytes(std::uint16_t count, std::size_t entries) {
    std::vector<std::uint8_t> out = {static_cast<std::uint8_t>(count & 0xFF), static_cast<std::uint8_t>(count >> 8), 0,
                                     0};
    for (std::size_t i = 0; i < entries; ++i) {
        out.push_back(static_cast<std::uint8_t>(i));
        out.push_back(static_cast<std::uint8_t>(255 - i));
        out.push_back(static_cast<std::uint8_t>(i * 7));
        out.push_back(static_cast<std::uint8_t>(i == 0 ? 0 : 255));
    }
    return out;
}

// Takes control values from the front of the input; past its end every
// value is 0.
class Controls {
public:
    Controls(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}

    std::uint8_t u8() { return pos_ < size_ ? data_[pos_++] : 0; }
    std::uint16_t u16() { return static_cast<std::uint16_t>(u8() | (u8() << 8)); }
    std::uint32_t u32() { return static_cast<std::uint32_t>(u16()) | (static_cast<std::uint32_t>(u16()) << 16); }

    // The bytes not taken.
    const std::uint8_t* rest() const { return data_ + (pos_ < size_ ? pos_ : size_); }
    std::size_t rest_size() const { return pos_ < size_ ? size_ - pos_ : 0; }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t pos_ = 0;
};

}  // namespace orv_fuzz

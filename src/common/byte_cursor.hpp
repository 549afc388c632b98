// Bounded little-endian reader over an in-memory byte range.
//
// Every read either delivers the whole value or nothing: when fewer bytes
// remain than the value needs, the read returns false, leaves the target
// untouched and the cursor is exhausted from then on (the file has ended).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

namespace orv {

class ByteCursor {
public:
    ByteCursor(const std::uint8_t* data, std::size_t size) noexcept : begin_(data), pos_(data), end_(data + size) {}

    // Bytes taken so far, counted from the start of the range.
    std::size_t offset() const noexcept { return static_cast<std::size_t>(pos_ - begin_); }
    std::size_t remaining() const noexcept { return static_cast<std::size_t>(end_ - pos_); }
    bool at_end() const noexcept { return pos_ == end_; }
    const std::uint8_t* position() const noexcept { return pos_; }

    bool read_u8(std::uint8_t& out) noexcept {
        if (!take(1)) return false;
        out = pos_[-1];
        return true;
    }

    bool read_u16(std::uint16_t& out) noexcept {
        if (!take(2)) return false;
        const std::uint8_t* p = pos_ - 2;
        out = static_cast<std::uint16_t>(p[0] | (p[1] << 8));
        return true;
    }

    bool read_i16(std::int16_t& out) noexcept {
        std::uint16_t u = 0;
        if (!read_u16(u)) return false;
        out = static_cast<std::int16_t>(u);  // two's complement
        return true;
    }

    bool read_u32(std::uint32_t& out) noexcept {
        if (!take(4)) return false;
        const std::uint8_t* p = pos_ - 4;
        out = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
              (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
        return true;
    }

    // Hands out up to `wanted` bytes in place; returns how many were available.
    // The cursor moves past them. Never more than what remains.
    std::size_t read_span(std::size_t wanted, const std::uint8_t*& out) noexcept {
        const std::size_t n = wanted < remaining() ? wanted : remaining();
        out = pos_;
        pos_ += n;
        return n;
    }

    // Moves forward by up to n bytes; returns false when fewer remained.
    bool skip(std::size_t n) noexcept { return take(n); }

    // Looks at the next n bytes without moving; false when fewer remain.
    bool peek_equals(const char* bytes, std::size_t n) const noexcept {
        return n <= remaining() && std::memcmp(pos_, bytes, n) == 0;
    }

private:
    bool take(std::size_t n) noexcept {
        if (n > remaining()) {
            pos_ = end_;
            return false;
        }
        pos_ += n;
        return true;
    }

    const std::uint8_t* begin_;
    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

}  // namespace orv

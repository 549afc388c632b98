// Bytes that arrive as they are asked for.
//
// A reader that walks a format over a file it must not read whole asks for
// the bytes it needs, from the start, and gets them as far as the source holds
// them: a file read on demand into one growing block (file_io.hpp), or bytes
// already in memory (MemorySupply).
#pragma once

#include <cstddef>
#include <cstdint>

namespace orv {

class ByteSupply {
public:
    ByteSupply() = default;
    ByteSupply(const ByteSupply&) = delete;
    ByteSupply& operator=(const ByteSupply&) = delete;
    virtual ~ByteSupply() = default;

    // Holds at least the first `n` bytes, as far as the source has them;
    // true when it holds them all. The bytes held may move (data() again).
    bool hold(std::uint64_t n) { return n <= size_ || more(n); }

    // Holds every byte the source has.
    void hold_all() { hold(UINT64_MAX); }

    const std::uint8_t* data() const noexcept { return data_; }
    // The bytes held, counted from the start.
    std::size_t size() const noexcept { return size_; }
    // The source ended (or failed) before a byte that was asked for.
    bool ended() const noexcept { return ended_; }
    // Reading the source failed (it then ended too).
    bool failed() const noexcept { return failed_; }
    // The size of the whole source as far as it can be told without reading
    // it: for a file, its size on the open handle now; never less than what
    // is held, and what is held once the source has ended.
    virtual std::uint64_t whole_size() const = 0;

protected:
    // Reads on until `n` bytes are held or the source ends; false when it
    // ended first (then `ended_` is set).
    virtual bool more(std::uint64_t n) = 0;

    const std::uint8_t* data_ = nullptr;
    std::size_t size_ = 0;
    bool ended_ = false;
    bool failed_ = false;
};

// Bytes already in memory, all held from the start.
class MemorySupply final : public ByteSupply {
public:
    MemorySupply(const std::uint8_t* data, std::size_t size) noexcept {
        data_ = data;
        size_ = size;
    }
    std::uint64_t whole_size() const override { return size_; }

private:
    bool more(std::uint64_t) override {
        ended_ = true;
        return false;
    }
};

}  // namespace orv

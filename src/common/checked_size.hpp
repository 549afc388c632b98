// Size arithmetic that is tested before it is done.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace orv {

// Stores a * b in out and returns true when the product is at most `limit`;
// returns false (out untouched) otherwise.
inline bool checked_mul(std::uint64_t a, std::uint64_t b, std::uint64_t limit, std::uint64_t& out) noexcept {
    if (b != 0 && a > limit / b) return false;
    const std::uint64_t product = a * b;
    if (product > limit) return false;
    out = product;
    return true;
}

// Three factors, same contract.
inline bool checked_mul3(std::uint64_t a, std::uint64_t b, std::uint64_t c, std::uint64_t limit,
                         std::uint64_t& out) noexcept {
    std::uint64_t ab = 0;
    return checked_mul(a, b, limit, ab) && checked_mul(ab, c, limit, out);
}

}  // namespace orv

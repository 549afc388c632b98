#include "render/color_lookup.hpp"

#include <algorithm>
#include <array>
#include <atomic>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define ORV_WIDE_LOOKUP 1
#define ORV_WIDE_TARGET __attribute__((target("avx512f,avx512bw,avx512vbmi,bmi2")))
#endif

namespace orv {

namespace {

constexpr std::size_t kChannels = 4;

#ifdef ORV_WIDE_LOOKUP

// Runs shorter than this take the table of words: the vector lookup's fixed
// cost outweighs its speed below about 16 indices.
constexpr std::size_t kWideFrom = 16;

// The order in which the vector lookup takes 64 indices: lane L, group k of
// the permuted indices holds indices 16k + 4L .. + 3, so that after
// interleaving, word register k holds pixels 16k .. 16k + 15.
constexpr std::array<std::uint8_t, 64> wide_order() {
    std::array<std::uint8_t, 64> order{};
    for (unsigned lane = 0; lane < 4; ++lane) {
        for (unsigned k = 0; k < 4; ++k) {
            for (unsigned j = 0; j < 4; ++j) {
                order[16 * lane + 4 * k + j] = static_cast<std::uint8_t>(16 * k + 4 * lane + j);
            }
        }
    }
    return order;
}
constexpr std::array<std::uint8_t, 64> kWideOrder = wide_order();

// Writes the colours of n indices (at least 1), all inside the palette, as
// 4-byte pixels at dst, 64 at a time. Each plane lies in four registers of 64
// entries; a two-register byte permute looks up 128 entries, and the top bit
// of the index picks one of the two halves. The planes are then interleaved
// into words. Interleaving works within 16-byte lanes, so the indices are
// first put in the order that makes the interleaved words come out in order.
ORV_WIDE_TARGET void lookup_wide(std::uint8_t* dst, const std::uint8_t* indices, std::size_t n, const ColorTable& t) {
    __m512i planes[4][4];
    for (std::size_t b = 0; b < 4; ++b) {
        for (std::size_t q = 0; q < 4; ++q) planes[b][q] = _mm512_loadu_si512(t.planes[b] + 64 * q);
    }
    const __m512i order = _mm512_loadu_si512(kWideOrder.data());
    for (;;) {
        const std::size_t now = std::min<std::size_t>(n, 64);
        const __mmask64 taken = _bzhi_u64(~std::uint64_t{0}, static_cast<unsigned>(now));
        const __m512i i = _mm512_maskz_permutexvar_epi8(~__mmask64{0}, order, _mm512_maskz_loadu_epi8(taken, indices));
        const __mmask64 high = _mm512_movepi8_mask(i);
        __m512i c[4];
        for (std::size_t b = 0; b < 4; ++b) {
            const __m512i low_half = _mm512_permutex2var_epi8(planes[b][0], i, planes[b][1]);
            const __m512i high_half = _mm512_permutex2var_epi8(planes[b][2], i, planes[b][3]);
            c[b] = _mm512_mask_blend_epi8(high, low_half, high_half);
        }
        const __m512i b01_low = _mm512_unpacklo_epi8(c[0], c[1]);
        const __m512i b01_high = _mm512_unpackhi_epi8(c[0], c[1]);
        const __m512i b23_low = _mm512_unpacklo_epi8(c[2], c[3]);
        const __m512i b23_high = _mm512_unpackhi_epi8(c[2], c[3]);
        const __m512i words[4] = {_mm512_unpacklo_epi16(b01_low, b23_low), _mm512_unpackhi_epi16(b01_low, b23_low),
                                  _mm512_unpacklo_epi16(b01_high, b23_high), _mm512_unpackhi_epi16(b01_high, b23_high)};
        for (std::size_t g = 0; g < 4 && 16 * g < now; ++g) {
            const auto mask = static_cast<__mmask16>(taken >> (16 * g));
            _mm512_mask_storeu_epi32(dst + std::size_t{64} * g, mask, words[g]);
        }
        if (n == now) return;
        n -= now;
        dst += now * kChannels;
        indices += now;
    }
}

bool processor_has_wide_lookup() noexcept {
    return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
           __builtin_cpu_supports("avx512vbmi") && __builtin_cpu_supports("bmi2");
}

std::atomic<bool>& wide_in_use() noexcept {
    static std::atomic<bool> use{processor_has_wide_lookup()};
    return use;
}

#endif

template <bool kClear, bool kWide>
void draw_rows(const std::uint8_t* p, std::size_t height, std::uint8_t* row, std::size_t width,
               const ColorTable& table) {
    for (std::size_t r = 0; r < height; ++r, row += width * kChannels) {
        unsigned runs = *p++;
        std::size_t x = 0;
        std::size_t written = 0;  // pixels of the row written so far, drawn or cleared
        for (; runs > 0; --runs) {
            const std::uint8_t offset = p[0];
            const std::uint8_t count = p[1];
            p += 2;
            x += offset;
            if (x < width) {
                const std::size_t n = std::min<std::size_t>(count, width - x);
                if (kClear) std::memset(row + written * kChannels, 0, (x - written) * kChannels);
#ifdef ORV_WIDE_LOOKUP
                if (kWide && n >= kWideFrom) {
                    lookup_wide(row + x * kChannels, p, n, table);
                } else {
                    copy_colors(row + x * kChannels, p, n, table);
                }
#else
                copy_colors(row + x * kChannels, p, n, table);
#endif
                x += n;
                written = x;
            }
            p += count;
        }
        if (kClear) std::memset(row + written * kChannels, 0, (width - written) * kChannels);
    }
}

}  // namespace

void fill_planes(ColorTable& table) noexcept {
    for (std::size_t i = 0; i < 256; ++i) {
        std::uint8_t bytes[4];
        std::memcpy(bytes, &table.words[i], 4);
        for (std::size_t b = 0; b < 4; ++b) table.planes[b][i] = bytes[b];
    }
}

bool wide_lookup_available() noexcept {
#ifdef ORV_WIDE_LOOKUP
    return processor_has_wide_lookup();
#else
    return false;
#endif
}

void use_wide_lookup(bool use) noexcept {
#ifdef ORV_WIDE_LOOKUP
    wide_in_use().store(use && processor_has_wide_lookup(), std::memory_order_relaxed);
#else
    (void)use;
#endif
}

void draw_whole_rows(const std::uint8_t* rows, std::size_t height, std::uint8_t* pixels, std::size_t width,
                     const ColorTable& table, bool clear) {
#ifdef ORV_WIDE_LOOKUP
    if (wide_in_use().load(std::memory_order_relaxed)) {
        if (clear) {
            draw_rows<true, true>(rows, height, pixels, width, table);
        } else {
            draw_rows<false, true>(rows, height, pixels, width, table);
        }
        return;
    }
#endif
    if (clear) {
        draw_rows<true, false>(rows, height, pixels, width, table);
    } else {
        draw_rows<false, false>(rows, height, pixels, width, table);
    }
}

}  // namespace orv

#include <doctest/doctest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "render/frame_buffer.hpp"
#include "render/pixel_bytes.hpp"

namespace {
bool all_zero(const orv::PixelBytes& bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

// Images carved from one arena, every byte of each then dirtied, as a
// rendering leaves them.
std::vector<orv::OrvFrameBufferObject> dirty_images(const std::vector<std::size_t>& sizes) {
    std::uint64_t total = 0;
    for (const std::size_t size : sizes) total += orv::PixelArena::footprint(size);
    orv::PixelArena arena(total);
    std::vector<orv::OrvFrameBufferObject> images(sizes.size());
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        images[i].pixels = arena.zeroed(sizes[i]);
        std::memset(images[i].pixels.data(), 0xA5, sizes[i]);
    }
    return images;
}
}  // namespace

TEST_CASE("spare blocks of replaced images are handed out again, cleared unless the caller writes every byte") {
    // Small images sharing a block, and one large enough for a block of its own.
    const std::vector<std::size_t> sizes = {4000, 100, std::size_t{64} * 1024, orv::PixelArena::kBlockBytes / 2 + 8};
    std::vector<orv::OrvFrameBufferObject> images = dirty_images(sizes);
    const std::uint8_t* const shared_at = images[0].pixels.data();
    const std::uint8_t* const own_at = images[3].pixels.data();

    orv::SpareBlocks spare = orv::release_images(images);
    CHECK(images.empty());
    REQUIRE(spare.size() == 2);

    std::uint64_t total = 0;
    for (const std::size_t size : sizes) total += orv::PixelArena::footprint(size);
    orv::PixelArena arena(total, std::move(spare));
    const orv::PixelBytes large = arena.zeroed(sizes[3]);
    CHECK(large.data() == own_at);
    CHECK(all_zero(large));
    bool cleared = true;
    const orv::PixelBytes written = arena.for_writing(sizes[0], cleared);
    CHECK(written.data() == shared_at);
    CHECK_FALSE(cleared);
    const orv::PixelBytes zeroed = arena.zeroed(sizes[1]);
    CHECK(all_zero(zeroed));
    CHECK(zeroed.data() == shared_at + orv::PixelArena::footprint(sizes[0]));
}

TEST_CASE("a fresh arena's bytes read as zero, and say so to a caller that writes them whole") {
    std::vector<orv::OrvFrameBufferObject> dirtied = dirty_images({8000, 5000});  // freed at once
    dirtied.clear();
    for (const std::size_t size : {std::size_t{500}, std::size_t{70000}, orv::PixelArena::kBlockBytes / 2}) {
        CAPTURE(size);
        orv::PixelArena fresh(2 * orv::PixelArena::footprint(size));
        CHECK(all_zero(fresh.zeroed(size)));
        bool cleared = true;
        const orv::PixelBytes written = fresh.for_writing(size, cleared);
        CHECK(written.size() == size);
        CHECK(cleared);
        CHECK(all_zero(written));
        // A zeroed image after one written whole, from the same block.
        CHECK(all_zero(fresh.zeroed(size)));
    }
}

TEST_CASE("a block that anything else still holds is never spare") {
    // Two images in one block; one of them is handed out before the others
    // are released, and keeps its bytes.
    std::vector<orv::OrvFrameBufferObject> images = dirty_images({1000, 2000});
    const orv::OrvFrameBufferObject handed_out = std::move(images[1]);
    CHECK(orv::release_images(images).empty());
    CHECK(std::all_of(handed_out.pixels.begin(), handed_out.pixels.end(), [](std::uint8_t b) { return b == 0xA5; }));
}

TEST_CASE("a separate arena gives every image a block of its own, cleared unless the caller writes every byte") {
    const std::vector<std::size_t> sizes = {100, 4000, std::size_t{64} * 1024};
    std::uint64_t total = 0;
    for (const std::size_t size : sizes) total += orv::PixelArena::footprint(size);
    orv::PixelArena arena(total, {}, true);
    std::vector<orv::PixelBytes> images;
    images.reserve(sizes.size() + 1);
    for (const std::size_t size : sizes) images.push_back(arena.zeroed(size));
    bool cleared = true;
    images.push_back(arena.for_writing(300, cleared));
    CHECK_FALSE(cleared);
    for (std::size_t i = 0; i < sizes.size(); ++i) {
        CHECK(all_zero(images[i]));
        // Held by the image alone, and no larger than the image.
        CHECK(images[i].block().use_count() == 1);
        CHECK(images[i].block()->size() == sizes[i]);
    }
}

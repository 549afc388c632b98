// Reads an animation from the input (after a block of control bytes) as a
// load does, sets its count fields to hostile values as Python code can, and
// serialises it; now and then it also saves it to files. The bytes written
// must be exactly the records held, whatever their counts claim, and must
// parse again; an existing palette file is kept when the palette is empty. Nothing is rendered here: that is the load
// harness's part.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "orvfile/orv_file.hpp"
#include "anim/orv_format.hpp"
#include "common/file_io.hpp"
#include "fuzz_common.hpp"

namespace {

constexpr std::size_t kControlBytes = 16;

struct Setup {
    std::string dir;
    std::string palette_path;
};

const Setup& setup() {
    static const Setup s = [] {
        Setup r;
        r.dir = orv_fuzz::scratch_dir();
        r.palette_path = r.dir + "/full.pal";
        orv_fuzz::write_file(r.palette_path, orv_fuzz::palette_bytes(256, 256));
        return r;
    }();
    return s;
}

// Small deterministic generator for per-record values.
struct Rng {
    std::uint32_t state;
    std::uint32_t next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
};

std::uint32_t hostile_count(std::uint8_t mode, std::uint32_t raw, std::size_t held) {
    switch (mode % 8) {
        case 0: return static_cast<std::uint32_t>(held);
        case 1: return raw;
        case 2: return static_cast<std::uint32_t>(held + 1 + (raw & 0xFF));
        case 3: return 0xFFFFFFFFu;
        case 4: return 0x80000000u;
        case 5: return 0x7FFFFFFFu;
        case 6: return 0;
        default: return held > 0 ? static_cast<std::uint32_t>(held - 1) : 1u;
    }
}

// What write_orv must produce for `data`, byte count only.
std::size_t expected_size(const orv::OrvData& data, const std::string& path) {
    std::size_t n = (data.has_background ? 9u : 0u) + 12u + path.size() + 1u;
    const auto signed_count = static_cast<std::int32_t>(data.info.frame_count);
    const std::size_t wanted = signed_count > 0 ? static_cast<std::size_t>(signed_count) : 0;
    const std::size_t frames = std::min(wanted, data.frames.size());
    for (std::size_t i = 0; i < frames; ++i) {
        const orv::OrvFrame& frame = *data.frames[i];
        n += 14;
        for (const orv::OrvPixelSet& row : frame.pixel_sets()) {
            n += 1;
            for (const orv::OrvPixelBlock& block : row.blocks) n += 2u + (frame.is_shadow ? 0u : block.color_count);
        }
    }
    return n;
}

// The animation in `bytes`, read as a load reads it, with the palette at `palette_path`.
void read_input(orv::OrvData& anim, const std::vector<std::uint8_t>& bytes, const std::string& palette_path) {
    orv::OrvReader reader(orv::SharedBytes::copy_of(bytes.data(), bytes.size()));
    const orv::OrvHead head = reader.parse_head();
    if (head.background_flag_read) anim.has_background = head.background_flag;
    anim.info.speed = head.speed;
    std::uint32_t count = head.frame_count;
    if (anim.has_background) count += 1u;
    reader.parse_frames(anim, count);
    if (anim.palette->load(palette_path) != 1) std::abort();
}

// Random fields and counts in every frame.
void mangle_frames(orv::OrvData& anim, Rng& rng) {
    for (const orv::OrvFramePtr& frame : anim.frames) {
        const std::uint32_t r = rng.next();
        if (r & 1) frame->height = static_cast<std::uint16_t>(rng.next());
        if (r & 2) frame->is_shadow = static_cast<std::uint8_t>(rng.next());
        if (r & 4) frame->width = static_cast<std::uint16_t>(rng.next());
        if (r & 8) frame->frame_size = rng.next();
        if (r & 16) {
            for (orv::OrvPixelSet& row : frame->pixel_sets()) {
                if (rng.next() & 1) row.block_count = static_cast<std::uint8_t>(rng.next());
                for (orv::OrvPixelBlock& block : row.blocks) {
                    if (rng.next() & 1) block.color_count = static_cast<std::uint8_t>(rng.next());
                }
            }
        }
    }
}

// The frames written carry the writer's unk1 and unk2, and what was written
// parses again, as far as it goes.
void check_written(const orv::OrvData& anim, const std::string& stored, const std::vector<std::uint8_t>& out) {
    const auto signed_count = static_cast<std::int32_t>(anim.info.frame_count);
    const std::size_t written =
        std::min(signed_count > 0 ? static_cast<std::size_t>(signed_count) : std::size_t{0}, anim.frames.size());
    for (std::size_t i = 0; i < written; ++i) {
        if (anim.frames[i]->unk1 != 0 || anim.frames[i]->unk2 != 1) std::abort();
    }
    orv::OrvData again;
    orv::OrvReader reader(orv::SharedBytes::copy_of(out.data(), out.size()));
    const orv::OrvHead head = reader.parse_head();
    // A plain file whose speed spells the magic reads as the background form.
    const bool speed_is_magic = !anim.has_background && out.size() >= 4 && std::memcmp(out.data(), "FVRO", 4) == 0;
    if (!speed_is_magic && (head.has_header != anim.has_background || head.path != stored + std::string(1, '\0'))) {
        std::abort();
    }
    reader.parse_frames(again, head.frame_count + (head.has_header ? 1u : 0u));
}

// Alternate between a file that is replaced and one written in place (a
// second link to it), and check that both end holding exactly the bytes of
// the record, and the palette file the palette's bytes (an existing one is
// kept when the palette holds no colour). Each input starts from a folder
// that earlier inputs left nothing in.
void check_save(orv::OrvF& file, const Setup& s, std::uint8_t what, std::uint32_t raw_count) {
    orv::OrvData& anim = *file.data();
    const std::string target = s.dir + "/out.orv";
    const std::string partner = s.dir + "/out.link";
    const std::string palette_file = s.dir + "/out.pal";
    for (const std::string& old : {target, partner, palette_file}) std::filesystem::remove(old);
    const std::vector<std::uint8_t> earlier_palette = {7, 7, 7};
    const bool palette_existed = (raw_count & 0x100u) != 0;
    if (palette_existed) orv_fuzz::write_file(palette_file, earlier_palette);
    if (what & 0x01) {
        orv_fuzz::write_file(target, {1, 2, 3});
        std::filesystem::create_hard_link(target, partner);
    }
    try {
        file.save(target, s.dir, s.dir + "/out.pal");
    } catch (const std::filesystem::filesystem_error&) {
        std::abort();  // every path here exists
    }
    std::vector<std::uint8_t> saved, saved_palette;
    if (!orv::read_whole_file((what & 0x01) ? partner : target, saved) || saved != orv::write_orv(anim, "out.pal")) {
        std::abort();
    }
    const bool kept = palette_existed && anim.palette->color_table().empty();
    if (!orv::read_whole_file(palette_file, saved_palette) ||
        saved_palette != (kept ? earlier_palette : anim.palette->to_bytes())) {
        std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const Setup& s = setup();
    orv_fuzz::Controls ctl(data, std::min(size, kControlBytes));
    const std::uint8_t* file_bytes = data + std::min(size, kControlBytes);
    const std::vector<std::uint8_t> bytes(file_bytes, data + size);

    orv::OrvF file;
    orv::OrvData& anim = *file.data();
    read_input(anim, bytes, s.palette_path);

    const std::uint8_t what = ctl.u8();
    const std::uint8_t count_mode = ctl.u8();
    const std::uint32_t raw_count = ctl.u32();
    Rng rng{ctl.u32() | 1u};
    const std::uint16_t palette_entries = ctl.u16();
    const std::uint8_t path_length = ctl.u8();
    const std::uint8_t model = ctl.u8();

    if (what & 0x01) anim.info.frame_count = hostile_count(count_mode, raw_count, anim.frames.size());
    if (what & 0x02) anim.has_background = !anim.has_background;
    if (what & 0x04) mangle_frames(anim, rng);
    if (what & 0x08) {
        std::vector<orv::PalF::Color> table(palette_entries + ((what & 0x10) ? 65536u : 0u));
        for (std::size_t i = 0; i < table.size(); ++i) table[i] = {static_cast<std::uint8_t>(i), 0, 0, 255};
        anim.palette->colors(std::move(table));
        anim.palette->color_model(static_cast<std::int8_t>(model));
    }

    std::string stored(path_length, 'p');
    if (what & 0x20) stored.assign(reinterpret_cast<const char*>(ctl.rest()), ctl.rest_size());

    const std::size_t want = expected_size(anim, stored);
    const std::vector<std::uint8_t> out = orv::write_orv(anim, stored);
    if (out.size() != want) std::abort();
    check_written(anim, stored, out);

    if ((what & 0xC0) == 0xC0) check_save(file, s, what, raw_count);
    return 0;
}

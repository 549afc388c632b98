#include "common/large_block.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#include <unistd.h>
#define ORV_HAVE_MMAP 1
#endif

namespace orv {

namespace {
// The size of a transparent huge page: blocks of at least this size start on
// such a boundary, so that the system can back all of them with huge pages.
constexpr std::size_t kHugePage = std::size_t{2} << 20;
// From this size on, blocks that must read as zero are mapped fresh from the
// system: its pages read as zero without a pass over them.
constexpr std::size_t kZeroedMapThreshold = std::size_t{1} << 20;
// Up to this size, blocks whose contents are written before they are read
// come from the general allocator, which keeps memory that was freed and
// serves later blocks from it without a fresh page fault and a zeroing pass
// by the system per page (the GNU allocator takes blocks up to 32 MiB from its
// own heap once it has seen one of that size freed). Larger ones are mapped.
constexpr std::size_t kMapThreshold = std::size_t{32} << 20;

#ifdef ORV_HAVE_MMAP
// Asks for huge pages over the whole huge pages inside [p, p + size): a hint,
// which only changes how pages not yet touched will be backed.
void advise_huge_pages(void* p, std::size_t size) {
#ifdef MADV_HUGEPAGE
    const auto begin = reinterpret_cast<std::uintptr_t>(p);
    const std::uintptr_t first = (begin + kHugePage - 1) / kHugePage * kHugePage;
    const std::uintptr_t last = (begin + size) / kHugePage * kHugePage;
    if (last > first) ::madvise(static_cast<char*>(p) + (first - begin), last - first, MADV_HUGEPAGE);
#else
    (void)p;
    (void)size;
#endif
}

// Maps `size` fresh bytes, starting on a huge page boundary when the block is
// large enough to hold one. The parts mapped only to find the boundary are
// returned at once.
void* map_fresh(std::size_t size) {
    if (size < kHugePage) {
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        return p == MAP_FAILED ? nullptr : p;
    }
    const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
    const std::size_t kept = (size + page - 1) / page * page;
    const std::size_t mapped = kept + kHugePage;
    void* p = ::mmap(nullptr, mapped, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (p == MAP_FAILED) return nullptr;
    // Trimmed by offsets from the mapping itself, so that every pointer keeps
    // its provenance: the part before the first huge-page boundary, then the
    // part after the block.
    char* const base = static_cast<char*>(p);
    const std::size_t lead = (kHugePage - reinterpret_cast<std::uintptr_t>(p) % kHugePage) % kHugePage;
    if (lead > 0) ::munmap(base, lead);
    char* const aligned = base + lead;
    if (mapped > lead + kept) ::munmap(aligned + kept, mapped - lead - kept);
    return aligned;
}
#endif
}  // namespace

std::shared_ptr<LargeBlock> LargeBlock::allocate(std::size_t size, bool zeroed) {
#ifdef ORV_HAVE_MMAP
    if (zeroed ? size >= kZeroedMapThreshold : size > kMapThreshold) {
        // Fresh anonymous pages read as zero: no pass over them is needed.
        void* p = map_fresh(size);
        if (p == nullptr) throw std::bad_alloc();
        advise_huge_pages(p, size);
        try {
            return std::shared_ptr<LargeBlock>(new LargeBlock(static_cast<std::uint8_t*>(p), size, true));
        } catch (...) {
            ::munmap(p, size);
            throw;
        }
    }
    if (!zeroed && size >= kHugePage) {
        // On a huge page boundary, so that whatever part of it is fresh
        // memory can be backed by huge pages.
        void* p = nullptr;
        if (::posix_memalign(&p, kHugePage, size) != 0) throw std::bad_alloc();
        advise_huge_pages(p, size);
        try {
            return std::shared_ptr<LargeBlock>(new LargeBlock(static_cast<std::uint8_t*>(p), size, false));
        } catch (...) {
            std::free(p);
            throw;
        }
    }
#endif
    void* p = zeroed ? std::calloc(size == 0 ? 1 : size, 1) : std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    try {
        return std::shared_ptr<LargeBlock>(new LargeBlock(static_cast<std::uint8_t*>(p), size, false));
    } catch (...) {
        std::free(p);
        throw;
    }
}

LargeBlock::~LargeBlock() {
#ifdef ORV_HAVE_MMAP
    if (mapped_) {
        ::munmap(data_, size_);
        return;
    }
#endif
    std::free(data_);
}

SharedBytes SharedBytes::copy_of(const std::uint8_t* data, std::size_t size) {
    std::shared_ptr<LargeBlock> block = LargeBlock::allocate(size, false);
    if (size > 0) std::memcpy(block->data(), data, size);
    std::uint8_t* bytes = block->data();
    return SharedBytes(std::move(block), bytes, size);
}

}  // namespace orv

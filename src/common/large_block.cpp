#include "common/large_block.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#if defined(__unix__) || defined(__APPLE__)
#include <sys/mman.h>
#define ORV_HAVE_MMAP 1
#endif

namespace orv {

namespace {
// Below this, blocks come from the general allocator.
constexpr std::size_t kMapThreshold = std::size_t{1} << 20;
}  // namespace

std::shared_ptr<LargeBlock> LargeBlock::allocate(std::size_t size, bool zeroed) {
#ifdef ORV_HAVE_MMAP
    if (size >= kMapThreshold) {
        // Fresh anonymous pages read as zero: no pass over them is needed.
        void* p = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) throw std::bad_alloc();
#ifdef MADV_HUGEPAGE
        ::madvise(p, size, MADV_HUGEPAGE);  // a hint; without it the pages are just smaller
#endif
        try {
            return std::shared_ptr<LargeBlock>(new LargeBlock(static_cast<std::uint8_t*>(p), size, true));
        } catch (...) {
            ::munmap(p, size);
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

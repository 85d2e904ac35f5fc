// Secret pages over aligned_alloc and madvise(MADV_DONTDUMP).
#include "platform/secret_pages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace orvane::platform {

namespace {

size_t page_size() {
    static const size_t size = [] {
        long s = sysconf(_SC_PAGESIZE);
        return s > 0 ? static_cast<size_t>(s) : size_t{4096};
    }();
    return size;
}

size_t rounded(size_t n) {
    size_t page = page_size();
    return n == 0 ? page : (n + page - 1) / page * page;
}

}  // namespace

void* secret_pages_allocate(size_t n) {
    size_t length = rounded(n);
    if (length < n) return nullptr;
    void* pages = std::aligned_alloc(page_size(), length);
    if (pages == nullptr) return nullptr;
    // The heap may hand these pages out again after a free: the marking stays with the range,
    // which only keeps other data out of dumps as well.
    madvise(pages, length, MADV_DONTDUMP);
    return pages;
}

void secret_pages_free(void* pages, size_t n) {
    if (pages == nullptr) return;
    // explicit_bzero is not left out by the compiler, unlike a memset before free().
    explicit_bzero(pages, n);
    std::free(pages);
}

}  // namespace orvane::platform

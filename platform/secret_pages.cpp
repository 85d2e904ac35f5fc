// Secret pages: anonymous mappings of their own, marked MADV_DONTDUMP.
#include "platform/secret_pages.h"

#include <sys/mman.h>
#include <unistd.h>

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
    // A mapping of its own, returned whole by munmap: marking heap pages instead leaves the mark
    // behind on every range the heap ever handed out, and each marked range is an area of its own
    // in the process's map, so a long run of secrets would use up the kernel's limit on them.
    void* pages = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages == MAP_FAILED) return nullptr;
    madvise(pages, length, MADV_DONTDUMP);
    return pages;
}

void secret_pages_free(void* pages, size_t n) {
    if (pages == nullptr) return;
    // explicit_bzero is not left out by the compiler, unlike a memset before the unmap.
    explicit_bzero(pages, n);
    munmap(pages, rounded(n));
}

}  // namespace orvane::platform

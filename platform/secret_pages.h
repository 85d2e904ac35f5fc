// Memory for secrets: whole pages that a core dump leaves out, wiped before they are returned.
#pragma once

#include <cstddef>

namespace orvane::platform {

// At least n bytes on pages of their own, marked so that no core dump holds them; null when the
// memory cannot be had. A marking the kernel refuses leaves the pages usable.
void* secret_pages_allocate(size_t n);
// Wipes the n bytes asked for and returns the pages.
void secret_pages_free(void* pages, size_t n);

}  // namespace orvane::platform

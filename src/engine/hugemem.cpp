#include "engine/hugemem.h"

#include <cstring>
#include <sys/mman.h>

namespace {
constexpr size_t kHuge = size_t{2} << 20;
}

void *huge_alloc(size_t bytes, bool zero) {
    if (bytes < kHuge) return zero ? calloc(1, bytes ? bytes : 1) : malloc(bytes ? bytes : 1);
    size_t size = (bytes + kHuge - 1) / kHuge * kHuge;
    void *p = aligned_alloc(kHuge, size);
    if (!p) return nullptr;
    madvise(p, size, MADV_HUGEPAGE);  // advice only: without it the memory works all the same
    if (zero) memset(p, 0, size);
    return p;
}

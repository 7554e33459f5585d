// Large arrays of the user index, placed so that the kernel may back them with
// huge pages: loading a million users then costs hundreds of page faults
// instead of tens of thousands. Used by kvstore.cpp and kvindex.cpp.
#pragma once

#include <cstddef>
#include <cstdlib>
#include <memory>
#include <type_traits>

struct HugeFree {
    void operator()(void *p) const { free(p); }
};
template <class T>
using HugeArray = std::unique_ptr<T[], HugeFree>;

// bytes of memory (zeroed when zero is set), huge-page aligned from 2 MiB on; null when none is
// left.
void *huge_alloc(size_t bytes, bool zero);

template <class T>
HugeArray<T> huge_array(size_t n, bool zero) {
    static_assert(std::is_trivially_destructible_v<T>, "elements are never destroyed");
    return HugeArray<T>(static_cast<T *>(huge_alloc(n * sizeof(T), zero)));
}

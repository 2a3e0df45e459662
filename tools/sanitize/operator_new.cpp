// operator new and delete on top of malloc and free, preloaded (ahead of
// AddressSanitizer's runtime) by ./test.sh --sanitize.
//
// AddressSanitizer's own operator new ends the process when the allocator
// cannot serve a request, where the ordinary runtime throws std::bad_alloc
// (MemoryError in Python). With these definitions a request that malloc
// refuses (allocator_may_return_null=1) throws as it does in a normal build,
// so the tests of huge counts run under the sanitizers too. The memory still
// comes from the sanitizer's malloc: overflows and uses after free are found
// as before; only mismatches between new[] and delete go unnoticed.
#include <cstdlib>
#include <new>
namespace {
void *alloc(std::size_t n) {
    void *p = std::malloc(n ? n : 1);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void *alloc_aligned(std::size_t n, std::align_val_t a) {
    void *p = nullptr;
    if (posix_memalign(&p, static_cast<std::size_t>(a), n ? n : 1) != 0) throw std::bad_alloc();
    return p;
}
}
void *operator new(std::size_t n) { return alloc(n); }
void *operator new[](std::size_t n) { return alloc(n); }
void *operator new(std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void *operator new[](std::size_t n, const std::nothrow_t &) noexcept { return std::malloc(n ? n : 1); }
void *operator new(std::size_t n, std::align_val_t a) { return alloc_aligned(n, a); }
void *operator new[](std::size_t n, std::align_val_t a) { return alloc_aligned(n, a); }
void *operator new(std::size_t n, std::align_val_t a, const std::nothrow_t &) noexcept {
    void *p = nullptr;
    return posix_memalign(&p, static_cast<std::size_t>(a), n ? n : 1) == 0 ? p : nullptr;
}
void *operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t &t) noexcept { return operator new(n, a, t); }
void operator delete(void *p) noexcept { std::free(p); }
void operator delete[](void *p) noexcept { std::free(p); }
void operator delete(void *p, std::size_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t) noexcept { std::free(p); }
void operator delete(void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void *p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete(void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }
void operator delete[](void *p, std::align_val_t, const std::nothrow_t &) noexcept { std::free(p); }

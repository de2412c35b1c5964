#include "util/podvec.h"

#include <sys/mman.h>
#include <unistd.h>

namespace tarn::podvec {

namespace {

constexpr size_t kMapped = size_t(64) << 10;  // from this capacity on, map pages directly

size_t page_round(size_t n) {
    static const size_t page = static_cast<size_t>(::sysconf(_SC_PAGESIZE));
    return (n + page - 1) / page * page;
}

bool mapped(size_t cap_bytes) {
    return cap_bytes >= kMapped;
}

}  // namespace

void* grow(void* p, size_t old_bytes, size_t old_cap_bytes, size_t new_cap_bytes) {
    void* q;
    if (!mapped(new_cap_bytes)) {
        q = std::realloc(p, new_cap_bytes);
        if (!q) throw std::bad_alloc();
        return q;
    }
    if (mapped(old_cap_bytes)) {
        q = ::mremap(p, page_round(old_cap_bytes), page_round(new_cap_bytes), MREMAP_MAYMOVE);
        if (q == MAP_FAILED) throw std::bad_alloc();
        return q;
    }
    q = ::mmap(nullptr, page_round(new_cap_bytes), PROT_READ | PROT_WRITE,
               MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (q == MAP_FAILED) throw std::bad_alloc();
    if (old_bytes) std::memcpy(q, p, old_bytes);
    std::free(p);
    return q;
}

void* shrink(void* p, size_t bytes, size_t* cap_bytes) {
    size_t cap = *cap_bytes;
    if (bytes == 0) {
        release(p, cap);
        *cap_bytes = 0;
        return nullptr;
    }
    if (!mapped(cap)) {
        void* q = std::realloc(p, bytes);  // shrinks in place
        if (!q) return p;
        *cap_bytes = bytes;
        return q;
    }
    if (mapped(bytes)) {
        // Unmapping the tail pages never moves the start.
        if (::mremap(p, page_round(cap), page_round(bytes), 0) == MAP_FAILED) return p;
        *cap_bytes = bytes;
        return p;
    }
    void* q = std::malloc(bytes);
    if (!q) return p;  // keep the larger buffer rather than fail
    std::memcpy(q, p, bytes);
    ::munmap(p, page_round(cap));
    *cap_bytes = bytes;
    return q;
}

void release(void* p, size_t cap_bytes) {
    if (!p) return;
    if (mapped(cap_bytes))
        ::munmap(p, page_round(cap_bytes));
    else
        std::free(p);
}

}  // namespace tarn::podvec

// PodVec<T>: a growable array of trivially copyable values for the value store.
//
// Large buffers (64 KiB and up) are mapped directly from the OS and grown with mremap: growing
// never copies, capacity that was never written is never resident, and freeing returns the
// memory at once. With std::vector, a load that grows thousands of columns at once leaves the
// heap full of freed smaller blocks, and peak memory ends up far above the data held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

namespace tarn {

namespace podvec {
void* grow(void* p, size_t old_bytes, size_t old_cap_bytes, size_t new_cap_bytes);
void release(void* p, size_t cap_bytes);
// Returns the buffer holding the first `bytes` bytes of p and sets *cap_bytes to its capacity:
// `bytes`, or the old capacity when the memory could not be given back.
void* shrink(void* p, size_t bytes, size_t* cap_bytes);
}  // namespace podvec

template <class T>
class PodVec {
    static_assert(std::is_trivially_copyable_v<T>);

  public:
    PodVec() = default;
    PodVec(const PodVec& o) { *this = o; }
    PodVec(PodVec&& o) noexcept { swap(o); }
    ~PodVec() { podvec::release(p_, cap_ * sizeof(T)); }
    PodVec& operator=(const PodVec& o) {
        if (this != &o) {
            clear();
            reserve(o.n_);
            if (o.n_) std::memcpy(p_, o.p_, o.n_ * sizeof(T));
            n_ = o.n_;
        }
        return *this;
    }
    PodVec& operator=(PodVec&& o) noexcept {
        PodVec tmp(std::move(o));
        swap(tmp);
        return *this;
    }
    void swap(PodVec& o) noexcept {
        std::swap(p_, o.p_);
        std::swap(n_, o.n_);
        std::swap(cap_, o.cap_);
    }

    size_t size() const { return n_; }
    size_t capacity() const { return cap_; }
    bool empty() const { return n_ == 0; }
    T* data() { return p_; }
    const T* data() const { return p_; }
    T& operator[](size_t i) { return p_[i]; }
    const T& operator[](size_t i) const { return p_[i]; }
    T& back() { return p_[n_ - 1]; }
    const T& back() const { return p_[n_ - 1]; }

    void reserve(size_t cap) {
        if (cap <= cap_) return;
        p_ = static_cast<T*>(podvec::grow(p_, n_ * sizeof(T), cap_ * sizeof(T), cap * sizeof(T)));
        cap_ = cap;
    }
    void push_back(T v) {
        if (n_ == cap_) reserve(cap_ < 8 ? 8 : cap_ * 2);
        p_[n_++] = v;
    }
    void pop_back() { --n_; }
    // Appends the low `bytes` bytes (1 to 8) of v, little-endian. The caller has checked that 8
    // bytes fit: all 8 are written, which beats a copy of variable size, and the size grows by
    // `bytes` only.
    void push_low_bytes(uint64_t v, size_t bytes) {
        static_assert(sizeof(T) == 1);
        std::memcpy(p_ + n_, &v, 8);
        n_ += bytes;
    }
    // Appends the low Bytes bytes of v (little-endian) where the caller has checked capacity.
    template <size_t Bytes>
    void push_unchecked(uint64_t v) {
        static_assert(Bytes % sizeof(T) == 0);
        std::memcpy(p_ + n_, &v, Bytes);
        n_ += Bytes / sizeof(T);
    }
    // New elements are zero.
    void resize(size_t n) {
        if (n > n_) {
            if (n > cap_) reserve(n > cap_ * 2 ? n : cap_ * 2);
            std::memset(p_ + n_, 0, (n - n_) * sizeof(T));
        }
        n_ = n;
    }
    void assign(size_t n, T v) {
        clear();
        reserve(n);
        for (size_t i = 0; i < n; ++i) p_[i] = v;
        n_ = n;
    }
    void append(const T* src, size_t count) {
        if (n_ + count > cap_) reserve(n_ + count > cap_ * 2 ? n_ + count : cap_ * 2);
        if (count) std::memcpy(p_ + n_, src, count * sizeof(T));
        n_ += count;
    }
    void clear() { n_ = 0; }
    void shrink_to_fit() {
        if (cap_ == n_) return;
        size_t cap_bytes = cap_ * sizeof(T);
        p_ = static_cast<T*>(podvec::shrink(p_, n_ * sizeof(T), &cap_bytes));
        cap_ = cap_bytes / sizeof(T);
    }

  private:
    T* p_ = nullptr;
    size_t n_ = 0;
    size_t cap_ = 0;
};

}  // namespace tarn

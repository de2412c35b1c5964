#include "util/hash.h"

#include <cstring>
#include <random>

namespace tarn {

const HashKey& hash_key() {
    static const HashKey key = [] {
        std::random_device rd;
        auto draw = [&] { return (uint64_t(rd()) << 32) ^ uint64_t(rd()); };
        return HashKey{draw(), draw()};
    }();
    return key;
}

namespace {

inline uint64_t rotl(uint64_t x, int b) {
    return (x << b) | (x >> (64 - b));
}

struct SipState {
    uint64_t v0, v1, v2, v3;
    void round() {
        v0 += v1;
        v1 = rotl(v1, 13);
        v1 ^= v0;
        v0 = rotl(v0, 32);
        v2 += v3;
        v3 = rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = rotl(v1, 17);
        v1 ^= v2;
        v2 = rotl(v2, 32);
    }
};

}  // namespace

uint64_t siphash13(const void* data, size_t len, const HashKey& key) {
    const auto* p = static_cast<const unsigned char*>(data);
    SipState s{key.k0 ^ 0x736f6d6570736575ULL, key.k1 ^ 0x646f72616e646f6dULL,
               key.k0 ^ 0x6c7967656e657261ULL, key.k1 ^ 0x7465646279746573ULL};
    size_t full = len & ~size_t(7);
    for (size_t i = 0; i < full; i += 8) {
        uint64_t m;
        std::memcpy(&m, p + i, 8);
        s.v3 ^= m;
        s.round();
        s.v0 ^= m;
    }
    uint64_t last = uint64_t(len & 0xff) << 56;
    for (size_t i = 0; i < (len & 7); ++i) last |= uint64_t(p[full + i]) << (8 * i);
    s.v3 ^= last;
    s.round();
    s.v0 ^= last;
    s.v2 ^= 0xff;
    s.round();
    s.round();
    s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace tarn

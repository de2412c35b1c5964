// Seeded hashing for maps keyed by names or codes read from untrusted files. SipHash-1-3 with a
// per-process random key: a file full of names chosen to collide under a fixed hash cannot turn
// lookups quadratic, because the collisions depend on a key the file's author cannot know.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

namespace tarn {

struct HashKey {
    uint64_t k0, k1;
};

// The process-wide random key (drawn once from the OS random source).
const HashKey& hash_key();

uint64_t siphash13(const void* data, size_t len, const HashKey& key);

struct SeededStringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const {
        return static_cast<size_t>(siphash13(s.data(), s.size(), hash_key()));
    }
    size_t operator()(const std::string& s) const { return (*this)(std::string_view(s)); }
};

struct SeededU64Hash {
    size_t operator()(uint64_t v) const {
        return static_cast<size_t>(siphash13(&v, sizeof v, hash_key()));
    }
};

// Maps keyed by text that can be probed with a string_view without building a string.
template <class V>
using NameMap = std::unordered_map<std::string, V, SeededStringHash, std::equal_to<>>;
using NameSet = std::unordered_set<std::string, SeededStringHash, std::equal_to<>>;
template <class V>
using U64Map = std::unordered_map<uint64_t, V, SeededU64Hash>;

}  // namespace tarn

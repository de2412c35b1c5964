// Builds small FST files byte by byte for the reader's tests.
#pragma once

#include <lz4.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fst_test {

using Bytes = std::vector<uint8_t>;

inline void put_u64(Bytes& b, uint64_t v) {
    for (int i = 7; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
inline void put_leb(Bytes& b, uint64_t v) {
    do {
        uint8_t byte = v & 0x7F;
        v >>= 7;
        b.push_back(byte | (v ? 0x80 : 0));
    } while (v);
}
inline void put_sleb(Bytes& b, int64_t v) {
    for (;;) {
        uint8_t byte = v & 0x7F;
        v >>= 7;
        bool done = (v == 0 && !(byte & 0x40)) || (v == -1 && (byte & 0x40));
        b.push_back(byte | (done ? 0 : 0x80));
        if (done) return;
    }
}
// Byte-wise appends: GCC 12 misjudges range inserts into small vectors (-Warray-bounds).
inline void put_str(Bytes& b, const std::string& s) {
    for (char c : s) b.push_back(static_cast<uint8_t>(c));
    b.push_back(0);
}
inline void append(Bytes& b, const Bytes& more) {
    for (uint8_t c : more) b.push_back(c);
}

inline Bytes header_block(uint64_t start, uint64_t end, bool little_endian = true) {
    Bytes b{0};
    put_u64(b, 329);
    put_u64(b, start);
    put_u64(b, end);
    double e = 2.718281828459045;
    uint8_t raw[8];
    std::memcpy(raw, &e, 8);
    for (int i = 0; i < 8; ++i) b.push_back(raw[little_endian ? i : 7 - i]);
    for (int i = 0; i < 5; ++i) put_u64(b, 0);
    b.push_back(static_cast<uint8_t>(-9));
    Bytes writer(128, 0), date(119, 0);
    std::memcpy(writer.data(), "test", 4);
    append(b, writer);
    append(b, date);
    b.push_back(0);
    put_u64(b, 0);
    return b;
}

// Raw geometry values (0 = real, 0xFFFFFFFF = zero-length, else bit length).
inline Bytes geometry_block(const std::vector<uint32_t>& raw) {
    Bytes payload;
    for (uint32_t v : raw) put_leb(payload, v);
    Bytes b{3};
    put_u64(b, 24 + payload.size());
    put_u64(b, payload.size());
    put_u64(b, raw.size());
    append(b, payload);
    return b;
}

inline Bytes lz4_hierarchy_block(const Bytes& entries) {
    Bytes out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(entries.size()))) + 1);
    int n = LZ4_compress_default(reinterpret_cast<const char*>(entries.data()),
                                 reinterpret_cast<char*>(out.data()),
                                 static_cast<int>(entries.size()), static_cast<int>(out.size()));
    out.resize(static_cast<size_t>(n));
    Bytes b{6};
    put_u64(b, 16 + out.size());
    put_u64(b, entries.size());
    append(b, out);
    return b;
}

inline Bytes scope_entry(const std::string& name) {
    Bytes b{254, 0};
    put_str(b, name);
    put_str(b, "");
    return b;
}
inline Bytes var_entry(const std::string& name, uint32_t width, uint32_t alias = 0,
                       uint8_t type = 16) {
    Bytes b{type, 0};
    put_str(b, name);
    put_leb(b, width);
    put_leb(b, alias);
    return b;
}

// One value-change block. Signal data is stored raw (U = 0); the position table is given.
struct VcBlock {
    uint8_t code = 8;
    uint64_t start = 0, end = 0;
    Bytes frame;
    uint64_t frame_count = 0;
    uint64_t n = 0;
    uint8_t pack = 'Z';
    Bytes data;   // concatenated packed signal blocks
    Bytes table;  // position table
    std::vector<uint64_t> times;

    Bytes build() const {
        Bytes body;
        put_u64(body, start);
        put_u64(body, end);
        put_u64(body, 0);
        put_leb(body, frame.size());
        put_leb(body, frame.size());
        put_leb(body, frame_count);
        append(body, frame);
        put_leb(body, n);
        body.push_back(pack);
        append(body, data);
        append(body, table);
        put_u64(body, table.size());
        Bytes deltas;
        uint64_t prev = 0;
        for (uint64_t t : times) {
            put_leb(deltas, t - prev);
            prev = t;
        }
        append(body, deltas);
        put_u64(body, deltas.size());
        put_u64(body, deltas.size());
        put_u64(body, times.size());
        Bytes b{code};
        put_u64(b, body.size() + 8);
        append(b, body);
        return b;
    }
};

// A signal's packed block holding raw change records.
inline Bytes raw_signal(const Bytes& records) {
    Bytes b;
    put_leb(b, 0);
    append(b, records);
    return b;
}

}  // namespace fst_test

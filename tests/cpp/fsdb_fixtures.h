// Builders of FSDB-shaped bytes for the reader tests: legacy files, modern files with a section
// table, a width table and zlib streams, and value blobs. The same layouts as the Python tests'
// builder (tests/python/builders.py); test_fsdb.cpp compares the bytes of both.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace fsdb_fixtures {

using Bytes = std::vector<uint8_t>;

inline Bytes hex(std::string_view s) {
    Bytes out;
    int hi = -1;
    for (char c : s) {
        int v = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                                       : -1;
        if (v < 0) continue;
        if (hi < 0) {
            hi = v;
        } else {
            out.push_back(static_cast<uint8_t>(hi << 4 | v));
            hi = -1;
        }
    }
    return out;
}

inline Bytes text(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

// NUL-terminated strings, one after another.
inline Bytes names(std::initializer_list<std::string_view> list) {
    Bytes out;
    for (auto n : list) {
        out.insert(out.end(), n.begin(), n.end());
        out.push_back(0);
    }
    return out;
}

inline Bytes cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

inline Bytes zlib(const Bytes& raw) {
    uLongf len = compressBound(static_cast<uLong>(raw.size()));
    Bytes out(len);
    compress2(out.data(), &len, raw.data(), static_cast<uLong>(raw.size()), 6);
    out.resize(len);
    return out;
}

inline void put(Bytes& buf, size_t at, const Bytes& data) {
    if (buf.size() < at + data.size()) buf.resize(at + data.size());
    std::copy(data.begin(), data.end(), buf.begin() + static_cast<std::ptrdiff_t>(at));
}

inline Bytes le32(uint32_t v) {
    return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
            static_cast<uint8_t>(v >> 24)};
}

inline const Bytes kHeaderMark = hex("38 43 00 04 00 08");
inline const Bytes kRegionEnd = hex("44 00 63 00 03 08");
inline const Bytes kEndMark = hex("C1 21 00 00");

// A value blob: header numbers, the header mark, the region, then (when given) the region-end
// pattern and the initial-value tail.
inline Bytes blob(const Bytes& header, const Bytes& region, std::optional<Bytes> tail = {}) {
    Bytes out = cat({header, kHeaderMark, region});
    if (tail) out = cat({out, kRegionEnd, *tail});
    return out;
}

// A legacy file with `body` placed at offset `at`.
inline Bytes legacy(const Bytes& body, size_t at = 300) {
    Bytes buf(8);
    put(buf, 4, hex("FD E0 99 C1"));
    put(buf, at, body);
    return buf;
}

// A modern file: header word at 40, sections (zlib each) listed in a section table, further
// zlib streams in the given order, and an optional width table.
struct Modern {
    uint32_t header_word = 10;
    std::vector<Bytes> sections;
    std::vector<Bytes> streams;
    std::optional<Bytes> widths;
    size_t min_size = 0;

    // File offsets of what was placed (filled by build()).
    std::vector<size_t> section_at, stream_at;
    size_t table_at = 0, widths_at = 0;

    Bytes build() {
        Bytes buf(400);
        put(buf, 4, hex("1C 3E D9 48"));
        put(buf, 40, le32(header_word));
        size_t pos = 1024;
        std::vector<std::pair<size_t, size_t>> table;
        for (const Bytes& s : sections) {
            Bytes z = zlib(s);
            put(buf, pos, z);
            section_at.push_back(pos);
            table.emplace_back(pos, z.size());
            pos += z.size() + 16;
        }
        if (!table.empty()) {
            table_at = pos;
            put(buf, pos + 22, {static_cast<uint8_t>(table.size()), 0});
            for (size_t i = 0; i < table.size(); ++i) {
                put(buf, pos + 24 + 12 * i, le32(static_cast<uint32_t>(table[i].first)));
                put(buf, pos + 28 + 12 * i, le32(0));
                put(buf, pos + 32 + 12 * i, le32(static_cast<uint32_t>(table[i].second)));
            }
            put(buf, 264, le32(static_cast<uint32_t>(pos)));
            pos += 24 + 12 * table.size() + 16;
        }
        for (const Bytes& s : streams) {
            Bytes z = zlib(s);
            put(buf, pos, z);
            stream_at.push_back(pos);
            pos += z.size() + 16;
        }
        if (widths) {
            Bytes z = zlib(*widths);
            widths_at = pos;
            put(buf, 272, le32(static_cast<uint32_t>(pos)));
            put(buf, pos, cat({le32(static_cast<uint32_t>(z.size())), z}));
            pos += 4 + z.size();
        }
        buf.resize(std::max(pos + 8, min_size));
        return buf;
    }
};

}  // namespace fsdb_fixtures

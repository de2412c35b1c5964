// FSDB files come in two layouts, told apart by the magic at offset 4. The legacy layout keeps
// names as plain NUL-terminated text; the modern one compresses everything into zlib streams,
// which we find by scanning for zlib headers and classify by what their first bytes look like.
//
// Offsets and sizes read from the file are 32-bit; every sum of them is formed in 64 bits, so
// none wraps around. A range ending beyond the file is cut at the file's end; a table or length
// word that would start beyond the file counts as absent.
#include "trace/fsdb.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "trace/fsdb_values.h"
#include "trace/limits.h"
#include "trace/readers.h"
#include "trace/scan.h"

namespace tarn {

namespace fsdb {

namespace {

using scan::Bytes;

// The magic at offset 4 tells the layouts apart.
constexpr uint8_t kLegacyMagic[4] = {0xFD, 0xE0, 0x99, 0xC1};
constexpr uint8_t kModernMagic[4] = {0x1C, 0x3E, 0xD9, 0x48};
// Legacy layout: names are plain text after a fixed header.
constexpr size_t kLegacyNamesAt = 272;

// Modern header (little-endian words). The section and width tables are used only in a file
// longer than kMinTableFile whose header word is at most kMaxTableHeaderWord.
constexpr uint64_t kHeaderWordAt = 40;
constexpr uint64_t kSectionTableAt = 264;
constexpr uint64_t kWidthTableAt = 272;
constexpr size_t kMinTableFile = 384;
constexpr uint32_t kMaxTableHeaderWord = 84;
// Section table: a 16-bit count at +22, then 12-byte entries from +24 (offset at +0, size at +8).
constexpr uint64_t kSectionCountAt = 22;
constexpr uint64_t kSectionEntriesAt = 24;
constexpr uint64_t kSectionEntry = 12;
constexpr uint64_t kSectionSizeAt = 8;

// Stream classification looks at a stream's first bytes only.
constexpr size_t kClassifyBytes = 1024;
constexpr uint8_t kNameMark[2] = {0x38, 0x43};  // "8C": names with value data behind them
// Tool paths and build artefacts: such streams hold no signal names.
constexpr std::string_view kToolWords[] = {"simv", ".log", "csrc"};
// Names after a 0x02 byte in the file's last bytes, for files whose streams gave none.
constexpr size_t kTailWindow = 4096;

uint32_t u32(Bytes f, uint64_t at) {
    return static_cast<uint32_t>(f[at]) | static_cast<uint32_t>(f[at + 1]) << 8 |
           static_cast<uint32_t>(f[at + 2]) << 16 | static_cast<uint32_t>(f[at + 3]) << 24;
}
uint16_t u16(Bytes f, uint64_t at) {
    return static_cast<uint16_t>(f[at] | f[at + 1] << 8);
}

bool is_letter(uint8_t c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}
bool printable(uint8_t c) {
    return c >= 0x20 && c <= 0x7E;
}

bool contains(Bytes b, std::string_view s) {
    return std::search(b.begin(), b.end(), s.begin(), s.end()) != b.end();
}

struct Stream {
    size_t pos;
    std::vector<uint8_t> bytes;
};

struct Section {
    uint64_t offset;
    uint64_t size;
};

// Number of NUL-ended printable runs of 3 bytes or more in `b`, found as the identifier scan
// finds them.
size_t count_strings(Bytes b) {
    size_t count = 0, p = 0, n = b.size();
    while (p < n) {
        if (b[p] < 0x21 || b[p] > 0x7E) {
            ++p;
            continue;
        }
        size_t q = p + 1;
        while (q < n && printable(b[q])) ++q;
        if (q == n) break;
        if (b[q] == 0x00 && q - p >= 3) ++count;
        p = q + 1;
    }
    return count;
}

enum class Use { Ignore, Large, Small, Marked, Value };

Use classify(const std::vector<uint8_t>& s, bool have_sections) {
    const size_t n = s.size();
    const Bytes head(s.data(), std::min<size_t>(n, kClassifyBytes));
    const size_t strings = count_strings(head);

    bool marked = false;
    for (size_t i = 0; i + 1 < head.size() && !marked; ++i)
        marked = head[i] == kNameMark[0] && head[i + 1] == kNameMark[1];

    bool tool = false;
    for (std::string_view word : kToolWords) tool = tool || (n >= 4 && contains(head, word));
    if (n >= 6) tool = tool || contains(head, "daidir");

    bool packed = false;
    if (n >= 11) {
        size_t a = 0;
        for (size_t o = 0; o + 2 < n; o += 3)
            if (s[o] == 0x01 && s[o + 2] >= 0x40 && s[o + 2] <= 0x7F) ++a;
        size_t b = 0;
        if (n > 20) {
            size_t lim = std::min<size_t>(n, 200);
            const size_t offsets = (lim - 11 + 3) / 4;
            for (size_t i = 0; i < offsets; ++i) {
                const size_t o = 8 + 4 * i;
                if (o + 4 > n) break;
                uint32_t w = static_cast<uint32_t>(s[o]) | static_cast<uint32_t>(s[o + 1]) << 8 |
                             static_cast<uint32_t>(s[o + 2]) << 16 |
                             static_cast<uint32_t>(s[o + 3]) << 24;
                if ((w & 0x00FFFFFCu) < 100) ++b;
            }
        }
        packed = a > 5 || (n > 20 && b > 3);
    }

    auto is_end_mark = [&](size_t at) {
        return s[at] == 0xC1 && s[at + 1] == 0x21 && s[at + 2] == 0x00 && s[at + 3] == 0x00;
    };
    const bool short_end =
        n >= 3 && n <= 119 && s[n - 3] == 0x21 && s[n - 2] == 0x00 && s[n - 1] == 0x00 && !tool;
    const bool end_mark = (n >= 4 && is_end_mark(n - 4)) || (n >= 8 && is_end_mark(n - 8));

    auto value = [&] { return have_sections ? Use::Ignore : Use::Value; };
    auto marked_use = [&] { return strings >= 6 ? Use::Marked : value(); };
    auto count_use = [&] {
        return strings >= 11 ? Use::Large : strings >= 3 ? Use::Small : Use::Ignore;
    };
    if (tool || packed) return Use::Ignore;
    if (short_end) return marked ? marked_use() : strings >= 3 ? count_use() : Use::Ignore;
    if (marked) return marked_use();
    if (end_mark && strings < 3) return value();
    return count_use();
}

// Names after a 0x02 byte in the last 4096 bytes, for files whose streams gave none.
std::vector<std::string> tail_names(Bytes f) {
    std::vector<std::string> out;
    const Bytes w = f.last(kTailWindow);
    const size_t n = w.size();
    size_t i = 0;
    while (i < n) {
        if (!(i + 1 < n && w[i] == 0x02 && is_letter(w[i + 1]))) {
            ++i;
            continue;
        }
        const bool collect = i == 0 || w[i - 1] != 0x04;
        size_t j = i + 1;
        while (true) {
            if (!printable(w[j])) {
                i = j;
                break;
            }
            size_t q = j;
            while (q < n && printable(w[q])) ++q;
            if (q == n) return out;
            if (w[q] != 0x00) {
                i = q;
                break;
            }
            std::string_view s(reinterpret_cast<const char*>(w.data() + j), q - j);
            if (collect &&
                s.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                    "0123456789$.:[]_") == std::string_view::npos &&
                (is_letter(w[j]) || w[j] == '_'))
                out.emplace_back(s);
            if (q == n - 1) return out;
            j = q + 1;
        }
    }
    return out;
}

// The width table: per name an item 0x01, a byte, a type code (and for C/D two more bytes).
void apply_widths(Bytes f, uint64_t w, scan::TraceBuilder& tb) {
    if (w == 0 || w + 4 >= f.size()) return;
    uint64_t len = u32(f, w);
    if (w + 4 + len > f.size()) return;
    auto out = scan::inflate_capped(f.subspan(w + 4, len), limits::kFsdbWidthTable);
    if (!out) return;
    const std::vector<uint8_t>& t = *out;
    size_t q = 0, k = 0;
    while (q < t.size() && k < tb.num_names()) {
        uint8_t c = t[q];
        if (c == 0x01) {
            if (q + 2 >= t.size()) break;
            uint8_t code = t[q + 2];
            uint32_t width = 1;
            size_t next = q + 3;
            switch (code) {
                case 'C':
                case 'D':
                    width = 8;
                    if (q + 4 < t.size()) next = q + 5;
                    break;
                case 'j':
                    width = 2;
                    break;
                case '}':
                    width = 32;
                    break;
                case 'x':
                    width = 16;
                    break;
                default:
                    break;
            }
            tb.set_width(static_cast<uint64_t>(k), width);
            ++k;
            q = next;
        } else if (c == 0x02) {
            q += 4;
        } else if (c == 0x21) {
            break;
        } else {
            ++q;
        }
    }
}

Trace parse_modern(Bytes f) {
    scan::TraceBuilder tb(TraceKind::Fsdb);
    const size_t len = f.size();

    uint64_t table = 0, widths = 0;
    if (len > kMinTableFile && u32(f, kHeaderWordAt) <= kMaxTableHeaderWord) {
        table = u32(f, kSectionTableAt);
        widths = u32(f, kWidthTableAt);
    }

    std::vector<Section> sections;
    if (table != 0 && table + kSectionEntriesAt < len) {
        const uint16_t count = u16(f, table + kSectionCountAt);
        for (uint64_t i = 0; i < count; ++i) {
            const uint64_t at = table + kSectionEntriesAt + kSectionEntry * i;
            if (at + kSectionEntry > len) break;
            const uint64_t offset = u32(f, at), size = u32(f, at + kSectionSizeAt);
            if (offset != 0 && offset < len) sections.push_back({offset, size});
        }
    }

    std::vector<Stream> streams;
    uint64_t waste_left = limits::kFsdbScanWaste.for_bytes(len);
    for (size_t p = 0; streams.size() < limits::kFsdbStreams && p + 2 <= len;) {
        const uint8_t b1 = f[p + 1];
        // A zlib header: deflate with a 32 KiB window, any of the four compression levels.
        if (f[p] == 0x78 && (b1 == 0x01 || b1 == 0x5E || b1 == 0x9C || b1 == 0xDA)) {
            size_t work = 0;
            if (auto z = scan::try_zlib_decompress(f.subspan(p), &work)) {
                streams.push_back({p, std::move(z->bytes)});
                p += z->consumed >= 3 ? z->consumed : 2;
                continue;
            }
            if (work > waste_left) break;
            waste_left -= work;
        }
        ++p;
    }

    std::vector<const Stream*> large, marked, small, values;
    for (const Stream& s : streams) {
        if (std::any_of(sections.begin(), sections.end(),
                        [&](const Section& x) { return x.offset == s.pos; }))
            continue;
        switch (classify(s.bytes, !sections.empty())) {
            case Use::Large:
                large.push_back(&s);
                break;
            case Use::Small:
                small.push_back(&s);
                break;
            case Use::Marked:
                marked.push_back(&s);
                values.push_back(&s);
                break;
            case Use::Value:
                values.push_back(&s);
                break;
            case Use::Ignore:
                break;
        }
    }

    for (const auto* list : {&large, &marked, &small})
        for (const Stream* s : *list)
            tb.register_names(scan::extract_identifiers(s->bytes, scan::Rule::Strict));
    if (tb.num_names() == 0 && len > kTailWindow) tb.register_names(tail_names(f));

    apply_widths(f, widths, tb);

    // Values: the sections in table order, then the streams kept for values, in file order.
    // Sections are inflated one at a time as they are decoded, so at most one is held at once.
    ValueDecoder dec(tb.num_names(), limits::kFsdbValueWork.for_bytes(len));
    uint64_t inflate_left = limits::kFsdbSectionBytes.for_bytes(len);
    bool any_blob = false;
    for (const Section& sec : sections) {
        if (dec.exhausted() || inflate_left == 0) break;
        const uint64_t end = std::min<uint64_t>(sec.offset + sec.size, len);
        size_t work = 0;
        auto z = scan::try_zlib_decompress(f.subspan(sec.offset, end - sec.offset), &work);
        const uint64_t end2 = std::min<uint64_t>(sec.offset + sec.size + 2, len);
        if (!z && end2 != end)
            z = scan::try_zlib_decompress(f.subspan(sec.offset, end2 - sec.offset), &work);
        inflate_left -= std::min<uint64_t>(inflate_left, work);
        if (!z) continue;
        any_blob = true;
        dec.decode(z->bytes);
    }
    for (const Stream* s : values) {
        any_blob = true;
        dec.decode(s->bytes);
    }
    if (any_blob) dec.finish(tb.timestamps(), tb.store());

    tb.derive_scopes();
    return std::move(tb).finish();
}

Trace parse_legacy(Bytes f) {
    scan::TraceBuilder tb(TraceKind::Fsdb);
    tb.register_names(scan::extract_identifiers(
        f.subspan(std::min<size_t>(f.size(), kLegacyNamesAt)), scan::Rule::Strict));
    tb.derive_scopes();
    return std::move(tb).finish();
}

}  // namespace

Result<Trace> parse(std::span<const uint8_t> file) {
    if (file.size() <= 11) return Result<Trace>::fail("FSDB file too small");
    const Bytes magic = file.subspan(4, 4);
    if (std::equal(magic.begin(), magic.end(), kLegacyMagic)) return parse_legacy(file);
    if (std::equal(magic.begin(), magic.end(), kModernMagic)) return parse_modern(file);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%02X%02X%02X%02X", magic[0], magic[1], magic[2], magic[3]);
    return Result<Trace>::fail(std::string("Not an FSDB file (magic=0x") + hex + ")");
}

}  // namespace fsdb

Result<Trace> read_fsdb(const std::string& path) {
    return scan::parse_file(path, fsdb::parse);
}

}  // namespace tarn

#include "trace/shm.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <system_error>

#include "trace/limits.h"
#include "trace/readers.h"
#include "util/text.h"

namespace tarn::shm {

namespace {

namespace fs = std::filesystem;

// Both kinds of file start with this magic.
constexpr uint8_t kMagic[4] = {0xA1, 0x95, 0x11, 0xBF};

// ---- Design file ----
// Records start after a 128-byte file header. A record starts with its tag, a forward link to
// the next record and a pointer to its strings (big-endian words), its strings follow.
constexpr uint64_t kFirstRecord = 128;
constexpr uint64_t kRecordHead = 12;
// Strings of a record without a usable link end this far on.
constexpr uint64_t kUnlinkedRecordBytes = 256;
// A signal whose string pointer points back at an earlier record's strings takes its name from
// this many bytes there.
constexpr uint64_t kSharedNameBytes = 64;
// Without a usable link the next record is looked for this far after the record head.
constexpr uint64_t kRecordSearchBytes = 1024;

// Record tags.
constexpr uint32_t kMetaV1 = 0x00010102;
constexpr uint32_t kMetaV2 = 0x00031102;
constexpr uint32_t kScopeDef = 0x00070501;
constexpr uint32_t kScopeDef2 = 0x00270501;
constexpr uint32_t kScopeInst = 0x00070601;
constexpr uint32_t kSourceFile = 0x000F0400;
constexpr uint32_t kSignal = 0x00090700;
constexpr uint32_t kSignal2 = 0x00290700;
constexpr uint32_t kBusSignal = 0x00020C07;
constexpr uint32_t kVarTypeA = 0x00100B02;
constexpr uint32_t kVarTypeT = 0x00100B04;
constexpr uint32_t kVarTypeB = 0x00100B05;
constexpr uint32_t kVarTypeV = 0x00120C0B;
constexpr uint32_t kVarTypeC = 0x00140B07;
// The high halves of the tags above: a record search also stops at other tags of these families.
constexpr uint16_t kTagFamilies[] = {0x0002, 0x0007, 0x0009, 0x000F,
                                     0x0010, 0x0014, 0x0027, 0x0029};

// ---- Transition file ----
constexpr uint64_t kMinTransitionFile = 24;
// The word at 8 gives the time scale: file time * scale / 1000 = trace time.
constexpr uint64_t kScaleCodeAt = 8;
constexpr uint64_t kUnitScale = 1000;
// A block: its data bytes [b, c) and more up to a, then a 64-byte header that starts with the
// marker and holds big-endian words at these offsets.
constexpr uint8_t kBlockMarker[4] = {0x00, 0x1B, 0x22, 0x00};
constexpr uint64_t kBlockHeader = 64;
constexpr uint64_t kBlockTimeAt = 28;
constexpr uint64_t kBlockCountAt = 40;
constexpr uint64_t kBlockEndAt = 48;      // a
constexpr uint64_t kBlockDataAt = 52;     // b
constexpr uint64_t kBlockDataEndAt = 56;  // c
// A state byte of one signal: bits 3-4 are 01 for 0 and 10 for 1 (or the byte is 00 or 40, bit 6
// the value).
constexpr uint8_t kStateBits = 0x18;
constexpr uint8_t kState0 = 0x08;
constexpr uint8_t kState1 = 0x10;
constexpr uint8_t kBit6 = 0x40;
// Packed changes: one state byte holds up to eight signals, most significant bit first; the
// block holds the state and one mask per change, plus 2 to 4 bytes more.
constexpr uint64_t kPackedSignals = 8;
constexpr uint64_t kPackedSlackMin = 2;
constexpr uint64_t kPackedSlackMax = 4;

uint8_t byte_at(std::string_view s, uint64_t i) {
    return static_cast<uint8_t>(s[size_t(i)]);
}

uint32_t be32(std::string_view s, uint64_t i) {
    return uint32_t(byte_at(s, i)) << 24 | uint32_t(byte_at(s, i + 1)) << 16 |
           uint32_t(byte_at(s, i + 2)) << 8 | uint32_t(byte_at(s, i + 3));
}

// The word at i, or 0 when it does not lie wholly inside the file.
uint32_t be32_or0(std::string_view s, uint64_t i) {
    return i + 4 <= s.size() ? be32(s, i) : 0;
}

bool bytes_equal(std::string_view s, uint64_t i, const uint8_t (&want)[4]) {
    return i + 4 <= s.size() && std::memcmp(s.data() + i, want, 4) == 0;
}

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

bool ends_with(const std::string& s, std::string_view end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

std::string hex8(std::string_view s, uint64_t i) {
    static const char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (int k = 0; k < 4; ++k) {
        uint8_t b = byte_at(s, i + k);
        out += kDigits[b >> 4];
        out += kDigits[b & 15];
    }
    return out;
}

bool is_file(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// The sibling of `p` with extension `ext` (given in lower case). The upper-case spelling is
// tried too, first when `p`'s own extension is upper case, so X.DSN finds X.TRN.
std::optional<std::string> sibling(const fs::path& p, std::string_view ext) {
    std::string own = p.extension().string();
    bool upper = own.size() > 1 && std::all_of(own.begin() + 1, own.end(),
                                               [](char c) { return !(c >= 'a' && c <= 'z'); });
    std::string up(ext);
    for (char& c : up) c = char(c - 'a' + 'A');
    std::string first = upper ? up : std::string(ext), second = upper ? std::string(ext) : up;
    for (const std::string& e : {first, second}) {
        fs::path q = p;
        q.replace_extension(e);
        if (is_file(q)) return q.string();
    }
    return std::nullopt;
}

enum class Kind { Other, Signal, Scope };

Kind kind_of(uint32_t tag) {
    switch (tag) {
        case kSignal:
        case kSignal2:
            return Kind::Signal;
        case kScopeDef:
        case kScopeDef2:
        case kScopeInst:
            return Kind::Scope;
        default:
            return Kind::Other;
    }
}

bool is_record_start(uint32_t tag) {
    for (uint32_t known :
         {kMetaV1, kMetaV2, kScopeDef, kScopeDef2, kScopeInst, kSourceFile, kSignal, kSignal2,
          kBusSignal, kVarTypeA, kVarTypeT, kVarTypeB, kVarTypeV, kVarTypeC})
        if (tag == known) return true;
    const auto family = static_cast<uint16_t>(tag >> 16);
    return std::find(std::begin(kTagFamilies), std::end(kTagFamilies), family) !=
           std::end(kTagFamilies);
}

size_t utf8_chars(std::string_view s) {
    size_t n = 0;
    for (char c : s) n += (static_cast<uint8_t>(c) & 0xC0) != 0x80;
    return n;
}

}  // namespace

Result<Files> locate(const std::string& path) {
    Files f;
    std::error_code ec;
    fs::path p(path);
    if (fs::is_directory(p, ec)) {
        std::vector<std::string> designs;
        fs::directory_iterator it(p, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            std::string name = lower(it->path().filename().string());
            if (ends_with(name, ".dsn"))
                designs.push_back(it->path().string());
            else if (ends_with(name, ".trn"))
                f.transitions.push_back(it->path().string());
        }
        if (designs.empty() && f.transitions.empty())
            return Result<Files>::fail("No .dsn/.trn in " + path);
        // Several design files: the byte-wise last wins, whatever order the listing gives.
        if (!designs.empty()) f.design = *std::max_element(designs.begin(), designs.end());
        std::sort(f.transitions.begin(), f.transitions.end());
        return f;
    }
    std::string ext = p.has_extension() ? lower(p.extension().string().substr(1)) : "";
    if (ext == "dsn") {
        f.design = path;
        if (auto t = sibling(p, "trn")) f.transitions.push_back(*t);
    } else if (ext == "trn") {
        f.design = sibling(p, "dsn");
        f.transitions.push_back(path);
    } else {
        f.design = path;
    }
    return f;
}

std::vector<std::string> extract_strings(std::string_view bytes, uint64_t start, uint64_t end) {
    std::vector<std::string> out;
    uint64_t limit = std::min<uint64_t>(end, bytes.size());
    for (uint64_t q = start; q < end; ++q) {
        if (q >= bytes.size()) break;  // nothing past the file can start a string
        uint8_t c = byte_at(bytes, q);
        if (c < 0x20 || c > 0x7E) continue;
        const char* from = bytes.data() + q;
        const void* nul = q < limit ? std::memchr(from, 0, size_t(limit - q)) : nullptr;
        uint64_t stop = nul ? uint64_t(static_cast<const char*>(nul) - bytes.data()) : limit;
        std::string_view s(from, size_t(stop - q));
        if (text::is_utf8(s)) out.emplace_back(s);
        q = stop;
    }
    return out;
}

bool is_ident(std::string_view t) {
    if (t.empty()) return false;
    auto alpha = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    if (!alpha(t[0]) && t[0] != '_') return false;
    for (char c : t) {
        if (alpha(c) || (c >= '0' && c <= '9')) continue;
        if (std::strchr("$().[]_", c) == nullptr || c == '\0') return false;
    }
    return true;
}

Result<bool> read_design(std::string_view s, scan::TraceBuilder& d) {
    const uint64_t len = s.size();
    if (len < kFirstRecord) return true;
    if (!bytes_equal(s, 0, kMagic)) return Result<bool>::fail("Bad DSN magic: 0x" + hex8(s, 0));
    if (len < kFirstRecord + kRecordHead) return true;
    uint64_t p = kFirstRecord;
    while (p + 4 <= len) {
        uint32_t tag = be32(s, p);
        if (tag == 0) {
            p += 4;
            if (p + kRecordHead > len) break;
            continue;
        }
        uint64_t a = be32_or0(s, p + 4), b = be32_or0(s, p + 8);
        bool link_ok = p < a && a <= len;
        uint64_t end = link_ok ? a : std::min(p + kUnlinkedRecordBytes, len);
        uint64_t start = (p + kRecordHead <= b && b <= len) ? b : p + kRecordHead;
        Kind kind = kind_of(tag);
        if (kind == Kind::Signal) {
            if (b == 0 || b >= p || b >= len) {
                for (std::string& str : extract_strings(s, start, end))
                    if (is_ident(str)) d.register_name(str);
            } else {
                // The name is shared with an earlier record: the first string there.
                for (std::string& str :
                     extract_strings(s, b, std::min(b + kSharedNameBytes, len))) {
                    if (is_ident(str) && !d.find(str)) {
                        d.register_name(str);
                        break;
                    }
                }
            }
        } else if (kind == Kind::Scope) {
            for (std::string& str : extract_strings(s, start, end))
                if (utf8_chars(str) >= 2) d.scopes().push_back(std::move(str));
        }
        uint64_t next = 0;
        if (link_ok) {
            next = a;
        } else {
            // No usable link: look a little further for something that starts a record.
            int64_t lo = int64_t(p + kRecordHead),
                    hi = std::min<int64_t>(int64_t(p + kRecordHead + kRecordSearchBytes),
                                           int64_t(len) - int64_t(kRecordHead));
            int64_t count = hi > lo ? (hi - lo + 3) / 4 : 0;
            for (int64_t k = 0; k < count; ++k) {
                uint64_t q = uint64_t(lo + 4 * k);
                if (q + 4 <= len && is_record_start(be32(s, q))) {
                    next = q;
                    break;
                }
            }
            if (next == 0) break;
        }
        if (next + kRecordHead > len) break;
        p = next;
    }
    return true;
}

namespace {

// Decoding state of one transition file.
struct Decoder {
    std::string_view s;
    uint64_t len;
    uint64_t n;      // registered names
    uint64_t scale;  // file time * scale / kUnitScale = trace time
    uint64_t* budget;
    std::vector<Event> events;
    std::vector<uint8_t> timed;  // per signal: has an event at a non-zero time
    bool exhausted = false;

    uint64_t trace_time(uint64_t t) const { return t * scale / kUnitScale; }
    uint8_t at(uint64_t i) const { return byte_at(s, i); }
    bool spend(uint64_t steps) {
        if (steps > *budget) {
            *budget = 0;
            exhausted = true;
            return false;
        }
        *budget -= steps;
        return true;
    }
    void add(uint64_t time, uint64_t id, uint8_t value) {
        events.push_back({time, uint32_t(id), value});
        if (time != 0) timed[size_t(id)] = 1;
    }
};

struct Block {
    uint64_t time, count, a, b, c;
};

// The value of a two-bit state byte.
uint8_t state_value(uint8_t v) {
    return (v & kStateBits) == kState1;
}

// The blocks of the file in file order, found by their header marker, and the largest block
// time. A block with no changes or with data outside the file is left out.
std::vector<Block> find_blocks(std::string_view s, uint64_t* largest_time) {
    const uint64_t len = s.size();
    std::vector<Block> blocks;
    for (uint64_t o = 0; o + kBlockHeader <= len;) {
        if (!bytes_equal(s, o, kBlockMarker)) {
            ++o;
            continue;
        }
        Block blk{be32(s, o + kBlockTimeAt), be32(s, o + kBlockCountAt), be32(s, o + kBlockEndAt),
                  be32(s, o + kBlockDataAt), be32(s, o + kBlockDataEndAt)};
        *largest_time = std::max(*largest_time, blk.time);
        if (blk.count != 0 && blk.b <= blk.c && blk.c <= len && (blk.a > len ? blk.a : blk.b) < len)
            blocks.push_back(blk);
        o += kBlockHeader;
    }
    return blocks;
}

// Initial states: one state byte per signal, all of one form. Returns whether the block was
// read so.
bool initial_states(Decoder& dec, const Block& blk, uint64_t base, uint64_t m) {
    if (m == 0 || blk.b + m > dec.len) return false;
    bool two_bit = true, bit6 = true;
    uint64_t k = 0;
    for (; k < m && (two_bit || bit6); ++k) {
        uint8_t v = dec.at(blk.b + k);
        two_bit = two_bit && ((v & kStateBits) == kState0 || (v & kStateBits) == kState1);
        bit6 = bit6 && (v == 0x00 || v == kBit6);
    }
    if (!dec.spend(k) || !(two_bit || bit6) || !dec.spend(m)) return false;
    for (uint64_t j = 0; j < m; ++j) {
        uint8_t v = dec.at(blk.b + j);
        dec.add(0, base + j, two_bit ? state_value(v) : ((v >> 6) & 1));
    }
    return true;
}

// The event a single-signal block encodes in its time code, if any. Returns false when the
// packed-change step should run instead. The searches are charged to the budget, as a hostile
// file can point many blocks at one long range.
//
// The code lies in the bytes [c, a): a type byte (0x11 to 0x14) some bytes before a 01 8F or
// 01 81 pair; the bits of the few bytes after the type byte spell a number f from which the
// change time follows as (block time / 2 + K * f) mod P, with K and P per type.
bool time_code(Decoder& dec, const Block& blk, uint64_t base, uint64_t span) {
    uint64_t t = blk.a > blk.c ? blk.a - blk.c : 0;
    if (t <= 11 || blk.a > dec.len) return false;
    const uint64_t c = blk.c;
    auto R = [&](uint64_t i) { return dec.at(c + i); };
    uint64_t i = 2;
    while (i + 4 <= t && !(R(i + 2) == 0x01 && (R(i + 3) == 0x8F || R(i + 3) == 0x81))) ++i;
    if (!dec.spend(i) || i + 4 > t || i + 2 < 5) return false;
    uint64_t k = 0;
    for (; k + 3 <= i; ++k) {
        uint8_t type = R(k + 1);
        if (type < 0x11 || type > 0x14) continue;
        uint8_t r3 = R(k + 3);
        if (r3 == 0x7C || r3 == 0x88 || r3 == 0xFC || R(k + 2) >= 0x40) break;
    }
    if (!dec.spend(k) || k + 3 > i) return false;
    if (base >= dec.n || span != 1 || blk.count != 1) return false;
    const uint64_t d = i - k, t0 = blk.time;
    std::optional<uint64_t> r;
    auto bit = [](uint8_t v, int from, int to) { return uint64_t((v >> from) & 1) << to; };
    uint8_t type = R(k + 1);
    if (type == 0x13 && d >= 7) {  // a 7-bit f
        uint64_t f = uint64_t(R(k + 5) & 0x60) | bit(R(k + 7), 2, 4) | bit(R(k + 7), 0, 3) |
                     bit(R(k + 8), 6, 2) | bit(R(k + 8), 4, 1) | bit(R(k + 8), 2, 0);
        if (f != 0 && f != 0x7F) r = (t0 / 2 + 108 * f) % 127;
    } else if (type == 0x12 && d >= 5) {  // an 11-bit f
        uint8_t r2 = R(k + 2), r5 = R(k + 5), r6 = R(k + 6);
        uint64_t f = bit(r2, 7, 10) | bit(r2, 5, 9) | bit(r5, 5, 8) | bit(r5, 2, 7) |
                     bit(r5, 1, 6) | bit(r6, 7, 5) | bit(r6, 6, 4) | bit(r6, 5, 3) | bit(r6, 4, 2) |
                     bit(r6, 2, 1) | bit(r6, 0, 0);
        if (f >= 1 && f <= 0x7FE) r = (t0 / 2 + 1297 * f) % 2047;
    }
    if (r && *r <= t0 && dec.spend(1))
        dec.add(dec.trace_time(*r), base, (dec.at(blk.b) & kStateBits) != kState1 ? 1 : 0);
    return true;
}

// Packed changes: a state byte for up to eight signals, then one XOR mask per change, spread
// evenly over the block's time. Returns whether the block has this shape.
bool packed_changes(Decoder& dec, const Block& blk, uint64_t base, uint64_t remaining,
                    uint64_t span) {
    const uint64_t count = blk.count, t0 = blk.time;
    const uint64_t slack = span - std::min(span, count);
    if (count == 0 || t0 == 0 || blk.c > dec.len || count == 1 || slack < kPackedSlackMin ||
        slack > kPackedSlackMax || count + 1 > span)
        return false;
    const uint64_t sigs = base < dec.n ? std::min(remaining, kPackedSignals) : 0;
    if (sigs == 0 || !dec.spend(count + sigs)) return true;
    const uint64_t T = dec.trace_time(t0);
    uint8_t state = dec.at(blk.b);
    for (uint64_t j = 0; j < sigs; ++j) dec.add(0, base + j, (state >> (7 - j)) & 1);
    for (uint64_t k = 0; k < count && !dec.exhausted; ++k) {
        uint64_t time = T * (k + 1) / (count + 1);
        uint8_t flip = dec.at(blk.b + 1 + k);
        uint8_t next = flip ^ state;
        for (uint64_t j = 0; j < sigs; ++j) {
            if (((flip >> (7 - j)) & 1) == 0) continue;
            if (!dec.spend(1)) break;
            dec.add(time, base + j, (next >> (7 - j)) & 1);
        }
        state = next;
    }
    return true;
}

// Toggle fill: a block that gave only initial states toggles its m signals `count` times, evenly
// over its time. Toggles that share a time are not visible but the last, so each time is
// written once, with the state of its last toggle.
void toggle_fill(Decoder& dec, const Block& blk, uint64_t base, uint64_t m) {
    for (uint64_t j = 0; j < m; ++j)
        if (dec.timed[size_t(base + j)]) return;
    const uint64_t T = dec.trace_time(blk.time), count = blk.count;
    // Toggle k happens at T * k / (count + 1).
    for (uint64_t k = 1; k <= count && !dec.exhausted; ++k) {
        uint64_t time = T * k / (count + 1);
        if (T != 0) {
            unsigned __int128 lim = (unsigned __int128)(time + 1) * (count + 1) - 1;
            k = std::max<uint64_t>(k, uint64_t(std::min<unsigned __int128>(lim / T, count)));
        } else {
            k = count;
        }
        if (!dec.spend(m)) break;
        for (uint64_t j = 0; j < m; ++j)
            dec.add(time, base + j, uint8_t((k & 1) ^ state_value(dec.at(blk.b + j))));
    }
}

}  // namespace

std::optional<Decoded> decode_transitions(std::string_view s, uint64_t num_names,
                                          uint64_t* budget) {
    const uint64_t len = s.size();
    if (len < kMinTransitionFile || !bytes_equal(s, 0, kMagic) || num_names == 0)
        return std::nullopt;
    Decoder dec{s, len, num_names, kUnitScale, budget, {}, {}};
    dec.timed.assign(size_t(num_names), 0);
    uint32_t code = be32(s, kScaleCodeAt);
    if (code == 6)
        dec.scale = 100;
    else if (code == 5)
        dec.scale = 10;

    uint64_t largest_time = 0;
    const std::vector<Block> blocks = find_blocks(s, &largest_time);

    // Blocks describe consecutive signals: `base` is the id of the block's first signal.
    const uint64_t n = num_names;
    uint64_t base = 0;
    for (size_t bi = 0; bi < blocks.size() && !dec.exhausted; ++bi) {
        const Block& blk = blocks[bi];
        const uint64_t span = blk.c - blk.b;
        const uint64_t remaining = base > n ? 0 : n - base;
        const uint64_t m = std::min(span, remaining);
        bool handled = initial_states(dec, blk, base, m);
        const bool coded = !dec.exhausted && time_code(dec, blk, base, span);
        if (!coded && span >= 4 && !handled && !dec.exhausted)
            handled = packed_changes(dec, blk, base, remaining, span);
        if (handled && m > 0 && blk.count != 0 && blk.time != 0 && !dec.exhausted)
            toggle_fill(dec, blk, base, m);

        if (handled) {
            base += m;
        } else if (span == 0) {
            base += 1;
        } else {
            // Not understood: leave room for one signal per block still to come.
            int64_t after = int64_t(blocks.size() - bi - 1);
            base += uint64_t(std::max<int64_t>(1, int64_t(remaining) - after));
        }
    }

    Decoded out;
    out.times.reserve(dec.events.size() + 2);
    out.times.push_back(0);
    for (const Event& e : dec.events) out.times.push_back(e.time);
    if (dec.trace_time(largest_time) != 0) out.times.push_back(dec.trace_time(largest_time));
    std::sort(out.times.begin(), out.times.end());
    out.times.erase(std::unique(out.times.begin(), out.times.end()), out.times.end());
    out.events = std::move(dec.events);
    return out;
}

Result<Trace> build(std::optional<std::string_view> dsn,
                    const std::vector<std::optional<std::string_view>>& trns) {
    scan::TraceBuilder b(TraceKind::Shm);
    if (dsn) {
        Result<bool> r = read_design(*dsn, b);
        if (!r) return Result<Trace>::fail(r.error());
    }
    TraceData& d = b.data();
    const uint64_t n = d.signal_names.size();

    // Several transition files are merged: the time stamps are the union of theirs, and each
    // event lands at its own time; for one slot a later file wins over an earlier one.
    std::vector<Decoded> files;
    uint64_t budget = limits::kShmStepsPerLoad;
    for (const auto& t : trns) {
        if (!t) continue;
        uint64_t own = std::min(budget, limits::kShmSteps.for_bytes(t->size())), left = own;
        if (auto dec = decode_transitions(*t, n, &left)) files.push_back(std::move(*dec));
        budget -= own - left;
    }
    if (files.empty()) return std::move(b).finish();
    for (const Decoded& f : files)
        d.timestamps.insert(d.timestamps.end(), f.times.begin(), f.times.end());
    std::sort(d.timestamps.begin(), d.timestamps.end());
    d.timestamps.erase(std::unique(d.timestamps.begin(), d.timestamps.end()), d.timestamps.end());

    // (id, index) in one key; a stable sort keeps the file and event order of each slot.
    struct Slot {
        uint64_t key;
        uint8_t value;
    };
    std::vector<Slot> slots;
    for (Decoded& f : files) {
        for (const Event& e : f.events) {
            auto it = std::lower_bound(d.timestamps.begin(), d.timestamps.end(), e.time);
            slots.push_back({uint64_t(e.id) << 32 | uint64_t(it - d.timestamps.begin()), e.value});
        }
        f.events = {};
    }
    std::stable_sort(slots.begin(), slots.end(),
                     [](const Slot& x, const Slot& y) { return x.key < y.key; });
    // Every signal starts at 0 unless a file says otherwise at time 0; later slots carry on.
    size_t k = 0;
    for (uint64_t id = 0; id < n; ++id) {
        if (k >= slots.size() || slots[k].key != id << 32) d.store.append_int(id, 0, 0);
        for (; k < slots.size() && (slots[k].key >> 32) == id; ++k) {
            if (k + 1 < slots.size() && slots[k + 1].key == slots[k].key) continue;  // later wins
            d.store.append_int(id, slots[k].key & 0xFFFFFFFF, slots[k].value);
        }
    }
    d.store.finish(d.timestamps.size());
    return std::move(b).finish();
}

}  // namespace tarn::shm

namespace tarn {

Result<Trace> read_shm(const std::string& path) {
    Result<shm::Files> files = shm::locate(path);
    if (!files) return Result<Trace>::fail(files.error());
    const shm::Files& f = files.value();
    auto view = [](const std::vector<uint8_t>& v) {
        return std::string_view(reinterpret_cast<const char*>(v.data()), v.size());
    };
    Result<std::vector<uint8_t>> dsn = std::vector<uint8_t>();
    if (f.design) {
        dsn = scan::read_file(*f.design);
        if (!dsn) {
            // Only the system's description: "DSN: " names the stage.
            std::string prefix = "Failed to read " + *f.design + ": ";
            const std::string& e = dsn.error();
            return Result<Trace>::fail("DSN: " +
                                       (e.rfind(prefix, 0) == 0 ? e.substr(prefix.size()) : e));
        }
    }
    // Transition files are only worth reading when there is a design file to give names.
    std::vector<std::vector<uint8_t>> bodies;
    std::vector<std::optional<std::string_view>> trns;
    bodies.reserve(f.transitions.size());
    for (const std::string& t : f.transitions) {
        Result<std::vector<uint8_t>> r =
            f.design ? scan::read_file(t) : Result<std::vector<uint8_t>>::fail("");
        bodies.push_back(r ? std::move(r).value() : std::vector<uint8_t>());
        trns.push_back(r ? std::optional<std::string_view>(view(bodies.back())) : std::nullopt);
    }
    return shm::build(f.design ? std::optional<std::string_view>(view(dsn.value())) : std::nullopt,
                      trns);
}

}  // namespace tarn

#include "trace/fsdb_values.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <optional>

namespace tarn::fsdb {

namespace {

using Bytes = std::span<const uint8_t>;

// Byte patterns of a blob: the header mark ends the header; the end mark closes the blob's data
// (and admits a blob without header mark); the region end ends the value region, and the
// initial-value tail follows it; filler is unused space.
constexpr std::array<uint8_t, 6> kHeaderMark{0x38, 0x43, 0x00, 0x04, 0x00, 0x08};
constexpr std::array<uint8_t, 4> kEndMark{0xC1, 0x21, 0x00, 0x00};
constexpr std::array<uint8_t, 6> kRegionEnd{0x44, 0x00, 0x63, 0x00, 0x03, 0x08};
constexpr std::array<uint8_t, 4> kFiller{0xFF, 0xFF, 0xFF, 0xFF};
constexpr size_t npos = static_cast<size_t>(-1);

constexpr size_t kMinBlob = 8;  // shorter blobs hold nothing
// The header numbers read when a blob has no header mark (but an end mark).
constexpr int kUnmarkedHeaderNumbers = 4;
constexpr uint8_t kSeparator = 0x08;  // splits the value region into pieces
// First bytes of a pair that make it a marker: 0x80 + offset derives a stream of full values,
// 0x40 + offset one of the values' low bits. Below 0x40 the byte is a time delta.
constexpr uint8_t kFullMarker = 0x80;
constexpr uint8_t kBitMarker = 0x40;
// Times advance in units of 10 between separated pairs; unseparated pairs and the header's
// initial time count steps of 5.
constexpr uint64_t kTick = 10;
constexpr uint64_t kStep = 5;
// Initial-value tail items.
constexpr uint8_t kTailPair = 0x01;              // 01 value, then a base-128 number
constexpr uint8_t kNextHeader = kHeaderMark[0];  // after 01 x: the tail has run into a header
constexpr uint8_t kLargestValue = 0xFF;
constexpr uint8_t kTailCodeMax = 0x08;  // other bytes up to this one are codes, not values
// The clock piece: a flag bit in byte 0, the period in steps of 5 in byte 2, "0" in byte 3 when
// the clock starts low.
constexpr size_t kClockBytes = 4;
constexpr uint8_t kClockFlag = 0x40;

// First start of `pat` lying wholly inside [from, end), or npos.
template <size_t K>
size_t find(Bytes b, size_t from, size_t end, const std::array<uint8_t, K>& pat) {
    if (end < from + K) return npos;
    auto first = b.begin() + static_cast<std::ptrdiff_t>(from);
    auto last = b.begin() + static_cast<std::ptrdiff_t>(end);
    auto it = std::search(first, last, pat.begin(), pat.end());
    return it == last ? npos : static_cast<size_t>(it - b.begin());
}

// Whether `pat` lies wholly inside the blob at `pos`.
template <size_t K>
bool starts_at(Bytes b, size_t pos, const std::array<uint8_t, K>& pat) {
    return pos + K <= b.size() && std::equal(pat.begin(), pat.end(), b.begin() + pos);
}

// A base-128 number, least significant group first, within [pos, end): it ends at a byte with
// the top bit clear, after its tenth byte, or at `end`. Bits beyond 64 are dropped.
uint64_t read_b128(Bytes b, size_t& pos, size_t end) {
    uint64_t v = 0;
    for (unsigned i = 0; i < 10 && pos < end; ++i) {
        uint8_t c = b[pos++];
        if (i * 7 < 64) v |= static_cast<uint64_t>(c & 0x7F) << (i * 7);
        if (!(c & 0x80)) break;
    }
    return v;
}

// Position just after the first byte at or after `j` with the top bit clear (n when none).
size_t skip_high(Bytes b, size_t j) {
    size_t n = b.size();
    while (j < n && (b[j] & 0x80)) ++j;
    return j < n ? j + 1 : n;
}

// ---- Stages of a blob ----------------------------------------------------------------------

struct Header {
    size_t end;           // where the header mark starts (or the numbers end)
    uint32_t limit;       // most pairs an unseparated region gives; 0 for no limit
    uint64_t init_value;  // 0 for none
    uint64_t init_time;
};

// The header: up to its mark, or, in a blob without one that holds the end mark, four
// base-128 numbers. Absent when the blob has neither mark.
std::optional<Header> read_header(Bytes b) {
    const size_t n = b.size();
    size_t h = find(b, 0, n, kHeaderMark);
    if (h == npos) {
        if (find(b, 0, n, kEndMark) == npos) return std::nullopt;
        h = 0;
        for (int i = 0; i < kUnmarkedHeaderNumbers; ++i) read_b128(b, h, n);
    }
    std::vector<uint64_t> v;
    for (size_t pos = 0; pos < h && v.size() < 6;) v.push_back(read_b128(b, pos, h));
    return Header{h, v.size() >= 4 ? static_cast<uint32_t>(v[3]) : 0, v.size() >= 5 ? v[4] : 0,
                  v.size() >= 6 ? (v[5] + 1) * kStep : kStep};
}

struct Region {
    size_t begin, end;  // the value region
    size_t tail;        // start of the initial-value tail, npos when there is none
};

// The value region follows the header mark's six bytes (also where the header had no mark; a
// region that would start beyond the blob is empty). The region-end pattern ends it and starts
// the tail; filler or the end mark inside it cut it short.
Region find_region(Bytes b, size_t header_end) {
    const size_t n = b.size();
    Region r{std::min(header_end + kHeaderMark.size(), n), n, npos};
    if (size_t p = find(b, r.begin, n, kRegionEnd); p != npos) {
        r.end = p;
        r.tail = p + kRegionEnd.size();
    }
    if (size_t p = find(b, r.begin, r.end, kFiller); p != npos) r.end = p;
    if (size_t p = find(b, r.begin, r.end, kEndMark); p != npos) r.end = p;
    return r;
}

using Span = std::pair<size_t, size_t>;  // [start, end) in the blob

struct Pieces {
    bool separated;  // the region held a separator
    std::vector<Span> pieces;
    std::optional<Span> clock;  // the last of two or more separated pieces
};

// The region cut at each separator (empty pieces between two separators count; a trailing
// separator adds none). An unseparated region is one piece, an empty one none.
Pieces split_region(Bytes b, const Region& r) {
    Pieces out;
    const auto first = b.begin() + static_cast<std::ptrdiff_t>(r.begin);
    const auto last = b.begin() + static_cast<std::ptrdiff_t>(r.end);
    out.separated = std::find(first, last, kSeparator) != last;
    if (out.separated) {
        size_t start = r.begin;
        for (size_t i = r.begin; i < r.end; ++i) {
            if (b[i] != kSeparator) continue;
            out.pieces.emplace_back(start, i);
            start = i + 1;
        }
        if (start < r.end) out.pieces.emplace_back(start, r.end);
        if (out.pieces.size() >= 2) {
            out.clock = out.pieces.back();
            out.pieces.pop_back();
        }
    } else if (r.end > r.begin) {
        out.pieces.emplace_back(r.begin, r.end);
    }
    return out;
}

struct Marker {
    bool full;
    uint8_t offset;
};

// The blob's own stream of (time, value) events and the markers that derive further streams
// from it, read from the pieces' (byte, byte) pairs.
struct Stream {
    std::vector<Run> events;
    std::vector<Marker> markers;
};

Stream decode_pieces(Bytes b, const Pieces& pieces, uint32_t limit) {
    Stream out;
    std::vector<Run>& g = out.events;
    uint64_t count = 0, last_time = 0;
    for (size_t pi = 0; pi < pieces.pieces.size(); ++pi) {
        auto [ps, pe] = pieces.pieces[pi];
        const size_t len = pe - ps, first = g.size();
        uint64_t acc = 0, step = 0;
        for (size_t i = 0; i + 1 < len; i += 2) {
            const uint8_t b0 = b[ps + i], b1 = b[ps + i + 1];
            if (b0 >= kFullMarker) {
                out.markers.push_back({true, static_cast<uint8_t>(b0 - kFullMarker)});
            } else if (b0 >= kBitMarker) {
                out.markers.push_back({false, static_cast<uint8_t>(b0 - kBitMarker)});
            } else if (pieces.separated) {
                // Deltas accumulate over the piece, from the last time of the pieces before.
                acc += b0;
                g.push_back({acc == 0 ? last_time : last_time + kTick * acc - kTick, b1});
                ++count;
            } else {
                // The first delta sets the step; later ones count steps from the previous time.
                if (limit != 0 && count >= limit) break;
                uint64_t t;
                if (g.size() == first) {
                    step = kStep * static_cast<uint64_t>(b0) + kStep;
                    t = step;
                } else {
                    t = g.back().time + b0 * step;
                }
                g.push_back({t, b1});
                ++count;
            }
        }
        // A separated piece of odd length (but the last) ends with a lone value one tick on.
        if (pieces.separated && pi + 1 < pieces.pieces.size() && len % 2 == 1)
            g.push_back({g.size() == first ? last_time : g.back().time + kTick, b[pe - 1]});
        if (g.size() > first) last_time = g.back().time;
    }
    return out;
}

// The values of the tail after the region-end pattern, for the signals before the blob's own.
std::vector<uint64_t> initial_values(Bytes b, const Region& r) {
    const size_t n = b.size();
    std::vector<uint64_t> init;
    if (r.tail == npos || n - r.tail < 2) return init;
    const uint8_t last_region_byte = r.end > r.begin ? b[r.end - 1] : 0;
    bool has_largest = false;
    auto add = [&](uint64_t x) {
        init.push_back(x);
        has_largest = has_largest || x == kLargestValue;
    };
    size_t q = r.tail;
    while (q + 1 < n) {
        const uint8_t c = b[q];
        if (c == 0x00) {
            if (q + 2 < n && b[q + 1] == 0 && b[q + 2] == 0) break;  // zero padding: the end
            ++q;
        } else if (c == kTailPair) {
            if (q + 2 < n && b[q + 2] == kNextHeader) break;
            add(b[q + 1]);
            q = q + 2 >= n ? q + 2 : skip_high(b, q + 2);
        } else if (c & 0x80) {
            if (starts_at(b, q, kEndMark)) break;
            // A multi-byte number stands for the largest value when the region ended on it.
            q = skip_high(b, q);
            if (last_region_byte == kLargestValue && !has_largest) add(kLargestValue);
        } else {
            ++q;
            if (c > kTailCodeMax && c != 0x27 && c != kNextHeader) add(c);
        }
    }
    return init;
}

// Events collected up to a number of them; `full` once one more was refused.
struct Events {
    std::vector<Event> list;
    uint64_t room;
    bool full = false;

    bool add(uint64_t time, uint64_t id, uint64_t value) {
        if (list.size() >= room) {
            full = true;
            return false;
        }
        list.push_back({time, id, value});
        return true;
    }
};

// The clock piece's square wave on signal 0, from time 0 to one tick past the stream's end.
void add_clock(Bytes b, Span clock, const std::vector<Run>& g, Events& ev) {
    if (clock.second - clock.first < kClockBytes || !(b[clock.first] & kClockFlag)) return;
    // A half period of 0 would tick forever at time 0: such a clock is ignored.
    const uint64_t half = kStep * static_cast<uint64_t>(b[clock.first + 2]) / 2;
    if (half == 0) return;
    uint64_t bound = kTick;
    if (!g.empty()) {
        uint64_t mx = 0;
        for (const Run& x : g) mx = std::max(mx, x.time);
        bound = mx + kTick;
    }
    uint64_t level = b[clock.first + 3] == '0' ? 0 : 1;
    for (uint64_t t = 0; t <= bound; t += half) {
        if (!ev.add(t, 0, level)) break;
        level ^= 1;
        if (t > std::numeric_limits<uint64_t>::max() - half) break;
    }
}

}  // namespace

ValueDecoder::ValueDecoder(uint64_t num_names, uint64_t budget)
    : n_(num_names), budget_(budget), runs_(std::max<uint64_t>(num_names, 1)) {}

std::optional<std::vector<Event>> blob_events(Bytes b, uint64_t names, uint64_t room,
                                              bool* truncated) {
    if (truncated) *truncated = false;
    if (b.size() < kMinBlob) return std::nullopt;
    const std::optional<Header> header = read_header(b);
    if (!header) return std::nullopt;
    const Region region = find_region(b, header->end);
    const Pieces pieces = split_region(b, region);
    const Stream stream = decode_pieces(b, pieces, header->limit);
    const std::vector<uint64_t> init = initial_values(b, region);
    const std::vector<Run>& g = stream.events;

    // Signals by position: the initial values from id 1 on, the header's initial value after
    // them, then the blob's stream, then one derived stream per marker; the clock on id 0.
    Events ev{{}, room};
    const uint64_t k = init.size();
    const bool has_init = header->init_value != 0;
    for (uint64_t j = 0; j < k && !ev.full; ++j)
        if (j + 1 < names) ev.add(0, j + 1, init[j]);
    if (has_init && k + 1 < names) ev.add(header->init_time, k + 1, header->init_value);
    uint64_t m = 0;
    if ((k != 0 || has_init) && names != 0)
        m = std::min<uint64_t>(k + 1 + (has_init ? 1 : 0), names - 1);
    if (m < names && !g.empty()) {
        for (const Run& x : g)
            if (!ev.add(x.time, m, x.value)) break;
        ++m;
    }
    for (const Marker& mk : stream.markers) {
        if (m >= names || ev.full) break;
        for (const Run& x : g)
            if (!ev.add(x.time + mk.offset, m, mk.full ? x.value : (x.value & 1))) break;
        ++m;
    }
    if (pieces.clock && !ev.full) add_clock(b, *pieces.clock, g, ev);
    if (truncated) *truncated = ev.full;
    return std::move(ev.list);
}

void ValueDecoder::decode(Bytes b) {
    if (exhausted()) return;
    bool full = false;
    auto ev = blob_events(b, n_, budget_ - work_, &full);
    if (!ev) return;
    work_ += ev->size();
    apply(*ev);
    if (full) work_ = std::max(work_, budget_);
}

void ValueDecoder::apply(std::vector<Event>& ev) {
    // Time stamps: the union of the known ones, 0 and this blob's.
    std::vector<uint64_t> fresh;
    fresh.reserve(ev.size() + 1);
    fresh.push_back(0);
    for (const Event& x : ev) fresh.push_back(x.time);
    std::sort(fresh.begin(), fresh.end());
    fresh.erase(std::unique(fresh.begin(), fresh.end()), fresh.end());
    std::vector<uint64_t> old = std::move(times_);
    times_.clear();
    times_.reserve(old.size() + fresh.size());
    std::set_union(old.begin(), old.end(), fresh.begin(), fresh.end(), std::back_inserter(times_));
    work_ += times_.size();

    // Writes per signal in time order; of several at one time the last written wins.
    std::stable_sort(ev.begin(), ev.end(), [](const Event& a, const Event& b) {
        return a.id != b.id ? a.id < b.id : a.time < b.time;
    });
    std::vector<Run> sets, points, merged;
    for (size_t i = 0; i < ev.size();) {
        uint64_t id = ev[i].id;
        sets.clear();
        for (; i < ev.size() && ev[i].id == id; ++i) {
            if (!sets.empty() && sets.back().time == ev[i].time)
                sets.back().value = ev[i].value;
            else
                sets.push_back({ev[i].time, ev[i].value});
        }
        std::vector<Run>& cur = runs_[id];
        work_ += cur.size();

        // Before this blob every known time from a signal's first value on held a value (forward
        // fill wrote it); a write changes only its own time stamp, so the next such time keeps
        // its old value. Times new to this blob are filled from the slot before them.
        auto old_value = [&](uint64_t t) {
            auto it = std::upper_bound(cur.begin(), cur.end(), t,
                                       [](uint64_t x, const Run& y) { return x < y.time; });
            return std::prev(it)->value;
        };
        points.clear();
        for (size_t s = 0; s < sets.size(); ++s) {
            points.push_back(sets[s]);
            if (cur.empty()) continue;
            auto next_old = std::upper_bound(old.begin(), old.end(), sets[s].time);
            if (next_old == old.end()) continue;
            uint64_t tb = std::max(*next_old, cur.front().time);
            if (s + 1 < sets.size() && sets[s + 1].time <= tb) continue;
            points.push_back({tb, old_value(tb)});
        }
        // Merge: at one time a write beats the old run (a restored point equals it anyway).
        merged.clear();
        auto push = [&](const Run& x) {
            if (merged.empty() || merged.back().value != x.value) merged.push_back(x);
        };
        size_t a = 0, p = 0;
        while (a < cur.size() || p < points.size()) {
            if (p == points.size() || (a < cur.size() && cur[a].time < points[p].time)) {
                push(cur[a++]);
            } else {
                if (a < cur.size() && cur[a].time == points[p].time) ++a;
                push(points[p++]);
            }
        }
        cur.swap(merged);
    }

    // Every named signal without a value at time 0 gets 0 there. Afterwards each one has a value
    // at time 0 for good, so this is needed once.
    if (!zero_filled_) {
        zero_filled_ = true;
        for (uint64_t s = 0; s < n_; ++s) {
            std::vector<Run>& cur = runs_[s];
            if (cur.empty())
                cur.push_back({0, 0});
            else if (cur.front().time > 0 && cur.front().value == 0)
                cur.front().time = 0;
            else if (cur.front().time > 0)
                cur.insert(cur.begin(), Run{0, 0});
        }
        work_ += n_;
    }
}

void ValueDecoder::finish(std::vector<uint64_t>& timestamps, SignalStore& store) {
    timestamps = std::move(times_);
    times_.assign(1, 0);
    for (size_t s = 0; s < runs_.size(); ++s) {
        for (const Run& x : runs_[s]) {
            auto it = std::lower_bound(timestamps.begin(), timestamps.end(), x.time);
            store.append_int(s, static_cast<uint64_t>(it - timestamps.begin()), x.value);
        }
        std::vector<Run>().swap(runs_[s]);
    }
    store.finish(timestamps.size());
}

}  // namespace tarn::fsdb

#include "trace/fsdb_values.h"

#include <algorithm>
#include <array>
#include <iterator>
#include <limits>
#include <optional>

namespace tarn::fsdb {

namespace {

using Bytes = std::span<const uint8_t>;

constexpr std::array<uint8_t, 6> kHeaderMark{0x38, 0x43, 0x00, 0x04, 0x00, 0x08};
constexpr std::array<uint8_t, 4> kEndMark{0xC1, 0x21, 0x00, 0x00};
constexpr std::array<uint8_t, 6> kRegionEnd{0x44, 0x00, 0x63, 0x00, 0x03, 0x08};
constexpr std::array<uint8_t, 4> kFiller{0xFF, 0xFF, 0xFF, 0xFF};
constexpr size_t npos = static_cast<size_t>(-1);

// First start of `pat` lying wholly inside [from, end), or npos.
template <size_t K>
size_t find(Bytes b, size_t from, size_t end, const std::array<uint8_t, K>& pat) {
    if (end < from + K) return npos;
    auto first = b.begin() + static_cast<std::ptrdiff_t>(from);
    auto last = b.begin() + static_cast<std::ptrdiff_t>(end);
    auto it = std::search(first, last, pat.begin(), pat.end());
    return it == last ? npos : static_cast<size_t>(it - b.begin());
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

struct Marker {
    bool full;
    uint8_t offset;
};

}  // namespace

ValueDecoder::ValueDecoder(uint64_t num_names, uint64_t budget)
    : n_(num_names), budget_(budget), runs_(std::max<uint64_t>(num_names, 1)) {}

std::optional<std::vector<Event>> blob_events(Bytes b, uint64_t names, uint64_t room,
                                              bool* truncated) {
    if (truncated) *truncated = false;
    const size_t n = b.size();
    if (n < 8) return std::nullopt;

    // Header end: the header mark, or, when the blob holds the end mark, four leading numbers.
    size_t h = find(b, 0, n, kHeaderMark);
    if (h == npos) {
        if (find(b, 0, n, kEndMark) == npos) return std::nullopt;
        h = 0;
        for (int i = 0; i < 4; ++i) read_b128(b, h, n);
    }

    std::vector<uint64_t> v;
    for (size_t pos = 0; pos < h && v.size() < 6;) v.push_back(read_b128(b, pos, h));
    uint32_t limit = v.size() >= 4 ? static_cast<uint32_t>(v[3]) : 0;
    uint64_t init_value = v.size() >= 5 ? v[4] : 0;
    uint64_t init_time = v.size() >= 6 ? (v[5] + 1) * 5 : 5;

    // Value region [r, e). A region that would start beyond the blob is empty.
    size_t r = std::min(h + 6, n), e = n;
    size_t tail = npos;
    if (n - r >= 6) {
        size_t p = find(b, r, n, kRegionEnd);
        if (p != npos) {
            e = p;
            tail = p + 6;
        }
    }
    if (e - r > 3) {
        size_t p = find(b, r, e, kFiller);
        if (p != npos) e = p;
    }
    if (e - r > 3) {
        size_t p = find(b, r, e, kEndMark);
        if (p != npos) e = p;
    }

    // Pieces, as [start, end) pairs.
    const bool sep = std::find(b.begin() + static_cast<std::ptrdiff_t>(r),
                               b.begin() + static_cast<std::ptrdiff_t>(e),
                               0x08) != b.begin() + static_cast<std::ptrdiff_t>(e);
    std::vector<std::pair<size_t, size_t>> pieces;
    if (sep) {
        size_t start = r;
        for (size_t i = r; i < e; ++i) {
            if (b[i] != 0x08) continue;
            pieces.emplace_back(start, i);
            start = i + 1;
        }
        if (start < e) pieces.emplace_back(start, e);
    } else if (e > r) {
        pieces.emplace_back(r, e);
    }
    std::optional<std::pair<size_t, size_t>> clock;
    if (sep && pieces.size() >= 2) {
        clock = pieces.back();
        pieces.pop_back();
    }

    // Piece decoding into the blob's events G and its markers.
    std::vector<Run> g;
    std::vector<Marker> markers;
    uint64_t count = 0, last_time = 0;
    for (size_t pi = 0; pi < pieces.size(); ++pi) {
        auto [ps, pe] = pieces[pi];
        size_t len = pe - ps;
        size_t first = g.size();
        uint64_t acc = 0, step = 0;
        for (size_t i = 0; i + 1 < len; i += 2) {
            uint8_t b0 = b[ps + i], b1 = b[ps + i + 1];
            if (b0 >= 0x80) {
                markers.push_back({true, static_cast<uint8_t>(b0 - 0x80)});
            } else if (b0 >= 0x40) {
                markers.push_back({false, static_cast<uint8_t>(b0 - 0x40)});
            } else if (sep) {
                acc += b0;
                uint64_t t = acc == 0 ? last_time : last_time + 10 * acc - 10;
                g.push_back({t, b1});
                ++count;
            } else {
                if (limit != 0 && count >= limit) break;
                uint64_t t;
                if (g.size() == first) {
                    step = 5 * static_cast<uint64_t>(b0) + 5;
                    t = step;
                } else {
                    t = g.back().time + b0 * step;
                }
                g.push_back({t, b1});
                ++count;
            }
        }
        if (sep && pi + 1 < pieces.size() && len % 2 == 1)
            g.push_back({g.size() == first ? last_time : g.back().time + 10, b[pe - 1]});
        if (g.size() > first) last_time = g.back().time;
    }

    // Initial-value tail.
    const uint8_t lb = e > r ? b[e - 1] : 0;
    std::vector<uint64_t> init;
    if (tail != npos && n - tail >= 2) {
        bool has_ff = false;
        auto add = [&](uint64_t x) {
            init.push_back(x);
            has_ff = has_ff || x == 0xFF;
        };
        size_t q = tail;
        while (q + 1 < n) {
            uint8_t c = b[q];
            if (c == 0x00) {
                if (q + 2 < n && b[q + 1] == 0 && b[q + 2] == 0) break;
                ++q;
            } else if (c == 0x01) {
                if (q + 2 < n && b[q + 2] == 0x38) break;
                add(b[q + 1]);
                q = q + 2 >= n ? q + 2 : skip_high(b, q + 2);
            } else if (c & 0x80) {
                if (c == 0xC1 && q + 3 < n && b[q + 1] == 0x21 && b[q + 2] == 0 && b[q + 3] == 0)
                    break;
                q = skip_high(b, q);
                if (lb == 0xFF && !has_ff) add(0xFF);
            } else {
                ++q;
                if (c > 8 && c != 0x27 && c != 0x38) add(c);
            }
        }
    }

    // Signal events, within what is left of the budget.
    std::vector<Event> ev;
    bool full = false;
    auto emit = [&](uint64_t t, uint64_t id, uint64_t val) {
        if (ev.size() >= room) {
            full = true;
            return false;
        }
        ev.push_back({t, id, val});
        return true;
    };
    const uint64_t k = init.size();
    const bool has_init = init_value != 0;
    for (uint64_t j = 0; j < k && !full; ++j)
        if (j + 1 < names) emit(0, j + 1, init[j]);
    if (has_init && k + 1 < names) emit(init_time, k + 1, init_value);
    uint64_t m = 0;
    if ((k != 0 || has_init) && names != 0)
        m = std::min<uint64_t>(k + 1 + (has_init ? 1 : 0), names - 1);
    if (m < names && !g.empty()) {
        for (const Run& x : g)
            if (!emit(x.time, m, x.value)) break;
        ++m;
    }
    for (const Marker& mk : markers) {
        if (m >= names || full) break;
        for (const Run& x : g)
            if (!emit(x.time + mk.offset, m, mk.full ? x.value : (x.value & 1))) break;
        ++m;
    }
    if (clock && clock->second - clock->first >= 4 && (b[clock->first] & 0x40) && !full) {
        // A half period of 0 would tick forever at time 0: such a clock is ignored.
        uint64_t half = 5 * static_cast<uint64_t>(b[clock->first + 2]) / 2;
        if (half != 0) {
            uint64_t bound = 10;
            if (!g.empty()) {
                uint64_t mx = 0;
                for (const Run& x : g) mx = std::max(mx, x.time);
                bound = mx + 10;
            }
            uint64_t level = b[clock->first + 3] == 0x30 ? 0 : 1;
            for (uint64_t t = 0; t <= bound; t += half) {
                if (!emit(t, 0, level)) break;
                level ^= 1;
                if (t > std::numeric_limits<uint64_t>::max() - half) break;
            }
        }
    }
    if (truncated) *truncated = full;
    return ev;
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

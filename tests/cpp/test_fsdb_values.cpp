// Value-change decoding of FSDB value blobs, checked against records worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>

#include "fsdb_fixtures.h"
#include "trace/fsdb_values.h"

using namespace fsdb_fixtures;
using tarn::fsdb::ValueDecoder;
using Col = std::vector<int64_t>;  // a signal's values per index; -1 = Missing
using Times = std::vector<uint64_t>;

namespace {

struct Decoded {
    Times times;
    tarn::SignalStore store;
    Col col(uint64_t id) const {
        Col out;
        for (size_t i = 0; i < times.size(); ++i) {
            auto v = store.get(id, i);
            out.push_back(v.is_missing() ? -1 : static_cast<int64_t>(v.as_int()));
        }
        return out;
    }
};

Decoded decode(const std::vector<Bytes>& blobs, uint64_t n, uint64_t budget = 1 << 20) {
    ValueDecoder d(n, budget);
    for (const Bytes& b : blobs) d.decode(b);
    Decoded out;
    d.finish(out.times, out.store);
    return out;
}

}  // namespace

TEST(FsdbValues, ShortOrUnmarkedBlobsChangeNothing) {
    auto d = decode({hex("38 43 00 04 00 08 00"), hex("00 05 01 07 00 05 01 07 00")}, 2);
    EXPECT_EQ(d.times, Times{0});
    EXPECT_EQ(d.col(0), Col{-1});
    EXPECT_EQ(d.col(1), Col{-1});
}

TEST(FsdbValues, PairsWithoutSeparator) {
    // step 5 * 0 + 5 = 5 gives time 5; the next pair adds 1 * 5.
    auto d = decode({blob({}, hex("00 05 01 07"))}, 1);
    EXPECT_EQ(d.times, (Times{0, 5, 10}));
    EXPECT_EQ(d.col(0), (Col{0, 5, 7}));
}

TEST(FsdbValues, LimitStopsThePairs) {
    // V = [0, 0, 0, 2]: at most two events.
    auto d = decode({blob(hex("00 00 00 02"), hex("00 05 01 07 02 09"))}, 1);
    EXPECT_EQ(d.times, (Times{0, 5, 10}));
    EXPECT_EQ(d.col(0), (Col{0, 5, 7}));
}

TEST(FsdbValues, SeparatedPiecesAccumulateAndOddPiecesAddAnEvent) {
    auto d = decode({blob({}, hex("00 03 02 04 08"))}, 1);
    EXPECT_EQ(d.times, (Times{0, 10}));
    EXPECT_EQ(d.col(0), (Col{3, 4}));

    // Pieces 00 03 02 | 01 09 07 | clock 00 00 00 00 (not a clock: bit 0x40 clear). The odd
    // first piece adds (0 + 10, 02); the last piece adds nothing for its odd byte; the second
    // piece's pair gives 10 + 10 * 1 - 10 = 10, written after and so winning at time 10.
    d = decode({blob({}, hex("00 03 02 08 01 09 07 08 00 00 00 00"))}, 1);
    EXPECT_EQ(d.times, (Times{0, 10}));
    EXPECT_EQ(d.col(0), (Col{3, 9}));
}

TEST(FsdbValues, InitialValuesAndSignalAssignment) {
    // V = [0, 0, 0, 0, 9, 1]: initial value 9 at (1 + 1) * 5 = 10. Tail 0A 0B then 00 00 00.
    auto d = decode({blob(hex("00 00 00 00 09 01"), hex("00 05"), hex("0A 0B 00 00 00"))}, 6);
    EXPECT_EQ(d.times, (Times{0, 5, 10}));
    EXPECT_EQ(d.col(0), (Col{0, 0, 0}));
    EXPECT_EQ(d.col(1), (Col{10, 10, 10}));
    EXPECT_EQ(d.col(2), (Col{11, 11, 11}));
    EXPECT_EQ(d.col(3), (Col{0, 0, 9}));
    EXPECT_EQ(d.col(4), (Col{0, 5, 5}));  // min(2 + 1 + 1, N - 1)
    EXPECT_EQ(d.col(5), (Col{0, 0, 0}));

    // With only 4 names the pair stream goes to N - 1 = 3, after the initial value there.
    d = decode({blob(hex("00 00 00 00 09 01"), hex("00 05"), hex("0A 0B 00 00 00"))}, 4);
    EXPECT_EQ(d.col(3), (Col{0, 5, 9}));
}

TEST(FsdbValues, TailItems) {
    // Region 01 FF: one event (10, 255), last region byte FF.
    // Tail: 01 0C + 85 86 07 -> 0C; 20 -> 20; 27, 38, 08 skipped; 90 05 -> FF (last byte FF);
    // 01 22 38 stops.
    auto tail = hex("01 0C 85 86 07 20 27 38 08 90 05 01 22 38 00");
    auto d = decode({blob({}, hex("01 FF"), tail)}, 6);
    EXPECT_EQ(d.times, (Times{0, 10}));
    EXPECT_EQ(d.col(1), (Col{12, 12}));
    EXPECT_EQ(d.col(2), (Col{32, 32}));
    EXPECT_EQ(d.col(3), (Col{255, 255}));
    EXPECT_EQ(d.col(4), (Col{0, 255}));
    EXPECT_EQ(d.col(5), (Col{0, 0}));

    // C1 21 00 00 ends the tail; a last region byte other than FF adds no FF.
    d = decode({blob({}, hex("01 05"), hex("0A 90 05 C1 21 00 00 0B 0C"))}, 4);
    EXPECT_EQ(d.col(1), (Col{10, 10}));
    EXPECT_EQ(d.col(2), (Col{0, 5}));
    EXPECT_EQ(d.col(3), (Col{0, 0}));
}

TEST(FsdbValues, MarkersDeriveStreams) {
    // G = [(5, 5), (10, 7)]; full marker 3 and bit marker 1 feed ids 1 and 2.
    auto d = decode({blob({}, hex("00 05 01 07 83 00 41 00"))}, 4);
    EXPECT_EQ(d.times, (Times{0, 5, 6, 8, 10, 11, 13}));
    EXPECT_EQ(d.col(0), (Col{0, 5, 5, 5, 7, 7, 7}));
    EXPECT_EQ(d.col(1), (Col{0, 0, 0, 5, 5, 5, 7}));
    EXPECT_EQ(d.col(2), (Col{0, 0, 1, 1, 1, 1, 1}));
    EXPECT_EQ(d.col(3), (Col{0, 0, 0, 0, 0, 0, 0}));
    // Markers beyond the last name are dropped.
    d = decode({blob({}, hex("00 05 01 07 83 00 41 00"))}, 2);
    EXPECT_EQ(d.times, (Times{0, 5, 8, 10, 13}));
}

TEST(FsdbValues, ClockPiece) {
    // G's largest time 20; clock 40 00 04 31: half 10, bound 30, starting at level 1.
    auto region = hex("00 03 02 04 01 05 08 40 00 04 31");
    auto d = decode({blob({}, region, hex("0A 00 00 00"))}, 3);
    EXPECT_EQ(d.times, (Times{0, 10, 20, 30}));
    EXPECT_EQ(d.col(0), (Col{1, 0, 1, 0}));
    EXPECT_EQ(d.col(1), (Col{10, 10, 10, 10}));
    EXPECT_EQ(d.col(2), (Col{3, 4, 5, 5}));

    // Level 0 first when byte 3 is "0"; the clock goes to id 0 even without names.
    d = decode({blob({}, hex("00 03 08 40 00 02 30"))}, 0);
    EXPECT_EQ(d.times, (Times{0, 5, 10}));
    EXPECT_EQ(d.col(0), (Col{0, 1, 0}));

    // A half period of 0 would never advance: the clock is ignored.
    d = decode({blob({}, hex("00 03 08 40 00 00 31"))}, 1);
    EXPECT_EQ(d.times, Times{0});
    EXPECT_EQ(d.col(0), Col{3});
}

TEST(FsdbValues, RegionCuts) {
    EXPECT_EQ(decode({blob({}, hex("00 05 FF FF FF FF 01 07"))}, 1).col(0), (Col{0, 5}));
    EXPECT_EQ(decode({blob({}, hex("00 05 C1 21 00 00 01 07"))}, 1).col(0), (Col{0, 5}));
}

TEST(FsdbValues, EndMarkAdmitsABlobWithoutHeaderMark) {
    // Four numbers 05 00 00 02 (limit 2); the region starts 6 bytes after them.
    auto b =
        cat({hex("05 00 00 02"), hex("AA BB CC DD EE FF"), hex("00 05 01 07 02 09"), kEndMark});
    auto d = decode({b}, 1);
    EXPECT_EQ(d.times, (Times{0, 5, 10}));
    EXPECT_EQ(d.col(0), (Col{0, 5, 7}));

    // The numbers end fewer than 6 bytes before the end: the region is empty.
    d = decode({hex("C1 21 00 00 01 02 03 04")}, 2);
    EXPECT_EQ(d.times, Times{0});
    EXPECT_EQ(d.col(0), Col{0});
    EXPECT_EQ(d.col(1), Col{0});
}

TEST(FsdbValues, LaterBlobsKeepEarlierValuesAtTheirTimes) {
    // Blob A: step 10, times 10 and 20. Blob B writes 9 at the earlier time 5. Values stay with
    // their times: 10 keeps 5 and 20 keeps 7.
    auto a = blob({}, hex("01 05 01 07"));
    auto b = blob({}, hex("00 09"));
    auto d = decode({a, b}, 1);
    EXPECT_EQ(d.times, (Times{0, 5, 10, 20}));
    EXPECT_EQ(d.col(0), (Col{0, 9, 5, 7}));

    // A write changes only its own time stamp: the forward-filled value after it stays.
    auto c = blob({}, hex("01 05 01 05"));
    auto e = blob({}, hex("01 01"));
    d = decode({c, e}, 1);
    EXPECT_EQ(d.times, (Times{0, 10, 20}));
    EXPECT_EQ(d.col(0), (Col{0, 1, 5}));
}

TEST(FsdbValues, BudgetEndsDecoding) {
    // 600 markers over 300 events for 600 names would be 180,000 events.
    Bytes region;
    for (int i = 0; i < 300; ++i) region.insert(region.end(), {0x00, 0x01});
    for (int i = 0; i < 600; ++i) region.insert(region.end(), {0x81, 0x00});
    ValueDecoder d(600, 5000);
    d.decode(blob({}, region));
    EXPECT_TRUE(d.exhausted());
    d.decode(blob({}, hex("00 05 01 07")));  // ignored
    Times times;
    tarn::SignalStore store;
    d.finish(times, store);
    EXPECT_LT(times.size(), 5000u);
    EXPECT_EQ(times.front(), 0u);
}

namespace {

// The description applied literally: one dense list per signal over the time-stamp list, with
// the decoder's one choice made explicit: inserting a time inserts a Missing slot at its place
// in every list, so values stay with their times.
struct LiteralModel {
    Times times{0};
    std::map<uint64_t, std::vector<int64_t>> lists;  // -1 = Missing

    int64_t get(uint64_t id, size_t i) const {
        auto it = lists.find(id);
        return it == lists.end() || i >= it->second.size() ? -1 : it->second[i];
    }
    void set(uint64_t id, size_t i, int64_t v) {
        auto& l = lists[id];
        if (i >= l.size()) l.resize(i + 1, -1);
        l[i] = v;
    }
    void blob(const std::vector<tarn::fsdb::Event>& ev, uint64_t n) {
        Times fresh{0};
        for (const auto& e : ev) fresh.push_back(e.time);
        std::sort(fresh.begin(), fresh.end());
        for (uint64_t t : fresh) {
            auto it = std::lower_bound(times.begin(), times.end(), t);
            if (it != times.end() && *it == t) continue;
            size_t pos = static_cast<size_t>(it - times.begin());
            times.insert(it, t);
            for (auto& [id, l] : lists)
                if (pos < l.size()) l.insert(l.begin() + static_cast<std::ptrdiff_t>(pos), -1);
        }
        for (const auto& e : ev) {
            size_t i = static_cast<size_t>(std::lower_bound(times.begin(), times.end(), e.time) -
                                           times.begin());
            set(e.id, i, static_cast<int64_t>(e.value));
        }
        for (uint64_t s = 0; s < n; ++s)
            if (get(s, 0) < 0) set(s, 0, 0);
        for (size_t i = 1; i < times.size(); ++i)
            for (auto& [id, l] : lists)
                if (l.size() > i - 1 && l[i - 1] >= 0 && (l.size() <= i || l[i] < 0))
                    set(id, i, l[i - 1]);
    }
};

Bytes random_blob(std::mt19937_64& rng) {
    auto pick = [&](std::initializer_list<int> choices) {
        std::uniform_int_distribution<size_t> d(0, choices.size() - 1);
        return static_cast<uint8_t>(*(choices.begin() + d(rng)));
    };
    auto below = [&](int n) { return static_cast<int>(rng() % static_cast<uint64_t>(n)); };
    Bytes header;
    int numbers = below(7);
    for (int i = 0; i < numbers; ++i) header.push_back(static_cast<uint8_t>(below(4)));
    Bytes region;
    int len = below(24);
    for (int i = 0; i < len; ++i)
        region.push_back(below(3) == 0 ? pick({0x08, 0x80, 0x82, 0x41, 0x43, 0xFF})
                                       : static_cast<uint8_t>(below(5)));
    if (below(3) == 0)
        region = cat({region, hex("08 40 00"), Bytes{static_cast<uint8_t>(below(4))},
                      Bytes{pick({0x30, 0x31})}});
    std::optional<Bytes> tail;
    if (below(2) == 0) {
        Bytes t;
        int tl = below(10);
        for (int i = 0; i < tl; ++i)
            t.push_back(pick({0x00, 0x01, 0x0A, 0x0B, 0x0C, 0x27, 0x38, 0x85, 0x05, 0xC1, 0x21}));
        tail = t;
    }
    if (below(8) == 0) return cat({header, hex("00 00 00 00 00 00"), region, kEndMark});
    return blob(header, region, tail);
}

}  // namespace

TEST(FsdbValues, MatchesTheLiteralDescription) {
    std::mt19937_64 rng(20261207);
    for (int round = 0; round < 3000; ++round) {
        uint64_t n = rng() % 6;
        std::vector<Bytes> blobs;
        for (uint64_t k = 1 + rng() % 4; k > 0; --k) blobs.push_back(random_blob(rng));

        ValueDecoder d(n, 1 << 20);
        LiteralModel model;
        for (const Bytes& b : blobs) {
            d.decode(b);
            if (auto ev = tarn::fsdb::blob_events(b, n, 1 << 20)) model.blob(*ev, n);
        }
        Decoded got;
        d.finish(got.times, got.store);
        ASSERT_EQ(got.times, model.times) << "round " << round;
        for (uint64_t id = 0; id < std::max<uint64_t>(n, 1); ++id) {
            Col want;
            for (size_t i = 0; i < model.times.size(); ++i) want.push_back(model.get(id, i));
            ASSERT_EQ(got.col(id), want) << "round " << round << " id " << id;
        }
    }
}

// The change-point store must answer exactly like one dense list of values per signal.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "signal/store.h"
#include "trace/change_log.h"

using tarn::SignalStore;
using tarn::SignalValue;

namespace {

// The literal model: one slot per index, Missing where never written.
struct DenseModel {
    std::map<uint64_t, std::vector<SignalValue>> lists;

    void set(uint64_t id, uint64_t index, const SignalValue& v) {
        auto& l = lists[id];
        if (index >= l.size()) l.resize(index + 1);
        l[index] = v;
    }
    SignalValue get(uint64_t id, uint64_t index) const {
        auto it = lists.find(id);
        if (it == lists.end() || index >= it->second.size()) return SignalValue::missing();
        return it->second[index];
    }
    void forward_fill(uint64_t index) {
        if (index == 0) return;
        std::vector<std::pair<uint64_t, SignalValue>> carry;
        for (auto& [id, l] : lists) {
            if (l.size() > index - 1 && !l[index - 1].is_missing() &&
                (l.size() <= index || l[index].is_missing()))
                carry.emplace_back(id, l[index - 1]);
        }
        for (auto& [id, v] : carry) set(id, index, v);
    }
};

SignalValue random_value(std::mt19937_64& rng) {
    switch (rng() % 9) {
        case 0:
            return SignalValue::missing();
        case 1:
            return SignalValue::make_real(rng() % 2 ? 0.5 : -2.0);
        case 2:
            return SignalValue::make_str(rng() % 2 ? "idle" : "busy");
        case 3:
            return SignalValue::make_wide({rng() % 3, 7});
        case 4: {
            SignalValue::Bits b(1 + rng() % 40);  // inline and arena-held logic vectors
            for (auto& x : b) x = uint8_t(rng() % 4);
            return SignalValue::make_logic(b);
        }
        case 5:
            return SignalValue::make_int(rng());  // forces the widest payload
        default:
            return SignalValue::make_int(rng() % 4);  // frequent repeats exercise run merging
    }
}

bool same(const SignalValue& a, const SignalValue& b) {
    return a.identical(b);
}

void expect_equal(const SignalStore& s, const DenseModel& m, uint64_t ids, uint64_t len) {
    for (uint64_t id = 0; id <= ids; ++id) {
        for (uint64_t i = 0; i <= len + 2; ++i)
            ASSERT_TRUE(same(s.get(id, i), m.get(id, i))) << "id " << id << " index " << i;
        uint64_t a = len / 3, b = len + 2;
        auto range = s.get_range(id, a, b);
        ASSERT_EQ(range.size(), b - a);
        for (uint64_t k = 0; k < range.size(); ++k) ASSERT_TRUE(same(range[k], m.get(id, a + k)));
        EXPECT_TRUE(s.get_range(id, b, a).empty());
    }
}

}  // namespace

TEST(Store, RandomSetAndFillMatchDenseModel) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 300; ++round) {
        SignalStore s;
        DenseModel m;
        const uint64_t ids = 1 + rng() % 5, len = 1 + rng() % 30;
        for (int op = 0; op < 80; ++op) {
            if (rng() % 4 == 0) {
                uint64_t i = rng() % (len + 1);
                s.forward_fill(i);
                m.forward_fill(i);
            } else {
                uint64_t id = rng() % ids, i = rng() % len;
                SignalValue v = random_value(rng);
                s.set(id, i, v);
                m.set(id, i, v);
            }
        }
        expect_equal(s, m, ids, len);
    }
}

// Readers that fill every index in order append changes and finish at the index count; that
// must equal calling forward_fill at every new index and writing with set.
TEST(Store, SequentialAppendMatchesFillEveryIndex) {
    std::mt19937_64 rng(777);
    for (int round = 0; round < 300; ++round) {
        SignalStore s;
        DenseModel m;
        const uint64_t ids = 1 + rng() % 5, len = 1 + rng() % 40;
        for (uint64_t i = 0; i < len; ++i) {
            m.forward_fill(i);
            int writes = int(rng() % 4);
            for (int w = 0; w < writes; ++w) {
                uint64_t id = rng() % ids;
                SignalValue v = random_value(rng);
                s.append(id, i, v);
                m.set(id, i, v);
            }
        }
        s.finish(len);
        expect_equal(s, m, ids, len);
    }
}

TEST(Store, EdgeCases) {
    SignalStore s;
    s.forward_fill(0);  // nothing to do
    EXPECT_TRUE(s.get(0, 0).is_missing());
    s.set(2, 3, SignalValue::make_int(9));
    EXPECT_TRUE(s.get(2, 2).is_missing());  // before the first write
    EXPECT_EQ(s.get(2, 3).as_int(), 9u);
    EXPECT_TRUE(s.get(2, 4).is_missing());  // beyond the list
    s.forward_fill(4);
    EXPECT_EQ(s.get(2, 4).as_int(), 9u);
    s.set(2, 5, SignalValue::missing());
    s.forward_fill(6);  // a Missing slot is not carried
    EXPECT_TRUE(s.get(2, 6).is_missing());
    EXPECT_EQ(s.get_range(99, 0, 3).size(), 3u);  // unknown id: Missing padding
    // Writes past the index limit are ignored rather than growing without bound.
    s.set(1, tarn::kMaxIndex + 10, SignalValue::make_int(1));
    EXPECT_TRUE(s.get(1, tarn::kMaxIndex + 10).is_missing());
}

// Long columns cross the 16-bit start blocks, switch to 32-bit starts after a long quiet gap,
// and leave the toggle form when a third value or a non-Int arrives.
TEST(Store, LongColumnsMatchDenseModel) {
    std::mt19937_64 rng(99);
    for (int round = 0; round < 6; ++round) {
        SignalStore s;
        std::vector<SignalValue> model;  // one signal, dense
        uint64_t index = 0;
        SignalValue last;
        for (int k = 0; k < 3000; ++k) {
            uint64_t gap = rng() % 50 == 0 ? 70000 + rng() % 1000 : rng() % 3;
            index += gap;
            int kind = int(rng() % 100);
            const SignalValue v = (round % 2 == 0 || kind < 90)
                                      ? SignalValue::make_int(rng() % 2)  // a toggling bit
                                  : kind < 95 ? SignalValue::make_int(rng() % 70000)
                                              : random_value(rng);
            model.resize(index + 1, last);
            model[index] = v;
            last = v;
            s.append(0, index, v);
        }
        s.finish(index + 1);
        for (uint64_t i = 0; i <= index + 1; i += (rng() % 97) + 1)
            ASSERT_TRUE(same(s.get(0, i), i < model.size() ? model[i] : SignalValue::missing()))
                << "round " << round << " index " << i;
        const tarn::Column* c = s.column(0);
        for (size_t r = 0; r + 1 < c->num_runs(); ++r) {
            ASSERT_LT(c->run_start(r), c->run_start(r + 1));
            ASSERT_TRUE(same(c->run_value(r), model[c->run_start(r)]));
            ASSERT_FALSE(c->runs_identical(r, r + 1));  // neighbours always differ
        }
    }
}

// Many runs per column with rewrites inside one index: runs are pushed and popped across the
// 64-run words that record which runs hold non-Int values.
TEST(Store, LongAppendsWithRewritesMatchDenseModel) {
    std::mt19937_64 rng(2024);
    const SignalValue pool[] = {SignalValue::make_int(0), SignalValue::make_int(1),
                                SignalValue::make_int(300), SignalValue::missing(),
                                SignalValue::make_real(0.5)};
    for (int round = 0; round < 8; ++round) {
        SignalStore s;
        DenseModel m;
        const uint64_t ids = 3, len = 3000;
        for (uint64_t i = 0; i < len; ++i) {
            m.forward_fill(i);
            int writes = int(rng() % 4);
            for (int w = 0; w < writes; ++w) {
                uint64_t id = rng() % ids;
                // Mostly a 0/1 toggle; the rarer values make the column mixed.
                const SignalValue& v = pool[rng() % 10 < 8 ? rng() % 2 : 2 + rng() % 3];
                s.append(id, i, v);
                m.set(id, i, v);
            }
        }
        s.finish(len);
        expect_equal(s, m, ids, len);
    }
}

// Changes logged for a later stretch of indices and replayed after the first stretch, stream by
// stream, equal the same changes appended in one pass. Larger rounds cross chunk boundaries and
// use wider keys; one value is larger than a chunk.
TEST(Store, ReplayedLogEqualsOneStore) {
    std::mt19937_64 rng(31337);
    for (int round = 0; round < 120; ++round) {
        const bool big = round % 40 == 39;
        const uint64_t ids = big ? 20000 : 1 + rng() % 6;
        const uint64_t len = big ? 40000 : 2 + rng() % 300, cut = 1 + rng() % (len - 1);
        const size_t streams = 1 + round % 4;
        SignalStore one, first;
        tarn::ChangeLog log(ids, streams);
        for (uint64_t i = 0; i < len; ++i) {
            if (i >= cut) log.put_stamp(i * 10);
            int writes = int(rng() % (big ? 60 : 4));
            for (int w = 0; w < writes; ++w) {
                uint64_t id = rng() % ids;
                SignalValue v =
                    rng() % 3 ? SignalValue::make_int(rng() % (big ? 1000 : 3)) : random_value(rng);
                if (big && i == len / 2 && w == 0) {
                    SignalValue::Bits b(5'000'000, tarn::kBit1);
                    b[17] = tarn::kBitZ;
                    v = SignalValue::make_logic(b);
                }
                one.append(id, i, v);
                if (i < cut)
                    first.append(id, i, v);
                else
                    log.put(id, v);
            }
        }
        first.reserve_ids(ids);
        ASSERT_EQ(log.stamps(), len - cut);
        std::vector<uint64_t> times;
        log.move_times(times);
        ASSERT_EQ(times.size(), len - cut);
        for (uint64_t i = cut; i < len; ++i) ASSERT_EQ(times[i - cut], i * 10);
        for (size_t k = 0; k < log.streams(); ++k) log.replay(k, first, cut);
        EXPECT_EQ(log.bytes(), 0u);
        one.finish(len);
        first.finish(len);
        for (uint64_t id = 0; id < ids; ++id) {
            const tarn::Column* a = one.column(id);
            const tarn::Column* b = first.column(id);
            uint64_t na = a ? a->num_runs() : 0, nb = b ? b->num_runs() : 0;
            ASSERT_EQ(na, nb) << "round " << round << " id " << id;
            for (size_t r = 0; r < na; ++r) {
                ASSERT_EQ(a->run_start(r), b->run_start(r));
                ASSERT_TRUE(same(a->run_value(r), b->run_value(r)));
            }
            if (big) continue;
            for (uint64_t i = 0; i <= len; ++i) ASSERT_TRUE(same(one.get(id, i), first.get(id, i)));
        }
    }
}

// Runs a thousand or two indices apart: 256 of them cannot share a 16-bit base, 32 can. Later a
// gap no block can span forces plain starts. Rewrites within an index pop runs across the
// smaller blocks' edges.
TEST(Store, QuietColumnsMatchLastWrites) {
    std::mt19937_64 rng(4242);
    for (int round = 0; round < 4; ++round) {
        SignalStore s;
        std::map<uint64_t, SignalValue> last;  // the last write at each written index
        uint64_t index = 0;
        for (int k = 0; k < 1500; ++k) {
            index += 1000 + rng() % 1000;
            if (round % 2 == 1 && k == 1200) index += 70000;
            int writes = 1 + int(rng() % 3);
            for (int w = 0; w < writes; ++w) {
                SignalValue v = rng() % 10 ? SignalValue::make_int(rng() % 3) : random_value(rng);
                s.append(0, index, v);
                last[index] = v;
            }
        }
        s.finish(index + 1);
        // Sequential appends carry each write until the next written index.
        auto expected = [&](uint64_t i) {
            if (i > index) return SignalValue::missing();  // past the end
            auto it = last.upper_bound(i);
            return it == last.begin() ? SignalValue::missing() : std::prev(it)->second;
        };
        for (const auto& [at, v] : last) {
            for (uint64_t i : {at - 1, at, at + 1})
                ASSERT_TRUE(same(s.get(0, i), expected(i))) << "round " << round << " index " << i;
        }
        const tarn::Column* c = s.column(0);
        for (size_t r = 0; r + 1 < c->num_runs(); ++r) {
            ASSERT_LT(c->run_start(r), c->run_start(r + 1));
            ASSERT_TRUE(same(c->run_value(r), expected(c->run_start(r))));
        }
    }
}

// Payload slots widen a byte at a time as values grow, and every earlier value survives each
// widening; a 40-bit bus takes 5 bytes per run, not 8.
TEST(Store, PayloadsWidenByTheByte) {
    SignalStore s;
    std::vector<uint64_t> written;
    for (int bits = 1; bits <= 64; ++bits) {
        for (int k = 0; k < 3; ++k) {
            uint64_t v = (bits == 64 ? ~uint64_t(0) : (uint64_t(1) << bits) - 1) - uint64_t(k);
            s.append_int(0, written.size(), v);
            written.push_back(v);
        }
    }
    s.finish(written.size());
    for (size_t i = 0; i < written.size(); ++i) ASSERT_EQ(s.get(0, i).as_int(), written[i]) << i;

    SignalStore bus;
    const int runs = 20000;
    for (int i = 0; i < runs; ++i)
        bus.append_int(0, uint64_t(i), (uint64_t(i) << 20) | 0x8000000001);
    bus.finish(runs);
    EXPECT_EQ(bus.get(0, 123).as_int(), (uint64_t(123) << 20) | 0x8000000001);
    EXPECT_LT(bus.column(0)->bytes(), size_t(runs) * 8);  // 2 bytes of start + 5 of payload
}

// Change queries and statistics walk change points; they must answer exactly as the per-index
// definitions do, for every kind of value the store holds (including Wide and Str, which the
// text dumps cannot produce). Also the pieces of the name queries Python cannot reach.
#include <gtest/gtest.h>

#include <cmath>
#include <iterator>
#include <limits>
#include <optional>
#include <random>

#include "query/changes.h"
#include "query/scope.h"
#include "query/stats.h"
#include "util/lowercase.h"

using tarn::glob_match;
using tarn::SignalValue;
using tarn::Trace;
using tarn::TraceData;
namespace query = tarn::query;

namespace {

SignalValue random_value(std::mt19937_64& rng) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    switch (rng() % 9) {
        case 0:
        case 1:
            return SignalValue::make_int(rng() % 4 == 0 ? rng() : rng() % 3);
        case 2:
            return SignalValue::make_wide({rng() % 2, 7});
        case 3:
            return SignalValue::make_logic(SignalValue::Bits(1 + rng() % 2, uint8_t(rng() % 4)));
        case 4:  // long enough to live outside the run's inline payload
            return SignalValue::make_logic(SignalValue::Bits(40, uint8_t(rng() % 4)));
        case 5: {
            const double reals[] = {0.0, -0.0, 1.5, nan};
            return SignalValue::make_real(reals[rng() % 4]);
        }
        case 6:
            return SignalValue::make_str(rng() % 2 ? "ab" : "abc");
        default:
            return SignalValue::missing();
    }
}

// A trace of `signals` signals over `n` indices written with the literal operations, in random
// order, with gaps; plus an alias name for signal 0 and a name without values.
Trace random_trace(std::mt19937_64& rng, uint64_t signals, uint64_t n) {
    TraceData d;
    for (uint64_t id = 0; id < signals; ++id) {
        std::string name = "top.s" + std::to_string(id);
        d.signal_names.push_back(name);
        d.name_to_id[name] = id;
        for (int k = 0; k < 12; ++k) d.store.set(id, rng() % (n + 3), random_value(rng));
        // Stretches of one value, some of them NaN.
        uint64_t from = rng() % n, len = rng() % 6;
        SignalValue v = random_value(rng);
        for (uint64_t i = from; i < from + len; ++i) d.store.set(id, i, v);
    }
    d.signal_names.push_back("top.alias");
    d.name_to_id["top.alias"] = 0;
    d.signal_names.push_back("top.empty");
    d.name_to_id["top.empty"] = signals + 5;
    d.signal_names.push_back("top.unmapped");
    for (uint64_t i = 0; i < n; ++i) d.timestamps.push_back(10 * i);
    return Trace(std::move(d));
}

TEST(Changes, StrictEquality) {
    using SV = SignalValue;
    EXPECT_TRUE(query::values_equal(SV::missing(), SV::missing()));
    EXPECT_FALSE(query::values_equal(SV::make_int(5), SV::make_logic({1, 0, 1})));
    EXPECT_FALSE(query::values_equal(SV::make_int(1), SV::make_wide({1})));
    EXPECT_FALSE(query::values_equal(SV::make_wide({1}), SV::make_wide({1, 0})));
    EXPECT_TRUE(query::values_equal(SV::make_real(0.0), SV::make_real(-0.0)));
    SV nan = SV::make_real(std::nan(""));
    EXPECT_FALSE(query::values_equal(nan, nan));
    EXPECT_FALSE(query::values_equal(SV::make_str("a"), SV::make_str(std::string("a\0", 2))));
}

TEST(Changes, RunWalksEqualPerIndexDefinition) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 40; ++round) {
        const uint64_t n = 1 + rng() % 30;
        Trace t = random_trace(rng, 6, n);
        const uint64_t m = t.max_index();
        for (const std::string& name : t.signal_names()) {
            std::vector<query::TransitionRecord> expected;
            query::SignalStats s;
            s.min = UINT64_MAX;
            // The statistics of reals: NaN counts and poisons the mean, min and max skip it.
            uint64_t reals = 0, numbers = 0;
            double rmin = INFINITY, rmax = -INFINITY, rsum = 0;
            bool rnan = false;
            auto id = t.signal_id(name);
            SignalValue prev;
            for (uint64_t i = 0; id && i <= m; ++i) {
                SignalValue v = t.signal_value_by_id(*id, i);
                if (v.tag() == tarn::Tag::Real) {
                    ++reals;
                    double x = v.as_real();
                    if (std::isnan(x)) {
                        rnan = true;
                    } else {
                        ++numbers;
                        rmin = std::min(rmin, x), rmax = std::max(rmax, x), rsum += x;
                    }
                }
                if (i >= 1 && !query::values_equal(prev, v)) {
                    expected.push_back({i, prev, v});
                    ++s.transitions;
                }
                switch (v.tag()) {
                    case tarn::Tag::Int:
                        s.sum += v.as_int();
                        s.min = std::min(s.min, v.as_int());
                        s.max = std::max(s.max, v.as_int());
                        ++s.count;
                        break;
                    case tarn::Tag::Logic:
                        for (uint8_t b : v.as_logic()) s.num_x += b == 2, s.num_z += b == 3;
                        break;
                    case tarn::Tag::Missing:
                        ++s.num_x;
                        break;
                    default:
                        break;
                }
                prev = v;
            }
            if (s.count == 0) s.min = 0;

            auto got = query::transitions(t, name);
            ASSERT_EQ(got.size(), expected.size()) << name;
            for (size_t k = 0; k < got.size(); ++k) {
                EXPECT_EQ(got[k].index, expected[k].index);
                EXPECT_TRUE(got[k].old_value.identical(expected[k].old_value));
                EXPECT_TRUE(got[k].new_value.identical(expected[k].new_value));
            }
            query::SignalStats g = query::compute_stats(t, name);
            EXPECT_EQ(g.min, s.min);
            EXPECT_EQ(g.max, s.max);
            EXPECT_EQ(g.sum, s.sum);
            EXPECT_EQ(g.count, s.count);
            EXPECT_EQ(g.transitions, s.transitions);
            EXPECT_EQ(g.num_x, s.num_x);
            EXPECT_EQ(g.num_z, s.num_z);
            auto r = query::compute_real_stats(t, name);
            ASSERT_EQ(r.has_value(), reals > 0) << name;
            if (r) {
                EXPECT_EQ(r->count, reals);
                if (numbers) {
                    EXPECT_EQ(r->min, rmin);
                    EXPECT_EQ(r->max, rmax);
                } else {
                    EXPECT_TRUE(std::isnan(r->min) && std::isnan(r->max));
                }
                if (rnan)
                    EXPECT_TRUE(std::isnan(r->mean));
                else
                    EXPECT_DOUBLE_EQ(r->mean, rsum / double(reals));
            }
        }
        // changed_at at every index and past the end, against the two reads it stands for.
        for (uint64_t i = 0; i <= m + 4; ++i) {
            auto got = query::changed_at(t, i);
            size_t k = 0;
            for (const std::string& name : t.signal_names()) {
                auto id = t.signal_id(name);
                if (i == 0 || !id) continue;
                SignalValue a = t.signal_value_by_id(*id, i - 1), b = t.signal_value_by_id(*id, i);
                if (query::values_equal(a, b)) continue;
                ASSERT_LT(k, got.size());
                EXPECT_EQ(got[k].name, name);
                EXPECT_TRUE(got[k].old_value.identical(a));
                EXPECT_TRUE(got[k].new_value.identical(b));
                ++k;
            }
            EXPECT_EQ(k, got.size());
        }
    }
}

TEST(Stats, RealsOverLongRunsAndLargeValues) {
    TraceData d;
    d.signal_names = {"big", "fine", "ints", "nan"};
    for (uint64_t id = 0; id < 4; ++id) d.name_to_id[d.signal_names[id]] = id;
    const uint64_t n = 3'000'001;
    d.timestamps.resize(n);
    // Appended values hold until the next change of their signal.
    d.store.append(0, 0, SignalValue::make_real(1e308));  // a plain sum would overflow
    d.store.append(0, n - 2, SignalValue::make_real(1.7e308));
    d.store.append(0, n - 1, SignalValue::make_int(5));  // not a real: left out
    d.store.append(1, 0, SignalValue::make_real(1e16));  // one large value, then many small ones
    d.store.append(1, 1, SignalValue::make_real(0.1));
    d.store.append(2, 0, SignalValue::make_int(1));
    d.store.append(3, 5, SignalValue::make_real(std::nan("")));
    d.store.reserve_ids(4);
    d.store.finish(n);
    Trace t(std::move(d));
    auto big = query::compute_real_stats(t, "big");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->count, n - 1);  // the last index holds the Int
    EXPECT_EQ(big->min, 1e308);
    EXPECT_EQ(big->max, 1.7e308);
    EXPECT_DOUBLE_EQ(big->mean, 1e308 + 0.7e308 / double(n - 1));
    auto fine = query::compute_real_stats(t, "fine");
    ASSERT_TRUE(fine);
    EXPECT_EQ(fine->count, n);
    EXPECT_DOUBLE_EQ(fine->mean, (1e16 + 0.1 * double(n - 1)) / double(n));
    EXPECT_FALSE(query::compute_real_stats(t, "ints"));
    EXPECT_FALSE(query::compute_real_stats(t, "nope"));
    auto nan = query::compute_real_stats(t, "nan");
    ASSERT_TRUE(nan);
    EXPECT_EQ(nan->count, n - 5);
    EXPECT_TRUE(std::isnan(nan->min) && std::isnan(nan->max) && std::isnan(nan->mean));
}

TEST(Stats, ValueHelpers) {
    EXPECT_EQ(query::bit_slice(240, 7, 4), 15u);
    EXPECT_EQ(query::bit_slice(240, 3, 5), 0u);
    EXPECT_EQ(query::bit_slice(UINT64_MAX, UINT64_MAX, 0), UINT64_MAX);
    EXPECT_EQ(query::bit_slice(UINT64_MAX, 200, 64), 0u);
    EXPECT_EQ(query::sign_extend(504, 4), -8);
    EXPECT_EQ(query::sign_extend(496, 4), 496);
    EXPECT_EQ(query::sign_extend(UINT64_MAX, 0), -1);
}

TEST(Snapshots, ScopeFilterAndValues) {
    EXPECT_EQ(query::name_below("top.a.b", "top"), "a.b");
    EXPECT_EQ(query::name_below("top.", "top"), "");
    EXPECT_EQ(query::name_below(".x", ""), "x");
    for (const char* other : {"topx.a", "top", "to", "x"})
        EXPECT_FALSE(query::name_below(other, "top")) << other;

    // Random traces: every entry against the per-index read of its name, in name-list order.
    std::mt19937_64 rng(777);
    for (int round = 0; round < 20; ++round) {
        const uint64_t n = 1 + rng() % 20;
        TraceData d;
        const char* names[] = {"top.a", "top.sub.b", "topx.c", ".d", "e", "top."};
        for (uint64_t id = 0; id < std::size(names); ++id) {
            d.signal_names.push_back(names[id]);
            d.name_to_id[names[id]] = id;
            for (int k = 0; k < 6; ++k) d.store.set(id, rng() % (n + 2), random_value(rng));
        }
        d.signal_names.push_back("top.alias");
        d.name_to_id["top.alias"] = 1;
        d.signal_names.push_back("top.unmapped");
        for (uint64_t i = 0; i < n; ++i) d.timestamps.push_back(i);
        Trace t(std::move(d));
        for (std::optional<std::string_view> scope :
             {std::optional<std::string_view>(), std::optional<std::string_view>("top"),
              std::optional<std::string_view>(""), std::optional<std::string_view>("top.sub")}) {
            for (uint64_t i = 0; i <= n + 1; ++i) {
                auto got = query::snapshot(t, i, scope);
                size_t k = 0;
                for (const std::string& name : t.signal_names()) {
                    auto key = scope ? query::name_below(name, *scope) : std::string_view(name);
                    auto id = t.signal_id(name);
                    if (!key || !id) continue;
                    ASSERT_LT(k, got.size());
                    EXPECT_EQ(got[k].key, *key);
                    SignalValue want = t.signal_value_by_id(*id, i);
                    if (got[k].run == tarn::Column::npos)
                        EXPECT_TRUE(want.is_missing()) << name << " @" << i;
                    else
                        EXPECT_TRUE(got[k].column->run_value(got[k].run).identical(want));
                    ++k;
                }
                EXPECT_EQ(k, got.size());
            }
        }
    }
}

TEST(Names, LocalScopesFromDeepScopesOnly) {
    TraceData d;
    d.scopes = {"top.a.b", "top.a.c", "top.d", "x.y"};
    Trace t(std::move(d));
    EXPECT_EQ(query::local_scopes(t, "top"), (std::vector<std::string>{"top.a", "top.d"}));
    EXPECT_EQ(query::local_scopes(t, ""), std::vector<std::string>{});
}

TEST(Names, GlobTwoCursors) {
    EXPECT_TRUE(glob_match("", ""));
    EXPECT_FALSE(glob_match("", "a"));
    EXPECT_TRUE(glob_match("***", ""));
    EXPECT_TRUE(glob_match("*", "*ab"));
    EXPECT_TRUE(glob_match("a*", "a*b"));
    EXPECT_TRUE(glob_match("*b*b", "abxbyb"));
    EXPECT_FALSE(glob_match("*b*b", "abxa"));
    EXPECT_TRUE(glob_match("??", "\xC3\xA9"));
}

TEST(Names, LowerCase) {
    using tarn::text::to_lower;
    EXPECT_EQ(to_lower("AbC.x"), "abc.x");
    EXPECT_EQ(to_lower("\xC4\xB0"), "i\xCC\x87");                 // U+0130: 2 bytes -> 3
    EXPECT_EQ(to_lower("\xE2\x84\xAA"), "k");                     // Kelvin sign: 3 bytes -> 1
    EXPECT_EQ(to_lower("\xC8\xBA"), "\xE2\xB1\xA5");              // U+023A -> U+2C65
    EXPECT_EQ(to_lower("\xF0\x90\x90\x80"), "\xF0\x90\x90\xA8");  // Deseret, 4 bytes
    // Capital sigma: final form after a cased letter unless a cased letter follows.
    EXPECT_EQ(to_lower("\xCE\xA3"), "\xCF\x83");
    EXPECT_EQ(to_lower("A\xCE\xA3"), "a\xCF\x82");
    EXPECT_EQ(to_lower("A\xCE\xA3"
                       "B"),
              "a\xCF\x83"
              "b");
    EXPECT_EQ(to_lower("A'\xCE\xA3'"), "a'\xCF\x82'");  // apostrophes are case-ignorable
    EXPECT_EQ(to_lower("A\xCE\xA3'B"), "a\xCF\x83'b");
    // Invalid UTF-8 passes through byte for byte.
    EXPECT_EQ(to_lower("A\xFF\xC4"), "a\xFF\xC4");
    EXPECT_EQ(to_lower("\xED\xA0\x80Z"), "\xED\xA0\x80z");  // an encoded surrogate
}

}  // namespace

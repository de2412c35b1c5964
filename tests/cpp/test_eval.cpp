// Evaluation and searches against a literal, recursive reading of the rules, on random traces
// and random trees; deep and shared trees.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <random>
#include <string>

#include "query/expr.h"
#include "query/find.h"
#include "util/text.h"

using tarn::SignalValue;
using tarn::Tag;
using tarn::Trace;
using tarn::TraceData;
using tarn::query::Expr;
using tarn::query::ExprKind;
using tarn::query::ExprPtr;

namespace {

// ---- The reference: one recursive evaluation per index, exactly as the rules read ----

bool ref_truthy(const SignalValue& v) {
    switch (v.tag()) {
        case Tag::Int:
            return v.as_int() != 0;
        case Tag::Wide:
            for (auto w : v.as_wide())
                if (w != 0) return true;
            return false;
        case Tag::Logic:
            for (auto b : v.as_logic())
                if (b == 1) return true;
            return false;
        case Tag::Real:
            return std::isnan(v.as_real()) || v.as_real() != 0.0;
        case Tag::Str:
            return !v.as_str().empty();
        default:
            return false;
    }
}

SignalValue ref_bool(bool b) {
    return SignalValue::make_int(b ? 1 : 0);
}

SignalValue ref_eval(const Trace& t, const Expr& e, uint64_t i);

// The bits of a two-state value as a number, least significant word first, without high zero
// words; absent for every other value (an empty Wide included).
std::optional<std::vector<uint64_t>> ref_number(const SignalValue& v) {
    std::vector<uint64_t> w;
    if (v.tag() == Tag::Int) {
        w = {v.as_int()};
    } else if (v.tag() == Tag::Wide && !v.as_wide().empty()) {
        w = v.as_wide();
    } else if (v.tag() == Tag::Logic) {
        const auto& bits = v.as_logic();
        w.assign(bits.size() / 64 + 1, 0);
        for (size_t k = 0; k < bits.size(); ++k) {
            if (bits[k] > 1) return std::nullopt;
            size_t at = bits.size() - 1 - k;
            if (bits[k]) w[at / 64] |= uint64_t(1) << (at % 64);
        }
    } else {
        return std::nullopt;
    }
    while (!w.empty() && w.back() == 0) w.pop_back();
    return w;
}

// Decimal digits of a number given as words, by long division.
std::string ref_decimal(std::vector<uint64_t> w) {
    std::string digits;
    while (!w.empty()) {
        unsigned __int128 rem = 0;
        for (size_t k = w.size(); k-- > 0;) {
            unsigned __int128 cur = (rem << 64) | w[k];
            w[k] = uint64_t(cur / 10);
            rem = cur % 10;
        }
        digits.insert(digits.begin(), char('0' + int(rem)));
        while (!w.empty() && w.back() == 0) w.pop_back();
    }
    return digits.empty() ? "0" : digits;
}

// The float reading: the nearest double to a two-state number (strtod rounds its decimal
// digits), a real as it is, a text read as a float.
std::optional<double> ref_f64(const SignalValue& v) {
    if (auto w = ref_number(v)) return std::strtod(ref_decimal(*w).c_str(), nullptr);
    if (v.tag() == Tag::Real) return v.as_real();
    if (v.tag() == Tag::Str) return tarn::text::parse_f64(v.as_str());
    return std::nullopt;
}

// Two two-state values wider than 64 bits compare whole: -1, 0, 1; absent when the rule does not
// apply.
std::optional<int> ref_full_compare(const SignalValue& a, const SignalValue& b) {
    auto x = ref_number(a), y = ref_number(b);
    if (!x || !y || (x->size() <= 1 && y->size() <= 1)) return std::nullopt;
    if (x->size() != y->size()) return x->size() < y->size() ? -1 : 1;
    for (size_t k = x->size(); k-- > 0;)
        if ((*x)[k] != (*y)[k]) return (*x)[k] < (*y)[k] ? -1 : 1;
    return 0;
}

bool ref_eq(const SignalValue& a, const SignalValue& b) {
    if (auto c = ref_full_compare(a, b)) return *c == 0;
    if (a.tag() == b.tag()) {
        bool same = false;
        switch (a.tag()) {
            case Tag::Int:
                same = a.as_int() == b.as_int();
                break;
            case Tag::Wide:
                same = a.as_wide() == b.as_wide();
                break;
            case Tag::Logic:
                same = a.as_logic() == b.as_logic();
                break;
            case Tag::Real:
                same = a.as_real() == b.as_real();
                break;
            case Tag::Str:
                same = a.as_str() == b.as_str();
                break;
            case Tag::Missing:
                same = true;
                break;
        }
        if (same) return true;
    }
    auto x = tarn::to_u64(a), y = tarn::to_u64(b);
    return x && y && *x == *y;
}

SignalValue ref_eval(const Trace& t, const Expr& e, uint64_t i) {
    auto both = [&](auto f) -> SignalValue {
        auto x = tarn::to_u64(ref_eval(t, *e.left, i));
        auto y = tarn::to_u64(ref_eval(t, *e.right, i));
        if (!x || !y) return SignalValue::missing();
        return f(*x, *y);
    };
    // Orderings: the readings, or the whole values when one is wider than 64 bits.
    auto order = [&](auto holds) -> SignalValue {
        SignalValue l = ref_eval(t, *e.left, i), r = ref_eval(t, *e.right, i);
        if (auto c = ref_full_compare(l, r)) return ref_bool(holds(*c));
        auto x = tarn::to_u64(l), y = tarn::to_u64(r);
        if (!x || !y) return SignalValue::missing();
        return ref_bool(holds(*x < *y ? -1 : *x > *y ? 1 : 0));
    };
    auto floats = [&](auto f) -> SignalValue {
        auto x = ref_f64(ref_eval(t, *e.left, i)), y = ref_f64(ref_eval(t, *e.right, i));
        if (!x || !y) return SignalValue::missing();
        return f(*x, *y);
    };
    auto logic_has = [](const SignalValue& v, uint8_t bit) {
        if (v.tag() != Tag::Logic) return false;
        for (auto b : v.as_logic())
            if (b == bit) return true;
        return false;
    };
    switch (e.kind) {
        case ExprKind::Signal:
            return t.signal_value_by_id(e.id, i);
        case ExprKind::Const:
            return e.value;
        case ExprKind::RelEval: {
            __int128 j = __int128(i) + e.offset;
            if (j < 0 || j > __int128(t.max_index())) return SignalValue::missing();
            return ref_eval(t, *e.left, uint64_t(j));
        }
        case ExprKind::Not:
            return ref_bool(!ref_truthy(ref_eval(t, *e.left, i)));
        case ExprKind::And: {
            bool l = ref_truthy(ref_eval(t, *e.left, i)), r = ref_truthy(ref_eval(t, *e.right, i));
            return ref_bool(l && r);
        }
        case ExprKind::Or: {
            bool l = ref_truthy(ref_eval(t, *e.left, i)), r = ref_truthy(ref_eval(t, *e.right, i));
            return ref_bool(l || r);
        }
        case ExprKind::Eq:
            return ref_bool(ref_eq(ref_eval(t, *e.left, i), ref_eval(t, *e.right, i)));
        case ExprKind::Neq: {
            // A temporary Eq over two constants, negated.
            auto tmp = Expr::binary(ExprKind::Eq, Expr::constant(ref_eval(t, *e.left, i)),
                                    Expr::constant(ref_eval(t, *e.right, i)));
            return ref_bool(!ref_truthy(ref_eval(t, *tmp, i)));
        }
        case ExprKind::Gt:
            return order([](int c) { return c > 0; });
        case ExprKind::Lt:
            return order([](int c) { return c < 0; });
        case ExprKind::Gte:
            return order([](int c) { return c >= 0; });
        case ExprKind::Lte:
            return order([](int c) { return c <= 0; });
        case ExprKind::Add:
            return both([](uint64_t x, uint64_t y) { return SignalValue::make_int(x + y); });
        case ExprKind::Sub:
            return both([](uint64_t x, uint64_t y) { return SignalValue::make_int(x - y); });
        case ExprKind::BitAnd:
            return both([](uint64_t x, uint64_t y) { return SignalValue::make_int(x & y); });
        case ExprKind::BitOr:
            return both([](uint64_t x, uint64_t y) { return SignalValue::make_int(x | y); });
        case ExprKind::BitXor:
            return both([](uint64_t x, uint64_t y) { return SignalValue::make_int(x ^ y); });
        case ExprKind::Slice: {
            auto v = tarn::to_u64(ref_eval(t, *e.left, i));
            if (!v) return SignalValue::missing();
            if (e.high < e.low || e.low >= 64) return SignalValue::make_int(0);
            unsigned __int128 width = (unsigned __int128)(e.high) - e.low + 1;
            uint64_t shifted = *v >> e.low;
            if (width >= 64) return SignalValue::make_int(shifted);
            return SignalValue::make_int(shifted & ((uint64_t(1) << width) - 1));
        }
        case ExprKind::Signed: {
            auto v = tarn::to_u64(ref_eval(t, *e.left, i));
            return v ? SignalValue::make_int(*v) : SignalValue::missing();
        }
        case ExprKind::IsX: {
            auto v = ref_eval(t, *e.left, i);
            return ref_bool(v.is_missing() || logic_has(v, 2));
        }
        case ExprKind::IsZ:
            return ref_bool(logic_has(ref_eval(t, *e.left, i), 3));
        case ExprKind::AlwaysTrue:
            return ref_bool(true);
        case ExprKind::RealEq:
            return floats([](double x, double y) { return ref_bool(x == y); });
        case ExprKind::RealNeq: {
            auto tmp = Expr::binary(ExprKind::RealEq, Expr::constant(ref_eval(t, *e.left, i)),
                                    Expr::constant(ref_eval(t, *e.right, i)));
            return ref_bool(!ref_truthy(ref_eval(t, *tmp, i)));
        }
        case ExprKind::RealLt:
            return floats([](double x, double y) { return ref_bool(x < y); });
        case ExprKind::RealGt:
            return floats([](double x, double y) { return ref_bool(x > y); });
        case ExprKind::RealLte:
            return floats([](double x, double y) { return ref_bool(x <= y); });
        case ExprKind::RealGte:
            return floats([](double x, double y) { return ref_bool(x >= y); });
        case ExprKind::RealAdd:
            return floats([](double x, double y) { return SignalValue::make_real(x + y); });
        case ExprKind::RealSub:
            return floats([](double x, double y) { return SignalValue::make_real(x - y); });
    }
    return SignalValue::missing();
}

// Same kind and payload; NaN equals NaN here (we compare results, not values).
bool same(const SignalValue& a, const SignalValue& b) {
    if (a.tag() == Tag::Real && b.tag() == Tag::Real) {
        double x = a.as_real(), y = b.as_real();
        return std::memcmp(&x, &y, 8) == 0;
    }
    return a.tag() == b.tag() && a.v == b.v;
}

// ---- Random traces and trees ----

SignalValue random_value(std::mt19937_64& rng) {
    switch (rng() % 13) {
        case 0:
            return SignalValue::missing();
        case 1:
            return SignalValue::make_real(std::array<double, 9>{
                0.0, 2.9, -1.5, std::numeric_limits<double>::quiet_NaN(), 3.2, -0.0, 5.0,
                -std::numeric_limits<double>::infinity(), 1.8446744073709552e19}[rng() % 9]);
        case 2:
            return SignalValue::make_str(std::array<const char*, 8>{
                "", "5", "05", "idle", "+3", "2.9", "-1e3", "nan"}[rng() % 8]);
        case 3:
            if (rng() % 3 == 0) return SignalValue::make_wide({});
            // Equal low words now and then, so only the upper bits tell values apart.
            if (rng() % 2) return SignalValue::make_wide({5, rng() % 3, rng() % 2});
            return SignalValue::make_wide({rng() % 4, rng() % 2});
        case 4:
        case 5: {
            // Mostly narrow; sometimes wider than 64 bits, with or without bits above bit 63.
            SignalValue::Bits b(rng() % 4 ? 1 + rng() % 4 : 60 + rng() % 12);
            for (auto& x : b) x = uint8_t(rng() % 10 < 8 ? rng() % 2 : 2 + rng() % 2);
            if (b.size() > 4 && rng() % 2)
                for (auto& x : b) x &= 1;
            return SignalValue::make_logic(b);
        }
        case 6:
            return SignalValue::make_int(rng() % 2 ? UINT64_MAX : UINT64_MAX - 1);
        default:
            return SignalValue::make_int(rng() % 6);
    }
}

Trace random_trace(std::mt19937_64& rng) {
    TraceData d;
    size_t n = rng() % 5 == 0 ? rng() % 2 : 1 + rng() % 60;
    for (size_t i = 0; i < n; ++i) d.timestamps.push_back(i * 10);
    size_t signals = 1 + rng() % 4;
    for (size_t s = 0; s < signals; ++s) {
        // Runs of values with gaps; sometimes slots beyond the last time stamp.
        size_t len = n + (rng() % 4 == 0 ? rng() % 5 : 0);
        size_t i = rng() % 3 == 0 ? rng() % (len + 1) : 0;
        while (i < len) {
            SignalValue v = random_value(rng);
            size_t run = 1 + rng() % 8;
            for (size_t k = 0; k < run && i < len; ++k, ++i) d.store.set(s, i, v);
        }
    }
    return Trace(std::move(d));
}

ExprPtr random_tree(std::mt19937_64& rng, int depth, size_t signals) {
    if (depth == 0 || rng() % 5 == 0) {
        switch (rng() % 5) {
            case 0:
                return Expr::constant(random_value(rng));
            case 1:
                return Expr::always_true();
            default:
                return Expr::signal(rng() % (signals + 1));  // sometimes an unknown id
        }
    }
    auto child = [&] { return random_tree(rng, depth - 1, signals); };
    int k = int(rng() % tarn::query::kExprKinds);
    switch (static_cast<ExprKind>(k)) {
        case ExprKind::Signal:
        case ExprKind::Const:
        case ExprKind::AlwaysTrue:
            return Expr::signal(rng() % signals);
        case ExprKind::RelEval: {
            int64_t off = int64_t(rng() % 9) - 4;
            if (rng() % 10 == 0)
                off = rng() % 2 ? std::numeric_limits<int64_t>::max()
                                : std::numeric_limits<int64_t>::min();
            return Expr::rel_eval(child(), off);
        }
        case ExprKind::Slice: {
            uint64_t hi = rng() % 70, lo = rng() % 70;
            if (rng() % 8 == 0) hi = UINT64_MAX;
            return Expr::slice(child(), hi, lo);
        }
        case ExprKind::Not:
        case ExprKind::Signed:
        case ExprKind::IsX:
        case ExprKind::IsZ:
            return Expr::unary(static_cast<ExprKind>(k), child());
        default: {
            auto l = child();
            // Share a subtree now and then, as the builders do.
            auto r = rng() % 6 == 0 ? l : child();
            return Expr::binary(static_cast<ExprKind>(k), l, r);
        }
    }
}

}  // namespace

TEST(Eval, MatchesReferenceOnRandomTreesAndTraces) {
    std::mt19937_64 rng(12345);
    for (int round = 0; round < 400; ++round) {
        Trace t = random_trace(rng);
        size_t signals = t.store().num_columns() ? t.store().num_columns() : 1;
        for (int k = 0; k < 6; ++k) {
            ExprPtr e = random_tree(rng, 1 + int(rng() % 5), signals);
            std::vector<uint64_t> expect;
            for (uint64_t i = 0; i <= t.max_index() + 3; ++i) {
                SignalValue want = ref_eval(t, *e, i);
                SignalValue got = tarn::query::eval(t, *e, i);
                ASSERT_TRUE(same(want, got)) << "round " << round << " index " << i;
                ASSERT_EQ(ref_truthy(want), tarn::query::eval_bool(t, *e, i));
                if (i <= t.max_index() && ref_truthy(want)) expect.push_back(i);
            }
            ASSERT_EQ(expect, tarn::query::find(t, *e)) << "round " << round;
            ASSERT_EQ(expect, tarn::query::find_per_index(t, *e));
            for (uint64_t piece : {1, 2, 3, 7, 0}) {
                ASSERT_EQ(expect, tarn::query::parallel_find(t, *e, piece)) << piece;
                ASSERT_EQ(expect.size(), tarn::query::parallel_count(t, *e, piece)) << piece;
            }
        }
    }
}

TEST(Eval, IndexFarOutsideTheTrace) {
    TraceData d;
    d.timestamps = {0, 1, 2};
    for (uint64_t i = 0; i < 3; ++i) d.store.set(0, i, SignalValue::make_int(i + 1));
    Trace t(std::move(d));
    auto sig = Expr::signal(0);
    // A relative offset may bring an index past the end back into the trace, exactly.
    auto back = Expr::rel_eval(sig, std::numeric_limits<int64_t>::min());
    EXPECT_TRUE(tarn::query::eval(t, *back, uint64_t(1) << 63).is_missing() == false);
    EXPECT_EQ(tarn::query::eval(t, *back, uint64_t(1) << 63).as_int(), 1u);
    EXPECT_TRUE(tarn::query::eval(t, *back, UINT64_MAX).is_missing());
    auto fwd = Expr::rel_eval(Expr::rel_eval(sig, INT64_MAX), INT64_MAX);
    EXPECT_TRUE(tarn::query::eval(t, *fwd, 0).is_missing());
    EXPECT_TRUE(tarn::query::find(t, *fwd).empty());
}

TEST(Eval, DeepChainsAreBuiltEvaluatedAndFreedWithoutRecursion) {
    TraceData d;
    d.timestamps = {0, 1, 2, 3};
    d.store.set(0, 1, SignalValue::make_int(1));
    d.store.set(0, 2, SignalValue::make_int(0));
    Trace t(std::move(d));
    ExprPtr e = Expr::signal(0);
    for (int i = 0; i < 300000; ++i) e = Expr::unary(ExprKind::Not, e);  // even: same truth
    EXPECT_EQ(tarn::query::find(t, *e), (std::vector<uint64_t>{1}));
    EXPECT_EQ(tarn::query::parallel_count(t, *e, 1), 1u);
    ExprPtr r = Expr::signal(0);
    for (int i = 0; i < 100000; ++i) r = Expr::rel_eval(r, i % 2 ? 1 : -1);
    EXPECT_EQ(tarn::query::find(t, *r), (std::vector<uint64_t>{1}));
    e.reset();
    r.reset();
}

TEST(Eval, SharedSubtreesAreEvaluatedOncePerIndex) {
    TraceData d;
    d.timestamps = {0, 1, 2};
    d.store.set(0, 1, SignalValue::make_int(3));
    d.store.set(0, 2, SignalValue::make_int(3));
    Trace t(std::move(d));
    // 2^200 nodes as a tree, 201 distinct ones.
    ExprPtr e = Expr::signal(0);
    for (int i = 0; i < 200; ++i) e = Expr::binary(ExprKind::And, e, e);
    EXPECT_EQ(tarn::query::find(t, *e), (std::vector<uint64_t>{1, 2}));
}

TEST(Eval, ManyLeavesAlongADeepChain) {
    // Leaves at every level: too many dependent instructions per leaf to track them singly.
    TraceData d;
    for (uint64_t i = 0; i < 120; ++i) {
        d.timestamps.push_back(i);
        d.store.set(0, i, SignalValue::make_int((i / 3) % 2));
        d.store.set(1, i, SignalValue::make_int((i / 5) % 3 != 0));
    }
    Trace t(std::move(d));
    ExprPtr e = Expr::signal(0);
    for (int k = 0; k < 6000; ++k) {
        ExprPtr leaf = Expr::rel_eval(Expr::signal(k % 2), -(k % 60));
        e = Expr::binary(k % 7 ? ExprKind::Or : ExprKind::And, e, leaf);
    }
    auto want = tarn::query::find_per_index(t, *e);
    EXPECT_FALSE(want.empty());
    EXPECT_EQ(want, tarn::query::find(t, *e));
    EXPECT_EQ(want, tarn::query::parallel_find(t, *e, 7));
}

TEST(Eval, FloatReadingOfWideNumbersIsTheNearestDouble) {
    // Against strtod of the decimal digits, on numbers made to sit at and beside the halfway
    // points between doubles (a run of ones or zeros after the 53rd bit, a lone low bit).
    std::mt19937_64 rng(99);
    for (int round = 0; round < 20000; ++round) {
        std::vector<uint64_t> w(1 + rng() % 20);
        for (auto& x : w) {
            switch (rng() % 4) {
                case 0:
                    x = 0;
                    break;
                case 1:
                    x = UINT64_MAX;
                    break;
                case 2:
                    x = uint64_t(1) << (rng() % 64);
                    break;
                default:
                    x = rng();
            }
        }
        double want = std::strtod(ref_decimal(w).c_str(), nullptr);
        double got = tarn::words_to_double(w.data(), w.size());
        ASSERT_EQ(std::memcmp(&want, &got, 8), 0) << ref_decimal(w);
        auto via_value = tarn::to_f64(tarn::two_state_from_words(w));
        ASSERT_TRUE(via_value && std::memcmp(&want, &*via_value, 8) == 0);
    }
    // Beyond the largest double: infinity.
    std::vector<uint64_t> huge(17, UINT64_MAX);
    EXPECT_TRUE(std::isinf(tarn::words_to_double(huge.data(), huge.size())));
    EXPECT_FALSE(tarn::to_f64(SignalValue::make_wide({})));
    EXPECT_FALSE(tarn::to_f64(SignalValue::make_logic({1, 3})));
    EXPECT_EQ(tarn::to_f64(SignalValue::make_logic({})), 0.0);
    EXPECT_EQ(tarn::to_f64(SignalValue::make_str("-2.5e1")), -25.0);
    EXPECT_FALSE(tarn::to_f64(SignalValue::make_str("idle")));
    EXPECT_FALSE(tarn::to_f64(SignalValue::missing()));
}

TEST(Eval, WideValuesCompareWhole) {
    // Two 100-bit signals equal in their low 64 bits, differing above them.
    TraceData d;
    d.timestamps = {0, 1, 2, 3};
    const SignalValue a = SignalValue::make_wide({7, 1}), b = SignalValue::make_wide({7, 2});
    d.store.set(0, 0, a);
    d.store.set(0, 1, b);
    d.store.set(0, 2, b);
    d.store.set(0, 3, SignalValue::make_int(7));
    for (uint64_t i = 0; i < 4; ++i) d.store.set(1, i, a);
    Trace t(std::move(d));
    auto w = Expr::signal(0), w2 = Expr::signal(1);
    using V = std::vector<uint64_t>;
    auto check = [&](const ExprPtr& e, const V& want) {
        EXPECT_EQ(tarn::query::find(t, *e), want);
        EXPECT_EQ(tarn::query::find_per_index(t, *e), want);
        EXPECT_EQ(tarn::query::parallel_find(t, *e, 1), want);
    };
    auto changed =
        Expr::binary(ExprKind::And, Expr::binary(ExprKind::Neq, w, Expr::rel_eval(w, -1)),
                     Expr::rel_eval(Expr::always_true(), -1));
    check(changed, (V{1, 3}));
    check(Expr::binary(ExprKind::Eq, w, w2), V{0});
    check(Expr::binary(ExprKind::Gt, w, w2), (V{1, 2}));
    check(Expr::binary(ExprKind::Lt, w, w2), V{3});
    check(Expr::binary(ExprKind::Lte, w2, w), (V{0, 1, 2}));
    // Logic without x or z is two-state too; narrower values keep their 64-bit rules.
    SignalValue::Bits bits(66, 0);
    bits[1] = bits[63] = bits[64] = bits[65] = 1;  // 2^64 + 7
    auto logic = Expr::constant(SignalValue::make_logic(bits));
    check(Expr::binary(ExprKind::Eq, logic, w2), (V{0, 1, 2, 3}));
    check(Expr::binary(ExprKind::Eq, logic, Expr::constant(SignalValue::make_int(1))), V{});
    check(Expr::binary(ExprKind::Eq, Expr::constant(SignalValue::make_wide({7, 0})),
                       Expr::constant(SignalValue::make_int(7))),
          (V{0, 1, 2, 3}));
    // A wide value beside a real still meets it through the 64-bit reading.
    check(Expr::binary(ExprKind::Eq, w, Expr::constant(SignalValue::make_real(7.5))),
          (V{0, 1, 2, 3}));
}

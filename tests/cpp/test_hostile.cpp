// Hostile inputs the fuzzers found or that cost more than their size, and the interruption hook.
#include <gtest/gtest.h>

#include <zlib.h>

#include <atomic>
#include <string>

#include "fst_builder.h"
#include "query/expr.h"
#include "query/find.h"
#include "signal/store.h"
#include "trace/fst.h"
#include "trace/readers.h"
#include "util/interrupt.h"

using namespace fst_test;
using tarn::SignalValue;

namespace {

std::string nested_scopes(int depth, const std::string& tail = "") {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "$scope module m $end\n";
    return s + tail + "$enddefinitions $end\n#0\n";
}

}  // namespace

TEST(HostileVcd, NestedScopesCannotExpandWithoutBound) {
    // 200,000 nested one-letter scopes: 4 MB of text whose paths would take 40 GB.
    auto bomb = tarn::parse_vcd(nested_scopes(200000));
    ASSERT_FALSE(bomb);
    EXPECT_EQ(bomb.error().rfind("VCD data: the declarations expand to more than ", 0), 0u);
    // The same depth times the many signals of a deep design is fine.
    auto deep = tarn::parse_vcd(nested_scopes(2000, "$var wire 1 ! v $end\n1!\n"));
    ASSERT_TRUE(deep) << deep.error();
    EXPECT_EQ(deep.value().scopes().size(), 2000u);
    EXPECT_EQ(deep.value().signal_names().at(0).size(), 2 * 2000 + 1u);
}

TEST(HostileFst, NestedScopesCannotExpandWithoutBound) {
    auto file = [](int depth, int reopen) {
        Bytes e;
        for (int i = 0; i < depth; ++i) append(e, scope_entry("m"));
        // Scopes reopened at the bottom add no names.
        for (int i = 0; i < reopen; ++i) {
            append(e, scope_entry("n"));
            e.push_back(255);
        }
        append(e, var_entry("v", 1));
        Bytes f = header_block(0, 0);
        append(f, geometry_block({1}));
        append(f, lz4_hierarchy_block(e));
        return f;
    };
    auto bomb = tarn::read_fst_bytes(file(60000, 0));
    ASSERT_FALSE(bomb);
    EXPECT_EQ(bomb.error().rfind("FST hierarchy: the scopes expand to more than ", 0), 0u);
    auto deep = tarn::read_fst_bytes(file(1000, 20000));
    ASSERT_TRUE(deep) << deep.error();
    EXPECT_EQ(deep.value().scopes().size(), 1001u);
    EXPECT_EQ(deep.value().signal_names().at(0).size(), 2 * 1000 + 1u);
}

TEST(HostileFst, CompressedGeometryCannotDeclareMillionsOfSignals) {
    // 50 million one-bit signals compress into 49 KB of geometry; loading them took 670 MB.
    const size_t n = 50'000'000;
    Bytes raw(n, 1);
    uLongf clen = compressBound(uLong(n));
    Bytes z(clen);
    ASSERT_EQ(compress2(z.data(), &clen, raw.data(), uLong(n), 9), Z_OK);
    z.resize(clen);
    Bytes f = header_block(0, 0);
    f.push_back(3);
    put_u64(f, 24 + z.size());
    put_u64(f, n);
    put_u64(f, n);
    append(f, z);
    Bytes e = scope_entry("top");
    append(e, var_entry("v", 1));
    e.push_back(255);
    append(f, lz4_hierarchy_block(e));
    auto t = tarn::read_fst_bytes(f);
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error(), "FST open: I/O operation failed");
}

namespace {

std::atomic<int> g_calls{0};
int g_stop_after = 0;

bool stop_after_some_calls() {
    return ++g_calls > g_stop_after;
}

struct HookGuard {
    explicit HookGuard(int after) {
        g_calls = 0;
        g_stop_after = after;
        tarn::set_interrupt_hook(stop_after_some_calls);
    }
    ~HookGuard() { tarn::set_interrupt_hook(nullptr); }
};

std::string toggling_dump(int stamps) {
    std::string s = "$var wire 1 ! a $end\n$enddefinitions $end\n";
    for (int t = 0; t < stamps; ++t) {
        s.append("#").append(std::to_string(t)).append("\n");
        s.push_back(char('0' + (t & 1)));
        s.append("!\n");
    }
    return s;
}

}  // namespace

TEST(Interrupt, OnlyInsideAScopeAndOnlyOnItsThread) {
    HookGuard hook(0);
    EXPECT_FALSE(tarn::interrupted());  // no operation running
    {
        tarn::InterruptScope scope;
        EXPECT_FALSE(scope.stopped());
        EXPECT_TRUE(tarn::interrupted());
        EXPECT_TRUE(scope.stopped());
        {
            tarn::InterruptScope inner;  // joins the running operation
            EXPECT_TRUE(inner.stopped());
        }
        EXPECT_TRUE(tarn::interrupted());
    }
    EXPECT_FALSE(tarn::interrupted());
    tarn::InterruptScope next;
    EXPECT_FALSE(next.stopped());
}

TEST(Interrupt, LoadsAndSearchesStopEarly) {
    const std::string text = toggling_dump(300000);
    auto full = tarn::parse_vcd(text);
    ASSERT_TRUE(full);
    const tarn::Trace& t = full.value();
    auto expr = tarn::query::Expr::signal(0);
    const auto all = tarn::query::find(t, *expr);
    ASSERT_EQ(all.size(), 150000u);
    {
        HookGuard hook(2);
        tarn::InterruptScope scope;
        auto part = tarn::parse_vcd(text);
        EXPECT_TRUE(scope.stopped());
        ASSERT_TRUE(part);
        EXPECT_LT(part.value().num_indices(), 300000u);
    }
    // A deep tree makes every break point costly, so the search polls between them.
    auto deep = expr;
    for (int k = 0; k < 2000; ++k)
        deep = tarn::query::Expr::binary(tarn::query::ExprKind::Or, deep, expr);
    for (bool parallel : {false, true}) {
        HookGuard hook(1);
        tarn::InterruptScope scope;
        auto part = parallel ? tarn::query::parallel_find(t, *deep) : tarn::query::find(t, *deep);
        EXPECT_TRUE(scope.stopped());
        EXPECT_LT(part.size(), all.size());
    }
    // Without a scope the hook is never asked.
    HookGuard hook(0);
    EXPECT_EQ(tarn::query::parallel_find(t, *expr), all);
}

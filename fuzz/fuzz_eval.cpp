// libFuzzer target: expression evaluation over a trace and a tree both decoded from the input.
// Every search must equal the per-index definition (sequential, on the pool with small pieces,
// and counted), and the change queries and statistics must run cleanly on the same trace. A
// snapshot, whole or of a scope, must list the names and values the per-index reads give.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "query/changes.h"
#include "query/expr.h"
#include "query/find.h"
#include "query/stats.h"
#include "trace/trace.h"

namespace {

using tarn::SignalValue;
using tarn::query::Expr;
using tarn::query::ExprKind;
using tarn::query::ExprPtr;

// Reads the input front to back; past the end every read gives zeros.
class Bytes {
  public:
    Bytes(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool empty() const { return at_ >= n_; }
    uint8_t u8() { return at_ < n_ ? p_[at_++] : 0; }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = (v << 8) | u8();
        return v;
    }
    // Small numbers most of the time, the extremes now and then.
    uint64_t number() {
        switch (u8() & 7) {
            case 0:
                return std::numeric_limits<uint64_t>::max() - (u8() & 3);
            case 1:
                return u64();
            case 2:
                return uint64_t(1) << (u8() & 63);
            default:
                return u8() & 15;
        }
    }

  private:
    const uint8_t* p_;
    size_t n_;
    size_t at_ = 0;
};

SignalValue value(Bytes& in) {
    switch (in.u8() % 7) {
        case 0:
            return SignalValue::make_int(in.number());
        case 1: {
            SignalValue::Words w(in.u8() % 3);
            for (auto& x : w) x = in.number();
            return SignalValue::make_wide(std::move(w));
        }
        case 2: {
            SignalValue::Bits b(in.u8() % 70);
            for (auto& x : b) x = in.u8() & 3;
            return SignalValue::make_logic(std::move(b));
        }
        case 3: {
            uint8_t k = in.u8();
            double d = k == 0   ? std::numeric_limits<double>::quiet_NaN()
                       : k == 1 ? -0.0
                       : k == 2 ? std::numeric_limits<double>::infinity()
                       : k == 3 ? double(int8_t(in.u8())) / 4
                                : double(int64_t(in.number()));
            return SignalValue::make_real(d);
        }
        case 4: {
            std::string s(in.u8() % 4, '0');
            for (auto& c : s) c = "01xz5 .e-"[in.u8() % 9];
            return SignalValue::make_str(s);
        }
        case 5:
            return SignalValue::missing();
        default:
            return SignalValue::make_int(in.u8() & 1);
    }
}

tarn::Trace trace(Bytes& in) {
    tarn::TraceData d;
    const uint64_t n = 1 + in.u8() % 64;
    for (uint64_t i = 0; i < n; ++i) d.timestamps.push_back(i * 10);
    // Names in, below, beside and outside the scope "top" the snapshots are asked for.
    static const char* const kPrefixes[] = {"top.", "top.sub.", "topx.", ".", ""};
    const unsigned signals = 1 + in.u8() % 5;
    for (unsigned s = 0; s < signals; ++s) {
        std::string name = kPrefixes[s] + std::string("s") + std::to_string(s);
        d.signal_names.push_back(name);
        d.widths[name] = 1 + in.u8() % 70;
        d.name_to_id[name] = s;
        uint64_t at = 0;
        for (unsigned k = in.u8() % 12; k > 0 && at < n; --k) {
            d.store.append(s, at, value(in));
            at += in.u8() % 9;
        }
    }
    d.scopes.push_back("top");
    d.store.reserve_ids(signals);
    d.store.finish(n);
    return tarn::Trace(std::move(d));
}

ExprPtr tree(Bytes& in, int depth) {
    uint8_t k = in.u8();
    if (depth <= 0 || in.empty()) k %= 3;
    switch (k % tarn::query::kExprKinds) {
        case 0:
            return Expr::signal(in.u8() % 7);  // ids past the last signal read Missing
        case 1:
            return Expr::constant(value(in));
        case 2:
            return Expr::always_true();
        case 3: {
            uint8_t o = in.u8();
            int64_t off = o < 8    ? std::numeric_limits<int64_t>::min() + o
                          : o < 16 ? std::numeric_limits<int64_t>::max() - (o - 8)
                                   : int64_t(int8_t(o)) % 20;
            return Expr::rel_eval(tree(in, depth - 1), off);
        }
        case 4:
        case 5:
        case 6:
        case 7: {
            static constexpr ExprKind unary[] = {ExprKind::Not, ExprKind::Signed, ExprKind::IsX,
                                                 ExprKind::IsZ};
            return Expr::unary(unary[k % tarn::query::kExprKinds - 4], tree(in, depth - 1));
        }
        case 8: {
            uint64_t high = in.number(), low = in.number();
            return Expr::slice(tree(in, depth - 1), high, low);
        }
        default: {
            // The two-operand kinds: And .. BitXor, then RealEq .. RealSub.
            const int j = k % tarn::query::kExprKinds - 9;
            auto kind = j < 13 ? static_cast<ExprKind>(static_cast<int>(ExprKind::And) + j)
                               : static_cast<ExprKind>(static_cast<int>(ExprKind::RealEq) + j - 13);
            ExprPtr l = tree(in, depth - 1);
            // Share an operand now and then: trees are DAGs in practice.
            ExprPtr r = (in.u8() & 7) == 0 ? l : tree(in, depth - 1);
            return Expr::binary(kind, l, r);
        }
    }
}

void check(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "mismatch: %s\n", what);
        std::abort();
    }
}

// The snapshot at i against the per-index read of every name it should list.
void check_snapshot(const tarn::Trace& t, uint64_t i, std::optional<std::string_view> scope) {
    auto got = tarn::query::snapshot(t, i, scope);
    size_t k = 0;
    for (const std::string& name : t.signal_names()) {
        auto key = scope ? tarn::query::name_below(name, *scope) : std::string_view(name);
        auto id = t.signal_id(name);
        if (!key || !id) continue;
        check(k < got.size() && got[k].key == *key, "snapshot key");
        SignalValue want = t.signal_value_by_id(*id, i);
        check(got[k].run == tarn::Column::npos
                  ? want.is_missing()
                  : got[k].column->run_value(got[k].run).identical(want),
              "snapshot value");
        ++k;
    }
    check(k == got.size(), "snapshot size");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in(data, size);
    const tarn::Trace t = trace(in);
    const ExprPtr root = tree(in, 6);
    const uint64_t piece = 1 + in.u8() % 9;

    std::vector<uint64_t> want;
    tarn::query::Program p(t, *root);
    for (uint64_t i = 0; i <= t.max_index(); ++i) {
        (void)p.eval(i);
        if (p.eval_bool(i)) want.push_back(i);
    }
    check(tarn::query::find(t, *root) == want, "find");
    check(tarn::query::parallel_find(t, *root, piece) == want, "parallel_find");
    check(tarn::query::parallel_count(t, *root, piece) == want.size(), "parallel_count");
    (void)tarn::query::eval(t, *root, std::numeric_limits<uint64_t>::max());

    for (const auto& name : t.signal_names()) {
        auto trans = tarn::query::transitions(t, name);
        auto stats = tarn::query::compute_stats(t, name);
        (void)stats;
        if (auto reals = tarn::query::compute_real_stats(t, name))
            check(reals->count >= 1 && reals->count <= t.max_index() + 1, "real count");
        for (const auto& tr : trans) check(tr.index >= 1 && tr.index <= t.max_index(), "index");
    }
    for (uint64_t i = 0; i <= t.max_index() + 1; ++i) {
        (void)tarn::query::changed_at(t, i);
        (void)tarn::query::changed_at_scope(t, i, "top");
        for (std::optional<std::string_view> scope :
             {std::optional<std::string_view>(), std::optional<std::string_view>("top"),
              std::optional<std::string_view>("")})
            check_snapshot(t, i, scope);
    }
    return 0;
}

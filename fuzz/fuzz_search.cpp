// Differential libFuzzer target: the bytes describe a small trace and an expression tree; the
// change-point search, its parallel forms and evaluation at every index must agree.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "query/expr.h"
#include "query/find.h"

using tarn::SignalValue;
using tarn::query::Expr;
using tarn::query::ExprKind;
using tarn::query::ExprPtr;

namespace {

// Reads the input a byte at a time; zeros once it runs out.
struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t next() {
        if (!n) return 0;
        --n;
        return *p++;
    }
    uint64_t wide() {
        uint64_t v = 0;
        for (int i = 0; i < 8; ++i) v = v << 8 | next();
        return v;
    }
};

SignalValue value(Bytes& in) {
    uint8_t k = in.next();
    switch (k % 8) {
        case 0:
            return SignalValue::missing();
        case 1: {
            SignalValue::Bits bits(1 + in.next() % 70);
            for (auto& b : bits) b = in.next() % 4;
            return SignalValue::make_logic(bits);
        }
        case 2:
            return SignalValue::make_real(double(int8_t(in.next())) / 4);
        case 3: {
            const char* texts[] = {"", "7", "+7", "07", "x", "18446744073709551616", "-2.5", "nan"};
            return SignalValue::make_str(texts[in.next() % 8]);
        }
        case 4:
            return SignalValue::make_wide({uint64_t(in.next() % 4), uint64_t(in.next() % 2)});
        case 5:
            return SignalValue::make_int(in.wide());
        default:
            return SignalValue::make_int(in.next() % 4);
    }
}

ExprPtr tree(Bytes& in, int depth) {
    uint8_t k = in.next();
    if (depth == 0 || k < 40) {
        if (k % 3 == 0) return Expr::constant(value(in));
        return Expr::signal(in.next() % 5);
    }
    auto kind = static_cast<ExprKind>(k % tarn::query::kExprKinds);
    switch (kind) {
        case ExprKind::Signal:
        case ExprKind::Const:
        case ExprKind::AlwaysTrue:
            return Expr::always_true();
        case ExprKind::RelEval: {
            int64_t off = int8_t(in.next()) % 9;
            if (in.next() == 255) off = in.next() % 2 ? INT64_MAX : INT64_MIN;
            return Expr::rel_eval(tree(in, depth - 1), off);
        }
        case ExprKind::Slice: {
            uint64_t high = in.next(), low = in.next();
            return Expr::slice(tree(in, depth - 1), high, low);
        }
        case ExprKind::Not:
        case ExprKind::Signed:
        case ExprKind::IsX:
        case ExprKind::IsZ:
            return Expr::unary(kind, tree(in, depth - 1));
        default: {
            ExprPtr l = tree(in, depth - 1);
            ExprPtr r = in.next() % 4 ? tree(in, depth - 1) : l;
            return Expr::binary(kind, l, r);
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Bytes in{data, size};
    tarn::TraceData d;
    size_t times = in.next() % 80;
    for (size_t i = 0; i < times; ++i) d.timestamps.push_back(i);
    size_t signals = 1 + in.next() % 4;
    for (size_t s = 0; s < signals; ++s) {
        size_t i = in.next() % 8;
        while (i < times + 2 && in.n) {
            SignalValue v = value(in);
            for (size_t run = 1 + in.next() % 16; run && i < times + 2; --run, ++i)
                d.store.set(s, i, v);
        }
    }
    tarn::Trace t(std::move(d));
    ExprPtr e = tree(in, 6);

    auto want = tarn::query::find_per_index(t, *e);
    if (tarn::query::find(t, *e) != want) std::abort();
    for (uint64_t piece : {1, 3, 0}) {
        if (tarn::query::parallel_find(t, *e, piece) != want) std::abort();
        if (tarn::query::parallel_count(t, *e, piece) != want.size()) std::abort();
    }
    return 0;
}

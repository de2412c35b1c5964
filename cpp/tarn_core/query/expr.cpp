#include "query/expr.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>

namespace tarn::query {

// ---- Building and freeing ----

namespace {

std::shared_ptr<Expr> node(ExprKind kind) {
    auto e = std::make_shared<Expr>();
    e->kind = kind;
    return e;
}

}  // namespace

Expr::~Expr() {
    if (!left && !right) return;
    // Unlink the children of every node we hold the last reference to before it dies, so no
    // destructor ever recurses.
    std::vector<ExprPtr> stack;
    if (left) stack.push_back(std::move(left));
    if (right) stack.push_back(std::move(right));
    while (!stack.empty()) {
        ExprPtr p = std::move(stack.back());
        stack.pop_back();
        if (p.use_count() == 1) {
            // Sole owner: nobody else can reach this node any more.
            auto& e = const_cast<Expr&>(*p);
            if (e.left) stack.push_back(std::move(e.left));
            if (e.right) stack.push_back(std::move(e.right));
        }
    }
}

ExprPtr Expr::signal(uint64_t id) {
    auto e = node(ExprKind::Signal);
    e->id = id;
    return e;
}

ExprPtr Expr::constant(SignalValue v) {
    auto e = node(ExprKind::Const);
    e->value = std::move(v);
    return e;
}

ExprPtr Expr::always_true() {
    return node(ExprKind::AlwaysTrue);
}

ExprPtr Expr::rel_eval(ExprPtr child, int64_t offset) {
    auto e = node(ExprKind::RelEval);
    e->left = std::move(child);
    e->offset = offset;
    return e;
}

ExprPtr Expr::slice(ExprPtr child, uint64_t high, uint64_t low) {
    auto e = node(ExprKind::Slice);
    e->left = std::move(child);
    e->high = high;
    e->low = low;
    return e;
}

ExprPtr Expr::unary(ExprKind kind, ExprPtr child) {
    auto e = node(kind);
    e->left = std::move(child);
    return e;
}

ExprPtr Expr::binary(ExprKind kind, ExprPtr l, ExprPtr r) {
    auto e = node(kind);
    e->left = std::move(l);
    e->right = std::move(r);
    return e;
}

// ---- Values ----

bool truthy(const SignalValue& v) {
    switch (v.tag()) {
        case Tag::Int:
            return v.as_int() != 0;
        case Tag::Wide:
            for (uint64_t w : v.as_wide())
                if (w) return true;
            return false;
        case Tag::Logic:
            for (uint8_t b : v.as_logic())
                if (b == kBit1) return true;
            return false;
        case Tag::Real:
            return v.as_real() != 0.0;  // NaN != 0.0 holds: a NaN is true
        case Tag::Str:
            return !v.as_str().empty();
        case Tag::Missing:
            break;
    }
    return false;
}

Val Val::make_real(double x) {
    Val r;
    r.tag = Tag::Real;
    r.num = true;
    r.u = real_to_u64(x);
    r.truth = x != 0.0;  // NaN != 0.0 holds: a NaN is true
    r.f = x;
    return r;
}

namespace {

// Whether a two-state value needs more than 64 bits (Wide: a non-zero word above the first;
// Logic: a 1 above bit 63).
bool needs_more_than_64_bits(const SignalValue& v) {
    if (v.tag() == Tag::Wide) {
        const auto& w = v.as_wide();
        for (size_t k = 1; k < w.size(); ++k)
            if (w[k]) return true;
        return false;
    }
    if (v.tag() == Tag::Logic) {
        const auto& bits = v.as_logic();
        for (size_t k = 0; k + 64 < bits.size(); ++k)
            if (bits[k] == kBit1) return true;
    }
    return false;
}

}  // namespace

Val Val::of(const SignalValue& v) {
    if (v.tag() == Tag::Int) return make_int(v.as_int());
    if (v.tag() == Tag::Real) return make_real(v.as_real());
    if (v.tag() == Tag::Missing) return missing();
    Val r;
    r.tag = v.tag();
    auto u = to_u64(v);
    r.num = u.has_value();
    r.u = u.value_or(0);
    r.truth = truthy(v);
    r.big = r.num && needs_more_than_64_bits(v);
    r.ref = &v;
    return r;
}

SignalValue Val::to_value() const {
    if (tag == Tag::Int) return SignalValue::make_int(u);
    if (tag == Tag::Real) return SignalValue::make_real(f);
    if (tag == Tag::Missing || !ref) return SignalValue::missing();
    return *ref;
}

namespace {

// The words of a two-state value at full width, least significant first.
SignalValue::Words full_words(const Val& v) {
    if (v.tag == Tag::Int) return {v.u};
    return two_state_words(*v.ref).value_or(SignalValue::Words{});
}

// Full-width unsigned comparison of two two-state values: -1, 0 or 1.
int compare_full(const Val& a, const Val& b) {
    SignalValue::Words x = full_words(a), y = full_words(b);
    for (size_t k = std::max(x.size(), y.size()); k-- > 0;) {
        uint64_t p = k < x.size() ? x[k] : 0, q = k < y.size() ? y[k] : 0;
        if (p != q) return p < q ? -1 : 1;
    }
    return 0;
}

// Whether two values are compared at full width rather than by their 64-bit readings: both
// two-state, one of them wider than 64 bits (the readings would drop its upper bits).
bool at_full_width(const Val& a, const Val& b) {
    return (a.big || b.big) && a.two_state() && b.two_state();
}

// Eq: identical kind and payload, else equal unsigned readings; two-state values wider than 64
// bits compare whole.
bool equal(const Val& a, const Val& b) {
    if (at_full_width(a, b)) return compare_full(a, b) == 0;
    if (a.tag == b.tag) {
        switch (a.tag) {
            case Tag::Int:
                return a.u == b.u;
            case Tag::Missing:
                return true;
            case Tag::Wide:
                if (a.ref->as_wide() == b.ref->as_wide()) return true;
                break;
            case Tag::Logic:
                if (a.ref->as_logic() == b.ref->as_logic()) return true;
                break;
            case Tag::Real:
                if (a.f == b.f) return true;
                break;
            case Tag::Str:
                if (a.ref->as_str() == b.ref->as_str()) return true;
                break;
        }
    }
    return a.num && b.num && a.u == b.u;
}

// Gt, Lt, Gte, Lte: the unsigned readings, or both values whole when one is wider than 64 bits;
// Missing without readings. `holds` receives the comparison as -1, 0 or 1.
template <class Holds>
Val order(const Val& a, const Val& b, Holds holds) {
    if (!a.num || !b.num) return Val::missing();
    if (at_full_width(a, b)) return Val::make_int(holds(compare_full(a, b)));
    return Val::make_int(holds(a.u < b.u ? -1 : a.u > b.u ? 1 : 0));
}

// The float reading of an evaluated value (to_f64).
bool float_reading(const Val& v, double* out) {
    switch (v.tag) {
        case Tag::Int:
            *out = double(v.u);
            return true;
        case Tag::Real:
            *out = v.f;
            return true;
        case Tag::Missing:
            return false;
        default: {
            auto d = to_f64(*v.ref);
            if (d) *out = *d;
            return d.has_value();
        }
    }
}

// RealEq .. RealGte: `cmp` of the float readings, Missing when either has none.
template <class Cmp>
Val compare_reals(const Val& a, const Val& b, Cmp cmp) {
    double x, y;
    if (!float_reading(a, &x) || !float_reading(b, &y)) return Val::missing();
    return Val::make_int(cmp(x, y));
}

// RealAdd, RealSub.
template <class Op>
Val reals(const Val& a, const Val& b, Op op) {
    double x, y;
    if (!float_reading(a, &x) || !float_reading(b, &y)) return Val::missing();
    return Val::make_real(op(x, y));
}

bool has_bit(const Val& v, uint8_t bit) {
    if (v.tag != Tag::Logic) return false;
    for (uint8_t b : v.ref->as_logic())
        if (b == bit) return true;
    return false;
}

// Bits high..low of v. Bits at 64 and above are 0 (the reading has no more bits), so a slice
// that starts there is 0.
uint64_t slice_bits(uint64_t v, uint64_t high, uint64_t low) {
    if (high < low || low >= 64) return 0;
    uint64_t shifted = v >> low;
    if (high - low >= 63) return shifted;  // width >= 64 (no overflow of high - low + 1)
    return shifted & ((uint64_t(1) << (high - low + 1)) - 1);
}

uint64_t mix(uint64_t x) {
    x ^= x >> 30;
    x *= 0xbf58476d1ce4e5b9ULL;
    x ^= x >> 27;
    x *= 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

struct OffsetHash {
    size_t operator()(__int128 d) const {
        auto u = static_cast<unsigned __int128>(d);
        return mix(uint64_t(u) ^ mix(uint64_t(u >> 64)));
    }
};

struct KeyHash {
    size_t operator()(const std::pair<const Expr*, __int128>& k) const {
        return mix(reinterpret_cast<uintptr_t>(k.first) ^ OffsetHash()(k.second));
    }
};

struct LeafHash {
    size_t operator()(const std::pair<uint64_t, __int128>& k) const {
        return mix(k.first ^ OffsetHash()(k.second));
    }
};

}  // namespace

// ---- Compiling ----

namespace {
constexpr size_t kMaxInstructions = size_t(1) << 22;
}

Program::Program(const Trace& trace, const Expr& root) : trace_(trace) {
    using Key = std::pair<const Expr*, __int128>;
    std::unordered_map<Key, uint32_t, KeyHash> done;
    std::unordered_map<__int128, uint32_t, OffsetHash> window_slots;
    std::unordered_map<std::pair<uint64_t, __int128>, uint32_t, LeafHash> leaf_slots;

    // Only nodes with more than one owner can be reached twice under the same offset, so only
    // they are memoised; a node reached through a single parent is compiled once per visit of
    // that parent. Children hand their register to their parent's frame.
    struct Frame {
        const Expr* e;
        __int128 d;
        bool shared;
        bool expanded;
        uint8_t slot;  // 0: left, 1: right of the parent
        size_t parent;
        uint32_t reg[2];
    };
    constexpr size_t kNone = size_t(-1);
    std::vector<Frame> stack;
    stack.push_back({&root, 0, false, false, 0, kNone, {0, 0}});
    auto deliver = [&](const Frame& f, uint32_t reg) {
        if (f.parent != kNone) stack[f.parent].reg[f.slot] = reg;
    };

    while (!stack.empty()) {
        const size_t fi = stack.size() - 1;
        const Expr* e = stack[fi].e;
        const __int128 d = stack[fi].d;
        const __int128 child_d = e->kind == ExprKind::RelEval ? d + e->offset : d;
        if (!stack[fi].expanded) {
            stack[fi].expanded = true;
            if (stack[fi].shared) {
                auto it = done.find(Key{e, d});
                if (it != done.end()) {
                    deliver(stack[fi], it->second);
                    stack.pop_back();
                    continue;
                }
            }
            if (e->right)
                stack.push_back(
                    {e->right.get(), child_d, e->right.use_count() > 1, false, 1, fi, {0, 0}});
            if (e->left)
                stack.push_back(
                    {e->left.get(), child_d, e->left.use_count() > 1, false, 0, fi, {0, 0}});
            continue;
        }
        const Frame f = stack.back();
        stack.pop_back();

        Instr in{};
        switch (e->kind) {
            case ExprKind::Signal: {
                auto [it, fresh] = leaf_slots.try_emplace({e->id, d}, uint32_t(leaves_.size()));
                if (fresh) leaves_.push_back({e->id, d});
                in.op = Op::Signal;
                in.a = it->second;
                break;
            }
            case ExprKind::Const:
            case ExprKind::AlwaysTrue: {
                in.op = Op::Const;
                in.a = uint32_t(consts_.size());
                if (e->kind == ExprKind::AlwaysTrue) {
                    consts_.push_back(Val::make_int(1));
                } else {
                    const_store_.push_back(std::make_unique<SignalValue>(e->value));
                    consts_.push_back(Val::of(*const_store_.back()));
                }
                break;
            }
            case ExprKind::RelEval: {
                auto [it, fresh] = window_slots.try_emplace(child_d, uint32_t(windows_.size()));
                if (fresh) windows_.push_back(child_d);
                in.op = Op::RelEval;
                in.a = f.reg[0];
                in.b = it->second;
                break;
            }
            case ExprKind::Slice:
                in.op = Op::Slice;
                in.a = f.reg[0];
                in.high = e->high;
                in.low = e->low;
                break;
            default:
                in.op = e->kind;
                in.a = f.reg[0];
                in.b = f.reg[1];
                break;
        }
        const uint32_t reg = uint32_t(code_.size());
        code_.push_back(in);
        if (f.shared) done.emplace(Key{e, d}, reg);
        deliver(f, reg);
        // Shared subtrees under many different offsets can describe more distinct
        // subexpressions than memory holds (x = x.rel_eval(2**k).or_(x), k = 0..40); refuse
        // them instead of exhausting memory.
        if (code_.size() > kMaxInstructions)
            throw std::length_error("expression too large to evaluate: more than " +
                                    std::to_string(kMaxInstructions) + " distinct subexpressions");
    }
    build_cones();
}

void Program::build_cones() {
    const size_t n = code_.size();
    // Users of each instruction, as a compact adjacency list.
    std::vector<uint32_t> count(n + 1, 0);
    auto operands = [&](const Instr& in, auto&& f) {
        if (in.op == Op::Signal || in.op == Op::Const) return;
        f(in.a);
        if (is_binary(in.op) && in.b != in.a) f(in.b);
    };
    for (size_t i = 0; i < n; ++i) operands(code_[i], [&](uint32_t o) { ++count[o + 1]; });
    for (size_t i = 0; i < n; ++i) count[i + 1] += count[i];
    std::vector<uint32_t> users(count[n]);
    std::vector<uint32_t> fill(count.begin(), count.end() - 1);
    for (size_t i = 0; i < n; ++i)
        operands(code_[i], [&](uint32_t o) { users[fill[o]++] = uint32_t(i); });

    // A deep chain with a leaf at every level has cones of quadratic total size; past this
    // budget full runs are cheaper.
    const size_t budget = 16 * n + 4096;
    std::vector<uint32_t> seen(n, UINT32_MAX), stack;
    std::vector<std::vector<uint32_t>> roots(leaves_.size());
    for (size_t i = 0; i < n; ++i)
        if (code_[i].op == Op::Signal) roots[code_[i].a].push_back(uint32_t(i));
    cone_start_.push_back(0);
    for (uint32_t k = 0; k < leaves_.size(); ++k) {
        size_t first = cones_.size();
        for (uint32_t r : roots[k]) {
            if (seen[r] == k) continue;
            seen[r] = k;
            stack.push_back(r);
        }
        while (!stack.empty()) {
            uint32_t x = stack.back();
            stack.pop_back();
            cones_.push_back(x);
            if (cones_.size() > budget) {
                cones_.clear();
                cone_start_.clear();
                return;
            }
            for (uint32_t u = count[x]; u < count[x + 1]; ++u) {
                if (seen[users[u]] == k) continue;
                seen[users[u]] = k;
                stack.push_back(users[u]);
            }
        }
        std::sort(cones_.begin() + first, cones_.end());
        cone_start_.push_back(uint32_t(cones_.size()));
    }
}

// ---- Running ----

inline void Program::step(size_t i, uint64_t index, const Val* leaf_vals, Val* r) const {
    const Instr& in = code_[i];
    // Slot numbers never exceed the instruction count, so these stay in range even where they
    // are not registers (Signal, Const).
    const Val& x = r[in.a];
    const Val& y = r[in.b];
    switch (in.op) {
        case Op::Signal:
            r[i] = leaf_vals[in.a];
            break;
        case Op::Const:
        case Op::AlwaysTrue:  // compiled to a Const
            r[i] = consts_[in.a];
            break;
        case Op::RelEval: {
            __int128 j = __int128(index) + windows_[in.b];
            r[i] = (j < 0 || j > __int128(trace_.max_index())) ? Val::missing() : x;
            break;
        }
        case Op::Not:
            r[i] = Val::make_int(!x.truth);
            break;
        case Op::And:
            r[i] = Val::make_int(x.truth && y.truth);
            break;
        case Op::Or:
            r[i] = Val::make_int(x.truth || y.truth);
            break;
        case Op::Eq:
            r[i] = Val::make_int(equal(x, y));
            break;
        case Op::Neq:
            r[i] = Val::make_int(!equal(x, y));
            break;
        case Op::Gt:
            r[i] = order(x, y, [](int c) { return c > 0; });
            break;
        case Op::Lt:
            r[i] = order(x, y, [](int c) { return c < 0; });
            break;
        case Op::Gte:
            r[i] = order(x, y, [](int c) { return c >= 0; });
            break;
        case Op::Lte:
            r[i] = order(x, y, [](int c) { return c <= 0; });
            break;
        case Op::Add:
            r[i] = x.num && y.num ? Val::make_int(x.u + y.u) : Val::missing();
            break;
        case Op::Sub:
            r[i] = x.num && y.num ? Val::make_int(x.u - y.u) : Val::missing();
            break;
        case Op::BitAnd:
            r[i] = x.num && y.num ? Val::make_int(x.u & y.u) : Val::missing();
            break;
        case Op::BitOr:
            r[i] = x.num && y.num ? Val::make_int(x.u | y.u) : Val::missing();
            break;
        case Op::BitXor:
            r[i] = x.num && y.num ? Val::make_int(x.u ^ y.u) : Val::missing();
            break;
        case Op::Slice:
            r[i] = x.num ? Val::make_int(slice_bits(x.u, in.high, in.low)) : Val::missing();
            break;
        case Op::Signed:
            r[i] = x.num ? Val::make_int(x.u) : Val::missing();
            break;
        case Op::IsX:
            r[i] = Val::make_int(x.tag == Tag::Missing || has_bit(x, kBitX));
            break;
        case Op::IsZ:
            r[i] = Val::make_int(has_bit(x, kBitZ));
            break;
        case Op::RealEq:
            r[i] = compare_reals(x, y, [](double a, double b) { return a == b; });
            break;
        case Op::RealNeq: {
            // The negation of RealEq: true also where RealEq is Missing.
            const Val eq = compare_reals(x, y, [](double a, double b) { return a == b; });
            r[i] = Val::make_int(!eq.truth);
            break;
        }
        case Op::RealLt:
            r[i] = compare_reals(x, y, [](double a, double b) { return a < b; });
            break;
        case Op::RealGt:
            r[i] = compare_reals(x, y, [](double a, double b) { return a > b; });
            break;
        case Op::RealLte:
            r[i] = compare_reals(x, y, [](double a, double b) { return a <= b; });
            break;
        case Op::RealGte:
            r[i] = compare_reals(x, y, [](double a, double b) { return a >= b; });
            break;
        case Op::RealAdd:
            r[i] = reals(x, y, [](double a, double b) { return a + b; });
            break;
        case Op::RealSub:
            r[i] = reals(x, y, [](double a, double b) { return a - b; });
            break;
    }
}

Val Program::run(uint64_t index, const Val* leaf_vals, std::vector<Val>& regs) const {
    const size_t n = code_.size();
    if (regs.size() < n) regs.resize(n);
    for (size_t i = 0; i < n; ++i) step(i, index, leaf_vals, regs.data());
    return n ? regs[n - 1] : Val::missing();
}

Val Program::run_list(uint64_t index, const Val* leaf_vals, Val* regs, const uint32_t* list,
                      size_t n) const {
    for (size_t k = 0; k < n; ++k) step(list[k], index, leaf_vals, regs);
    return regs[code_.size() - 1];
}

SignalValue Program::eval(uint64_t index) const {
    std::vector<SignalValue> held(leaves_.size());
    std::vector<Val> vals(leaves_.size());
    for (size_t k = 0; k < leaves_.size(); ++k) {
        __int128 at = __int128(index) + leaves_[k].offset;
        // Outside the index space the enclosing RelEval answers Missing; the leaf is unused.
        if (at < 0 || at > __int128(UINT64_MAX)) continue;
        held[k] = trace_.signal_value_by_id(leaves_[k].id, uint64_t(at));
        vals[k] = Val::of(held[k]);
    }
    std::vector<Val> regs;
    return run(index, vals.data(), regs).to_value();
}

bool Program::eval_bool(uint64_t index) const {
    return truthy(eval(index));
}

SignalValue eval(const Trace& trace, const Expr& expr, uint64_t index) {
    return Program(trace, expr).eval(index);
}

bool eval_bool(const Trace& trace, const Expr& expr, uint64_t index) {
    return Program(trace, expr).eval_bool(index);
}

}  // namespace tarn::query

#include "query/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "query/changes.h"

namespace tarn::query {

SignalStats compute_stats(const Trace& trace, std::string_view name) {
    SignalStats s;
    auto id = trace.signal_id(name);
    if (!id) return s;
    const Column* c = trace.column(*id);
    s.min = std::numeric_limits<uint64_t>::max();
    // Each segment holds one value over `len` indices: count it once, weighted by its length.
    walk_changes(
        c, trace.max_index() + 1,
        [&](uint64_t start, uint64_t stop, size_t r) {
            uint64_t len = stop - start;
            Tag tag = r == Column::npos ? Tag::Missing : c->run_tag(r);
            if (tag == Tag::Int) {
                uint64_t x = c->run_int(r);
                s.sum += x * len;  // wraps modulo 2^64, as repeated addition would
                s.min = std::min(s.min, x);
                s.max = std::max(s.max, x);
                s.count += len;
            } else if (tag == Tag::Logic) {
                SignalValue v = c->run_value(r);
                uint64_t x = 0, z = 0;
                for (uint8_t b : v.as_logic()) {
                    x += b == kBitX;
                    z += b == kBitZ;
                }
                s.num_x += x * len;
                s.num_z += z * len;
            } else if (tag == Tag::Missing) {
                s.num_x += len;
            }
        },
        [&](uint64_t, size_t, size_t) { ++s.transitions; });
    if (s.count == 0) s.min = 0;
    return s;
}

std::optional<RealStats> compute_real_stats(const Trace& trace, std::string_view name) {
    auto id = trace.signal_id(name);
    if (!id) return std::nullopt;
    const Column* c = trace.column(*id);
    const uint64_t n = trace.max_index() + 1;
    // The Real runs, clipped to the trace, with their values.
    auto each_real = [&](auto&& f) {
        for_each_segment(c, n, [&](uint64_t start, uint64_t stop, size_t r) {
            if (r != Column::npos && c->run_tag(r) == Tag::Real)
                f(c->run_value(r).as_real(), stop - start);
        });
    };
    RealStats s;
    s.min = std::numeric_limits<double>::infinity();
    s.max = -s.min;
    bool any_nan = false, any_number = false;
    double largest = 0;  // of the finite magnitudes
    each_real([&](double x, uint64_t len) {
        s.count += len;
        if (std::isnan(x)) {
            any_nan = true;
            return;
        }
        any_number = true;
        s.min = std::min(s.min, x);
        s.max = std::max(s.max, x);
        if (std::isfinite(x)) largest = std::max(largest, std::abs(x));
    });
    if (s.count == 0) return std::nullopt;
    const double nan = std::numeric_limits<double>::quiet_NaN();
    if (!any_number) s.min = s.max = nan;
    if (any_nan) {
        s.mean = nan;
        return s;
    }
    // The sum of value x run length, then one division. Scaled by a power of two (exact) so
    // that no partial sum can overflow where the values themselves do not: with fewer than 2^33
    // indices the sum stays below 2^33 times the largest value. Neumaier's compensation, with
    // the exact rounding error of each product, keeps small values beside long runs.
    int exponent = 0;
    std::frexp(largest, &exponent);
    const int scale = std::max(0, exponent + 33 - std::numeric_limits<double>::max_exponent + 1);
    double sum = 0, carry = 0;
    each_real([&](double value, uint64_t len) {
        const double x = std::ldexp(value, -scale), n = double(len);
        const double term = x * n;
        const double t = sum + term;
        if (std::isfinite(t)) {
            carry += std::fma(x, n, -term);
            carry += std::abs(sum) >= std::abs(term) ? (sum - t) + term : (term - t) + sum;
        }
        sum = t;
    });
    // An infinite value makes the sum infinite (or NaN, for both signs): the mean is that.
    const double total = std::isfinite(sum) ? sum + carry : sum;
    s.mean = std::ldexp(total / double(s.count), scale);
    return s;
}

uint64_t bit_slice(uint64_t val, uint64_t high, uint64_t low) {
    if (high < low || low >= 64) return 0;
    uint64_t shifted = val >> low;
    // high - low + 1 would wrap for high = 2^64 - 1, low = 0; compare the difference instead.
    if (high - low >= 63) return shifted;
    return shifted & ((uint64_t(1) << (high - low + 1)) - 1);
}

int64_t sign_extend(uint64_t val, uint64_t width) {
    if (width >= 1 && width <= 63 && ((val >> (width - 1)) & 1)) val |= ~uint64_t(0) << width;
    return static_cast<int64_t>(val);
}

}  // namespace tarn::query

// Statistics of one signal over the whole trace, and plain-integer value helpers.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "trace/trace.h"

namespace tarn::query {

struct SignalStats {
    uint64_t min = 0;          // smallest Int value; 0 when there was none
    uint64_t max = 0;          // largest Int value; 0 when there was none
    uint64_t sum = 0;          // sum of the Int values over all indices, modulo 2^64
    uint64_t count = 0;        // indices holding an Int value
    uint64_t transitions = 0;  // indices i >= 1 whose value differs from the one at i - 1
    uint64_t num_x = 0;        // x bits of Logic values, plus one per index holding Missing
    uint64_t num_z = 0;        // z bits of Logic values
};

// Over indices 0..max_index; all zero for an unknown name. `transitions` counts exactly the
// records query::transitions returns for the same name.
SignalStats compute_stats(const Trace& trace, std::string_view name);

// Statistics of the Real values of one signal, each run weighted by its length as in
// compute_stats. NaN values count in `count` and make the mean NaN, but min and max are those of
// the other values (NaN when every value is NaN): a NaN sample is usually a glitch worth seeing
// in the mean, while the range of the numbers stays readable.
struct RealStats {
    double min = 0;
    double max = 0;
    double mean = 0;
    uint64_t count = 0;  // indices holding a Real value
};

// Over indices 0..max_index; absent for an unknown name and for a signal without Real values.
std::optional<RealStats> compute_real_stats(const Trace& trace, std::string_view name);

// Bits high..low of val (0 when high < low, and for bits wholly above bit 63).
uint64_t bit_slice(uint64_t val, uint64_t high, uint64_t low);

// val read as a two's-complement number of `width` bits (1..63); other widths leave the bits
// as they are. Bits at or above `width` are kept when the sign bit is clear.
int64_t sign_extend(uint64_t val, uint64_t width);

}  // namespace tarn::query

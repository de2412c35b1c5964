// The trace record every reader fills and every query reads, and the read operations on it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signal/store.h"
#include "signal/value.h"
#include "util/hash.h"

namespace tarn {

// Which reader built the record. Only the width of an unknown name depends on it.
enum class TraceKind : uint8_t { Vcd, Fst, Fsdb, Shm, Vpd, Wlf };

// The unit of a trace's time stamps: `multiplier` times 10^`exponent` seconds, the exponent one
// of 0, -3, -6, -9, -12, -15 (s, ms, us, ns, ps, fs).
struct Timescale {
    uint32_t multiplier = 1;
    int8_t exponent = 0;
    // "s", "ms", "us", "ns", "ps" or "fs".
    const char* unit() const;
    // From text such as "1ns", "1 ns" or "100 fs" (white space anywhere between and around);
    // absent when it is not a positive whole number followed by one of the six units.
    static std::optional<Timescale> parse(std::string_view text);
    // 10^e seconds, in the largest unit that keeps the multiplier whole (10^-10: 100 ps);
    // absent below femtoseconds or beyond 10^9 s.
    static std::optional<Timescale> from_exponent(int e);
};

// What a reader hands over. For a VCD dump `name_to_id` and `widths` hold the id and width of
// each declared full name (`references` keeps its declared short name); the other readers fill
// `name_to_id` and `widths` as they find them.
struct TraceData {
    TraceKind kind = TraceKind::Vcd;
    SignalStore store;
    NameMap<uint64_t> name_to_id;
    NameMap<uint32_t> widths;
    std::vector<std::string> signal_names;
    std::vector<std::string> scopes;
    std::vector<uint64_t> timestamps;
    std::optional<Timescale> timescale;  // absent when the dump does not say
};

// A finished, read-only trace.
class Trace {
  public:
    explicit Trace(TraceData data);
    // Hands the record back (to filter it, say).
    TraceData into_data() && {
        running_max_.clear();
        return std::move(d_);
    }

    const std::vector<std::string>& signal_names() const { return d_.signal_names; }
    const std::vector<std::string>& scopes() const { return d_.scopes; }
    uint64_t max_index() const { return d_.timestamps.empty() ? 0 : d_.timestamps.size() - 1; }
    uint64_t timestamp(uint64_t index) const {
        return index < d_.timestamps.size() ? d_.timestamps[static_cast<size_t>(index)] : 0;
    }
    SignalValue signal_value(std::string_view name, uint64_t index) const;
    uint32_t signal_width(std::string_view name) const;
    std::optional<uint64_t> signal_id(std::string_view name) const;
    std::vector<SignalValue> signal_values_range(std::string_view name, uint64_t start,
                                                 uint64_t end) const;
    SignalValue signal_value_by_id(uint64_t id, uint64_t index) const {
        return d_.store.get(id, index);
    }

    const std::optional<Timescale>& timescale() const { return d_.timescale; }
    // The last index whose time stamp is at or before `time` (with repeated stamps, the last of
    // them); absent before the first. Time stamps that go back are read through their running
    // maximum: the answer is the last index before the time is first passed.
    std::optional<uint64_t> index_at(uint64_t time) const;

    // Direct access for the query engine (cursors over change points).
    TraceKind kind() const { return d_.kind; }
    uint64_t num_indices() const { return d_.timestamps.size(); }
    const std::vector<uint64_t>& timestamps() const { return d_.timestamps; }
    const SignalStore& store() const { return d_.store; }
    // The column of a signal id; nullptr when the id holds no values.
    const Column* column(uint64_t id) const { return d_.store.column(id); }

  private:
    TraceData d_;
    std::vector<uint64_t> running_max_;  // only when the time stamps ever go back
};

}  // namespace tarn

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
};

// A finished, read-only trace.
class Trace {
  public:
    explicit Trace(TraceData data) : d_(std::move(data)) {}

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

    // Direct access for the query engine (cursors over change points).
    TraceKind kind() const { return d_.kind; }
    uint64_t num_indices() const { return d_.timestamps.size(); }
    const std::vector<uint64_t>& timestamps() const { return d_.timestamps; }
    const SignalStore& store() const { return d_.store; }
    // The column of a signal id; nullptr when the id holds no values.
    const Column* column(uint64_t id) const { return d_.store.column(id); }

  private:
    TraceData d_;
};

}  // namespace tarn

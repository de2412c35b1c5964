#include "trace/trace.h"

namespace tarn {

std::optional<uint64_t> Trace::signal_id(std::string_view name) const {
    auto it = d_.name_to_id.find(name);
    if (it == d_.name_to_id.end()) return std::nullopt;
    return it->second;
}

uint32_t Trace::signal_width(std::string_view name) const {
    auto it = d_.widths.find(name);
    if (it != d_.widths.end()) return it->second;
    return d_.kind == TraceKind::Vcd ? 0 : 1;
}

SignalValue Trace::signal_value(std::string_view name, uint64_t index) const {
    auto id = signal_id(name);
    return id ? d_.store.get(*id, index) : SignalValue::missing();
}

std::vector<SignalValue> Trace::signal_values_range(std::string_view name, uint64_t start,
                                                    uint64_t end) const {
    auto id = signal_id(name);
    // An unknown id reads Missing throughout, which is what an unknown name gives.
    return d_.store.get_range(id ? *id : UINT64_MAX, start, end);
}

}  // namespace tarn

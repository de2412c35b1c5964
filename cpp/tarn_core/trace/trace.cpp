#include "trace/trace.h"

#include <algorithm>
#include <cctype>

namespace tarn {

namespace {

constexpr const char* kUnits[] = {"s", "ms", "us", "ns", "ps", "fs"};

}  // namespace

const char* Timescale::unit() const {
    int k = -exponent / 3;
    return kUnits[k < 0 ? 0 : k > 5 ? 5 : k];
}

std::optional<Timescale> Timescale::parse(std::string_view text) {
    auto space = [](char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; };
    size_t i = 0;
    while (i < text.size() && space(text[i])) ++i;
    uint64_t m = 0;
    size_t digits = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9' && m <= UINT32_MAX; ++i, ++digits)
        m = m * 10 + uint64_t(text[i] - '0');
    if (digits == 0 || m == 0 || m > UINT32_MAX) return std::nullopt;
    while (i < text.size() && space(text[i])) ++i;
    size_t u = i;
    while (i < text.size() && !space(text[i])) ++i;
    std::string_view unit = text.substr(u, i - u);
    while (i < text.size() && space(text[i])) ++i;
    if (i != text.size()) return std::nullopt;
    for (int k = 0; k < 6; ++k)
        if (unit == kUnits[k])
            return Timescale{static_cast<uint32_t>(m), static_cast<int8_t>(-3 * k)};
    return std::nullopt;
}

std::optional<Timescale> Timescale::from_exponent(int e) {
    if (e < -15 || e > 9) return std::nullopt;
    int unit = e >= 0 ? 0 : -((-e + 2) / 3) * 3;  // the largest unit at or below 10^e
    uint32_t m = 1;
    for (int k = unit; k < e; ++k) m *= 10;
    return Timescale{m, static_cast<int8_t>(unit)};
}

Trace::Trace(TraceData data) : d_(std::move(data)) {
    const auto& ts = d_.timestamps;
    if (std::is_sorted(ts.begin(), ts.end())) return;
    running_max_.resize(ts.size());
    uint64_t m = 0;
    for (size_t i = 0; i < ts.size(); ++i) running_max_[i] = m = std::max(m, ts[i]);
}

std::optional<uint64_t> Trace::index_at(uint64_t time) const {
    const auto& ts = running_max_.empty() ? d_.timestamps : running_max_;
    auto it = std::upper_bound(ts.begin(), ts.end(), time);
    if (it == ts.begin()) return std::nullopt;
    return static_cast<uint64_t>(it - ts.begin()) - 1;
}

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

#include "trace/select.h"

#include <algorithm>

#include "util/glob.h"

namespace tarn {

bool NameFilter::keeps(std::string_view name) const {
    if (all_) return true;
    for (const std::string& p : patterns_)
        if (glob_match(p, name)) return true;
    return false;
}

namespace {

// The scopes that hold at least one of `names`. Sorting the names and looking each scope up is
// linear in the text up to a log factor; listing every dot prefix of every name instead would be
// quadratic in a name with very many dots.
std::vector<std::string> scopes_holding(const std::vector<std::string>& scopes,
                                        const std::vector<std::string>& names) {
    std::vector<std::string_view> sorted(names.begin(), names.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::string> out;
    std::string prefix;
    for (const std::string& s : scopes) {
        prefix.assign(s).push_back('.');
        auto it = std::lower_bound(sorted.begin(), sorted.end(), std::string_view(prefix));
        if (it != sorted.end() && it->starts_with(prefix)) out.push_back(s);
    }
    return out;
}

}  // namespace

void keep_signals(TraceData& d, const NameFilter& filter) {
    if (filter.keeps_all()) return;
    std::vector<std::string> names;
    std::vector<uint64_t> old_ids;
    for (std::string& n : d.signal_names) {
        auto it = d.name_to_id.find(std::string_view(n));
        if (it == d.name_to_id.end() || it->second == kDroppedId || !filter.keeps(n)) continue;
        old_ids.push_back(it->second);
        names.push_back(std::move(n));
    }
    std::vector<uint64_t> ids = old_ids;
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    NameMap<uint64_t> name_to_id;
    NameMap<uint32_t> widths;
    for (size_t k = 0; k < names.size(); ++k) {
        auto at = std::lower_bound(ids.begin(), ids.end(), old_ids[k]);
        name_to_id.emplace(names[k], static_cast<uint64_t>(at - ids.begin()));
        if (auto w = d.widths.find(std::string_view(names[k])); w != d.widths.end())
            widths.emplace(names[k], w->second);
    }
    d.store.select(ids);
    d.scopes = scopes_holding(d.scopes, names);
    d.signal_names = std::move(names);
    d.name_to_id = std::move(name_to_id);
    d.widths = std::move(widths);
}

Trace keep_signals(Trace&& trace, const NameFilter& filter) {
    if (filter.keeps_all()) return std::move(trace);
    TraceData d = std::move(trace).into_data();
    keep_signals(d, filter);
    return Trace(std::move(d));
}

}  // namespace tarn

// Comparisons of traces for the differential fuzz targets.
#pragma once

#include "trace/select.h"
#include "trace/trace.h"

// Names, scopes, ids and widths (vectors assembled from bits included), time stamps and every
// value.
inline bool same_trace(const tarn::Trace& a, const tarn::Trace& b) {
    if (a.signal_names() != b.signal_names() || a.scopes() != b.scopes() ||
        a.max_index() != b.max_index())
        return false;
    for (uint64_t i = 0; i <= a.max_index(); ++i)
        if (a.timestamp(i) != b.timestamp(i)) return false;
    for (const auto& name : a.signal_names()) {
        if (a.signal_id(name) != b.signal_id(name) || a.signal_width(name) != b.signal_width(name))
            return false;
        for (uint64_t i = 0; i <= a.max_index() + 1; ++i)
            if (!a.signal_value(name, i).identical(b.signal_value(name, i))) return false;
    }
    return true;
}

// `part` shows the signals of `full` that `filter` keeps, in their order, with their widths and
// values, and the same time stamps (ids may differ).
inline bool same_kept(const tarn::Trace& full, const tarn::Trace& part,
                      const tarn::NameFilter& filter) {
    std::vector<std::string> names;
    for (const auto& n : full.signal_names())
        if (filter.keeps(n)) names.push_back(n);
    if (part.signal_names() != names || part.timestamps() != full.timestamps()) return false;
    for (const auto& name : names) {
        if (part.signal_width(name) != full.signal_width(name)) return false;
        for (uint64_t i = 0; i <= full.max_index() + 1; ++i)
            if (!part.signal_value(name, i).identical(full.signal_value(name, i))) return false;
    }
    return true;
}

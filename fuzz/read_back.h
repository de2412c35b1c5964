// What the reader targets do with a trace they produced: read every signal back at the first
// and the last index, and its width, so that a damaged store or name map shows under the
// sanitizers.
#pragma once

#include "trace/trace.h"
#include "util/result.h"

inline void read_back(const tarn::Result<tarn::Trace>& trace) {
    if (!trace) return;
    const tarn::Trace& t = trace.value();
    for (const auto& name : t.signal_names()) {
        (void)t.signal_value(name, 0);
        (void)t.signal_value(name, t.max_index());
        (void)t.signal_width(name);
    }
}

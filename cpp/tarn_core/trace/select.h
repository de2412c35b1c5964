// Loads that keep only some signals. The readers are handed a name filter and keep nothing for
// the signals it leaves out: the VCD reader decides which identifier codes to keep once the
// header is read, the FST loader does not decode the others' data, and the small heuristic
// formats filter their finished trace.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"

namespace tarn {

// Which signals a load keeps: those whose final full name matches one of the patterns
// (glob_match: "*" any run of bytes, "?" one byte, anchored, case-sensitive). The default filter
// keeps every signal; a filter with an empty pattern list keeps none.
class NameFilter {
  public:
    NameFilter() = default;
    explicit NameFilter(std::vector<std::string> patterns)
        : patterns_(std::move(patterns)), all_(false) {}

    bool keeps_all() const { return all_; }
    bool keeps(std::string_view name) const;

  private:
    std::vector<std::string> patterns_;
    bool all_ = true;
};

// Marks a name whose signal a reader has not kept: keep_signals drops it in any case.
inline constexpr uint64_t kDroppedId = UINT64_MAX;

// Leaves in `d` the signals whose names `filter` keeps, as a load of those alone shows them:
// their names in the same relative order, with their widths; the scopes that hold a kept name
// (a scope S holds the names that begin with S + "."), in their order; the columns of their ids
// renumbered 0, 1, ... in the order of the old ids, every other column freed. Time stamps and
// values are untouched.
void keep_signals(TraceData& d, const NameFilter& filter);

// The same for a finished trace (the readers of the small heuristic formats).
Trace keep_signals(Trace&& trace, const NameFilter& filter);

}  // namespace tarn

// Scope and name queries: navigating the "."-separated hierarchy and searching the name list.
// They read only the name and scope lists (and signal_id), never values. Names are compared as
// bytes, case-sensitively, except by find_signals_containing.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"
#include "util/glob.h"

namespace tarn::query {

// Direct child scopes of `scope_name` (the empty name is the top level), first-seen order,
// without duplicates. A deeper scope contributes its ancestor one level below `scope_name`.
std::vector<std::string> local_scopes(const Trace& trace, std::string_view scope_name);

// Signals directly inside `scope_name` (full names, in signal_names() order).
std::vector<std::string> local_signals(const Trace& trace, std::string_view scope_name);

// The full name of `short_name` seen from `scope_name`: scope_name + "." + short_name when that
// names a signal, else the first name that ends with short_name at a level boundary and begins
// with scope_name (a plain text prefix).
std::optional<std::string> resolve(const Trace& trace, std::string_view scope_name,
                                   std::string_view short_name);

// The names that glob_match (util/glob.h) the pattern, in signal_names() order.
std::vector<std::string> find_signals_glob(const Trace& trace, std::string_view pattern);

// Names whose full Unicode lower-case form contains the lower-case form of `substring`.
std::vector<std::string> find_signals_containing(const Trace& trace, std::string_view substring);

}  // namespace tarn::query

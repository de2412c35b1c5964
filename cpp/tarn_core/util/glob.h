// Whole-name wildcard patterns, as find_signals_glob takes them and as loads that keep only some
// signals take them: the readers match names with it too, and they never include the query layer.
#pragma once

#include <string_view>

namespace tarn {

// Whole-name wildcard match: "*" any run of bytes (dots included), "?" exactly one byte, every
// other byte itself. No escapes, no classes. Case-sensitive.
bool glob_match(std::string_view pattern, std::string_view name);

}  // namespace tarn

// WLF files: 8 KiB pages; names from the header page and the next few, one-byte values from
// value pages.
#pragma once

#include <string>

#include "trace/scan.h"

namespace tarn::wlf {

inline constexpr size_t kPage = 8192;

// Loads a WLF file held in memory. Fails only when it holds no whole page.
Result<Trace> parse(scan::Bytes file);

// A length-prefixed string of page 0 at `*cursor`; moves the cursor as it reads.
std::string read_lpstr(scan::Bytes page0, size_t* cursor);

}  // namespace tarn::wlf

// VPD files: names only, from the sections a small header table points at.
#pragma once

#include "trace/scan.h"

namespace tarn::vpd {

// Loads a VPD file held in memory. Fails only when it is too small or the magic is wrong.
Result<Trace> parse(scan::Bytes file);

// True when a section whose first bytes are `window` (at most 128) holds names.
bool is_name_section(scan::Bytes window);

}  // namespace tarn::vpd

// FSDB reader: best-effort recovery of names, scopes, widths and (modern layout) values by byte
// patterns, without parsing the format's object structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "trace/trace.h"
#include "util/result.h"

namespace tarn::fsdb {

// Parses a whole FSDB file held in memory. Fails only for a file of 11 bytes or fewer or an
// unknown magic number.
Result<Trace> parse(std::span<const uint8_t> file);

}  // namespace tarn::fsdb

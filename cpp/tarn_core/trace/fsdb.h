// FSDB reader: best-effort recovery of names, scopes, widths and (modern layout) values by byte
// patterns, without parsing the format's object structure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "trace/trace.h"
#include "util/result.h"

namespace tarn::fsdb {

// Limits for untrusted files (see docs/architecture.md, "FSDB recovery").
// The width table is one zlib stream the layout does not bound; its output is cut here.
inline constexpr size_t kWidthTableLimit = size_t{16} << 20;
// Output of failed inflation attempts in the stream scan. Random bytes after a zlib header fail
// within a few bytes; a hostile file can chain streams so that every header position inflates
// megabytes before failing, which would make the scan quadratic. Past this the scan stops.
inline constexpr uint64_t kScanWasteBase = uint64_t{4} << 20;
inline constexpr uint64_t kScanWastePerByte = 64;
// Value decoding (events, time stamps, runs touched): a fixed allowance plus some per file byte.
inline constexpr uint64_t kValueBudgetBase = uint64_t{1} << 20;
inline constexpr uint64_t kValueBudgetPerByte = 8;
// Bytes inflated from sections: the section table may name one bomb thousands of times.
inline constexpr uint64_t kSectionBytesBase = uint64_t{4} << 20;
inline constexpr uint64_t kSectionBytesPerByte = 64;

// Parses a whole FSDB file held in memory. Fails only for a file of 11 bytes or fewer or an
// unknown magic number.
Result<Trace> parse(std::span<const uint8_t> file);

}  // namespace tarn::fsdb

// The FST trace loader: drives the FST container reader and builds the trace record.
#pragma once

#include <cstdint>
#include <vector>

#include "trace/select.h"
#include "trace/trace.h"
#include "util/result.h"

namespace tarn {

struct FstLoadOptions {
    // Sections with at least this many bytes of signal data are decoded on the worker pool.
    uint64_t parallel_min_bytes = 256 * 1024;
    // The signals to keep (all by default); the others' data is not even decompressed.
    NameFilter filter;
};

Result<Trace> read_fst(const std::string& path, const FstLoadOptions& options);

// Loads an FST file held in memory (read_fst does the same for a file on disk).
Result<Trace> read_fst_bytes(std::vector<uint8_t> bytes, const FstLoadOptions& options = {});

// An FST change value (the characters of a bit vector, a one-bit character or a free-form byte
// string) as a SignalValue.
SignalValue fst_bytes_to_value(const uint8_t* bytes, size_t n);

}  // namespace tarn

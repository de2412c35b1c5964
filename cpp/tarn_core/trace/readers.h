// One entry point per dump format. Each returns the finished trace or the reader's error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "trace/trace.h"
#include "util/result.h"

namespace tarn {

Result<Trace> read_vcd_file(const std::string& path);

struct VcdReadOptions {
    // Stretches of the value changes parsed at once: 0 for one per worker-pool thread, 1 for a
    // single pass. The result is the same either way.
    size_t pieces = 0;
    // Smaller files are read in one pass: splitting would not pay.
    uint64_t min_split_bytes = uint64_t(4) << 20;
};
Result<Trace> read_vcd_file(const std::string& path, const VcdReadOptions& options);
// Fails only when the declarations expand to an unreasonable amount of name text.
Result<Trace> parse_vcd(std::string_view data);
Result<Trace> read_fst(const std::string& path);
Result<Trace> read_fsdb(const std::string& path);
Result<Trace> read_shm(const std::string& path);
Result<Trace> read_vpd(const std::string& path);
Result<Trace> read_wlf(const std::string& path);

}  // namespace tarn

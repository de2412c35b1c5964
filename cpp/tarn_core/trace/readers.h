// One entry point per dump format. Each returns the finished trace or the reader's error text.
#pragma once

#include <string>
#include <string_view>

#include "trace/trace.h"
#include "util/result.h"

namespace tarn {

Result<Trace> read_vcd_file(const std::string& path);
// Fails only when the declarations expand to an unreasonable amount of name text.
Result<Trace> parse_vcd(std::string_view data);
Result<Trace> read_fst(const std::string& path);
Result<Trace> read_fsdb(const std::string& path);
Result<Trace> read_shm(const std::string& path);
Result<Trace> read_vpd(const std::string& path);
Result<Trace> read_wlf(const std::string& path);

}  // namespace tarn

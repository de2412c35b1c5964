// One entry point per dump format. Each returns the finished trace or the reader's error text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/input.h"
#include "trace/select.h"
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
    // The signals to keep (all by default).
    NameFilter filter;
};
Result<Trace> read_vcd_file(const std::string& path, const VcdReadOptions& options);
// Fails only when the declarations expand to an unreasonable amount of name text.
Result<Trace> parse_vcd(std::string_view data);
Result<Trace> parse_vcd(std::string_view data, const VcdReadOptions& options);
// A VCD read in one pass from the source `open` makes (a decompressing one, say); a filtered
// load that must read the input again opens it again. Errors are "Failed to read PATH: ...".
Result<Trace> read_vcd_stream(const std::string& path,
                              const std::function<Result<std::unique_ptr<ByteSource>>()>& open,
                              const VcdReadOptions& options);
Result<Trace> read_fst(const std::string& path);
Result<Trace> read_fsdb(const std::string& path);
Result<Trace> read_shm(const std::string& path);
Result<Trace> read_vpd(const std::string& path);
Result<Trace> read_wlf(const std::string& path);

enum class Format : uint8_t { Vcd, Fst, Fsdb, Shm, Vpd, Wlf };
// "vcd", "fst", "fsdb", "shm", "vpd" or "wlf".
std::optional<Format> format_named(std::string_view name);

struct LoadOptions {
    NameFilter filter;  // the signals to keep (all by default)
};

// Loads the dump at `path` with the reader of `format`, keeping the signals options.filter
// keeps. A regular file compressed as a whole with gzip or zstd (told by its magic bytes) is
// decompressed as it is read, never to disk: a VCD straight into the parser, the binary formats
// into memory, at most limits::kInflatedBytes. Other input goes to the format's reader as it is,
// with the reader's messages.
Result<Trace> load_trace(const std::string& path, Format format, const LoadOptions& options);

// The first `n` bytes of the file's content (fewer when it is shorter): decompressed when the
// file is gzip- or zstd-compressed. Errors are "Failed to read PATH: ...".
Result<std::vector<uint8_t>> read_head(const std::string& path, size_t n);

}  // namespace tarn

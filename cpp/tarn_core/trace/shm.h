// SHM databases: a design file (.dsn) with the names and scopes, and transition files (.trn)
// with bit-packed two-state value changes. Best-effort recovery; the pieces are exposed for
// tests and the fuzz target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/scan.h"
#include "trace/trace.h"
#include "util/result.h"

namespace tarn::shm {

// The files that make up one database.
struct Files {
    std::optional<std::string> design;
    std::vector<std::string> transitions;  // byte-wise sorted full paths
};

// Resolves a database directory, a .dsn path or a .trn path (extensions in any letter case).
// Fails only for a directory with neither kind of file.
Result<Files> locate(const std::string& path);

// Strings of bytes[start, end): runs from a printable byte up to the next NUL (or the limit),
// kept when they are valid UTF-8.
std::vector<std::string> extract_strings(std::string_view bytes, uint64_t start, uint64_t end);
bool is_ident(std::string_view text);

// Fills names and scopes from a design file's bytes. Fails only on a bad magic.
Result<bool> read_design(std::string_view dsn, scan::TraceBuilder& b);

struct Event {
    uint64_t time;
    uint32_t id;
    uint8_t value;
};

// One decoded transition file: its events in decoding order and its time stamps (sorted,
// unique, always holding 0). Absent when the file is not a transition file or no name is known.
struct Decoded {
    std::vector<Event> events;
    std::vector<uint64_t> times;
};
// `budget` is the number of change steps still allowed for the whole load; decoding stops
// where it runs out.
std::optional<Decoded> decode_transitions(std::string_view trn, uint64_t num_names,
                                          uint64_t* budget);

// Builds the trace from a design file's bytes (absent: no design file) and the transition
// files' bytes in list order (absent: unreadable).
Result<Trace> build(std::optional<std::string_view> dsn,
                    const std::vector<std::optional<std::string_view>>& trns);

}  // namespace tarn::shm

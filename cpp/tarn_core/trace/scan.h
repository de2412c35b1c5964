// Byte-pattern routines shared by the readers of the proprietary formats (FSDB, SHM, VPD, WLF):
// the identifier scan with its two filter rules, scope derivation from dotted names, bounded
// zlib inflation, whole-file reading, and the builder that registers names into a trace record.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"
#include "util/result.h"

namespace tarn::scan {

using Bytes = std::span<const uint8_t>;

// Which names an identifier scan keeps.
//  Strict: a letter or "_" first, then only letters, digits and "$.:[]_"; dot-separated pieces
//          non-empty and starting with a letter or "_"; no tool artefacts (".log", ".tcl",
//          ".fsdb", "simv", "csrc", "daidir").
//  Short:  at least 2 characters, a letter or "_" first, none of "/{(@", dot-separated pieces
//          non-empty and starting with a letter or "_"; any other printable character is allowed.
enum class Rule : uint8_t { Strict, Short };

// True when `candidate` passes `rule`.
bool accepts(std::string_view candidate, Rule rule);

// Every NUL-terminated printable run (first byte 0x21..0x7E, then 0x20..0x7E) that passes
// `rule`, in input order, duplicates included. A run not ended by NUL is dropped; a run reaching
// the end of the input ends the scan.
std::vector<std::string> extract_identifiers(Bytes bytes, Rule rule);

// All proper dot-prefixes of the names ("a.b.c" gives "a" and "a.b"), without duplicates,
// sorted byte-wise. Prefixes that would take the total text past limits::kScopeBytes are left out
// (names are taken in order; deeper prefixes of a dropped one are dropped too).
std::vector<std::string> derive_scopes(const std::vector<std::string>& names);

struct Inflated {
    std::vector<uint8_t> bytes;
    size_t consumed = 0;  // input bytes used
};

// Inflates a zlib stream at the start of `input` into at most limits::kInflateFirst bytes, or,
// when that space is too small (or the input ends early), into at most limits::kInflateRetry (a
// longer stream is cut there). Absent on
// a decompression error or when nothing was produced. `work`, when given, is increased by the
// number of bytes inflated, including those of failed attempts (for callers keeping a budget).
std::optional<Inflated> try_zlib_decompress(Bytes input, size_t* work = nullptr);

// Inflates one complete zlib stream, keeping at most `limit` bytes of output. Absent when the
// stream is corrupt or ends before its end marker; when the stream holds more than `limit`
// bytes, the first `limit` bytes are returned (the rest is not inflated).
std::optional<std::vector<uint8_t>> inflate_capped(Bytes input, size_t limit);

// Reads a whole file. Error text: "Failed to read " + path + ": " + the system's description.
Result<std::vector<uint8_t>> read_file(const std::string& path);
// Reads a whole file and parses its bytes; a read error is the result's error.
Result<Trace> parse_file(const std::string& path, Result<Trace> (*parse)(Bytes));

// Builds the trace record of a heuristic reader. Names are registered by first occurrence: a
// known name is ignored, a new one gets the next id (the number of names so far) and width 1.
class TraceBuilder {
  public:
    explicit TraceBuilder(TraceKind kind) { data_.kind = kind; }

    // Registers `name` when new; returns its id either way.
    uint64_t register_name(std::string_view name);
    // Registers each name in order.
    void register_names(const std::vector<std::string>& names);
    std::optional<uint64_t> find(std::string_view name) const;
    size_t num_names() const { return data_.signal_names.size(); }
    const std::vector<std::string>& names() const { return data_.signal_names; }

    // Sets the width of a registered name (unknown names are ignored).
    void set_width(std::string_view name, uint32_t width);
    void set_width(uint64_t id, uint32_t width);

    // scopes = derive_scopes(names()).
    void derive_scopes();

    // Direct access for what the builder does not cover (values, time stamps, own scope rules).
    TraceData& data() { return data_; }
    SignalStore& store() { return data_.store; }
    std::vector<uint64_t>& timestamps() { return data_.timestamps; }
    std::vector<std::string>& scopes() { return data_.scopes; }

    // Hands the record over. A record without time stamps gets the single time stamp 0.
    Trace finish() &&;

  private:
    TraceData data_;
};

}  // namespace tarn::scan

// VCD reader: one forward pass over the text, a line at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "trace/trace.h"
#include "util/interrupt.h"

namespace tarn::vcd {

// Identifier code -> signal id. Codes of one to three printable characters (what writers emit)
// index flat tables; longer or unusual codes go through a seeded hash map.
class CodeTable {
  public:
    static constexpr uint64_t kNone = UINT64_MAX;
    uint64_t find(std::string_view code) const;
    void insert(std::string_view code, uint64_t id);

  private:
    static bool small_key(std::string_view code, size_t* slot);
    std::vector<uint32_t> small_;  // id + 1, 0 = unknown; grown on first use
    NameMap<uint64_t> other_;
};

class Parser {
  public:
    Parser();
    // A parser for one piece of the value-change section, reading codes from `shared`.
    // `carries_in`: values may be carried into the piece from before it (every piece but one
    // that starts right after the declarations).
    explicit Parser(const CodeTable& shared, bool carries_in = true);
    // One line without its terminator. `ascii` tells that the line has no byte >= 0x80.
    void line(std::string_view raw, bool ascii);
    // Feed a block of text; complete lines are parsed, and the unfinished tail is returned as
    // the number of bytes not consumed (all of them when `last` is set are consumed). Stops
    // early, leaving the rest unconsumed, when the operation is interrupted or over budget.
    size_t feed(const char* data, size_t size, bool last);
    Trace finish();

    // Header phase of a parallel load: feed() stops before the first time-stamp line.
    void stop_at_time(bool on) {
        stop_at_time_ = on;
        stopped_ = false;
    }
    bool stopped() const { return stopped_; }
    // A piece saw something that only a sequential pass can interpret (a declaration, or a first
    // line that is not a time stamp).
    bool unsafe() const { return unsafe_; }
    // The declarations expand to more name text than the input can reasonably declare (deep
    // scopes repeat their path in every name below them): parsing stopped.
    bool over_budget() const { return over_budget_; }
    std::string budget_error() const;
    const CodeTable& codes() const { return *codes_; }
    uint64_t next_id() const { return next_id_; }
    uint64_t num_stamps() const { return d_.timestamps.size(); }
    // Appends a piece's time stamps and changes after this parser's, as if this parser had read
    // the piece's text itself. Returns false (changing nothing) when the piece is unsafe.
    bool join(Parser& piece);

  private:
    void declaration_scope(std::string_view line);
    void declaration_var(std::string_view line);
    void time_stamp(std::string_view rest);
    void value_change(std::string_view line, bool ascii);

    bool is_time_line(std::string_view raw, bool ascii) const;
    void charge_names(size_t bytes);

    TraceData d_;
    CodeTable own_codes_;
    const CodeTable* codes_ = &own_codes_;
    bool piece_ = false;
    bool stop_at_time_ = false;
    bool stopped_ = false;
    bool unsafe_ = false;
    bool first_line_ = true;
    bool over_budget_ = false;
    uint64_t seen_ = 0;        // bytes of input lines parsed
    uint64_t name_bytes_ = 0;  // bytes of scope paths and full names built
    InterruptPoll<16384> poll_;
    NameSet scope_set_;
    std::string scope_path_;
    std::vector<size_t> scope_lens_;  // length of scope_path_ before each push
    uint64_t next_id_ = 0;
    uint64_t current_index_ = 0;
    bool dumping_ = false;
};

}  // namespace tarn::vcd

// VCD reader: one forward pass over the text, a line at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "trace/change_log.h"
#include "trace/select.h"
#include "trace/trace.h"
#include "trace/vectors.h"
#include "util/interrupt.h"

namespace tarn::vcd {

// Identifier code -> signal id. Codes of one to three printable characters (what writers emit)
// index flat tables; longer or unusual codes go through a seeded hash map.
class CodeTable {
  public:
    static constexpr uint64_t kNone = UINT64_MAX;
    uint64_t find(std::string_view code) const;
    // The flat-table answer for a code of 1 to 3 printable characters, or kNone when the table
    // has no entry (the caller then asks find()).
    uint64_t find_small(const char* p, size_t n) const {
        size_t k = 0;
        for (size_t i = 0; i < n; ++i) {
            unsigned c = static_cast<unsigned char>(p[i]) - 33u;
            if (c > 93u) return kNone;
            k = k * 94 + c;
        }
        if (n >= 2) k += 94;
        if (n == 3) k += 94 * 94;
        if (n == 0 || n > 3 || k >= small_.size() || small_[k] == 0) return kNone;
        return small_[k] - 1;
    }
    void insert(std::string_view code, uint64_t id);

  private:
    static bool small_key(std::string_view code, size_t* slot);
    std::vector<uint32_t> small_;  // id + 1, 0 = unknown; grown on first use
    NameMap<uint64_t> other_;
};

class Parser {
  public:
    Parser();
    // A parser for one piece of the value-change section, which begins at a time-stamp line:
    // it looks codes up in `primary`'s table (read-only, so pieces can run at once) and logs its
    // time stamps and value changes for replay() instead of storing them. A declaration line
    // stops it (see needs_sequential()).
    struct PieceOf {
        const Parser& primary;
    };
    explicit Parser(PieceOf piece);
    Parser(const Parser&) = delete;
    Parser& operator=(const Parser&) = delete;

    // A load that keeps only the signals `filter` keeps (it must outlive the parser). Which codes
    // to keep is decided at the end of the header (the first time-stamp line) from the names as
    // they stand then; the others cost parsing only. `forced` (by declared id, from an earlier
    // read of the same input) lists ids to keep whatever their names. Call before feeding.
    void keep_only(const NameFilter& filter, std::vector<uint8_t> forced = {});
    // A declaration after the first time stamp can rename signals or give a dropped code a kept
    // name, so that the values of a kept signal are incomplete. Then this returns the declared
    // ids to keep (for keep_only's `forced`) in a second read of the input; else nothing.
    std::optional<std::vector<uint8_t>> ids_to_read_again();

    // One line without its terminator. `ascii` tells that the line has no byte >= 0x80.
    void line(std::string_view raw, bool ascii);
    // Feed a block of text; complete lines are parsed, and the unfinished tail is returned as
    // the number of bytes not consumed (all of them when `last` is set are consumed). Stops
    // early, leaving the rest unconsumed, when the operation is interrupted, over budget, at
    // the first time stamp in header mode, or at a declaration in a piece.
    size_t feed(const char* data, size_t size, bool last);
    Trace finish();

    // Header mode: stop before the first time-stamp line (at_first_stamp() then tells so).
    void set_header_mode(bool on) { header_mode_ = on; }
    bool at_first_stamp() const { return halted_ && header_mode_; }
    bool halted() const { return halted_; }
    uint64_t stamp_count() const { return log_ ? log_->stamps() : d_.timestamps.size(); }
    // After the header mode has stopped at the first time stamp: the pieces, or one pass, go on
    // from there. A piece stops at a declaration line, and the section must then be read in one
    // pass.
    void end_header();
    bool needs_sequential() const { return halted_ && !header_mode_; }

    // Appends the pieces' time stamps and value changes, in order, after everything parsed so
    // far, as if this parser had read their text: one thread per log stream, each into its own
    // signals' columns. The pieces' logs are freed as they are read.
    void replay(std::vector<std::unique_ptr<Parser>>& pieces);

    // The declarations expand to more name text than the input can reasonably declare (deep
    // scopes repeat their path in every name below them): parsing stopped.
    bool over_budget() const { return over_budget_; }
    std::string budget_error() const;

  private:
    void declaration_scope(std::string_view line);
    void declaration_var(std::string_view line);
    void time_stamp(std::string_view rest);
    void value_change(std::string_view line, bool ascii);
    bool fast_change(std::string_view raw);
    // A change to `id`, or, for a code not declared yet before the first time stamp, kept until
    // its declaration.
    void emit(std::string_view code, uint64_t id, SignalValue v);
    void keep_pending(std::string_view code, SignalValue v);
    void take_pending(std::string_view code, uint64_t id);
    // One line of a $timescale section; true when the line was its text.
    bool timescale_line(std::string_view s, bool first);
    // Names the declarations (see trace/vectors.h) and assembles buses dumped bit by bit.
    void name_signals();

    void charge_names(size_t bytes);
    // A filtered load: decides which declared ids to keep and gives them their columns.
    void decide_kept();
    // Store columns: one per declared id, or in a filtered load one per kept id.
    uint64_t columns() const { return route_ ? kept_ : next_id_; }
    // Where a value change goes: the store, or a piece's log; nowhere for a dropped code.
    // Inlined: the loading hot path of every scalar and short vector change.
    [[gnu::always_inline]] void put_int(uint64_t id, uint64_t v) {
        if (route_ && (id = (*route_)[id]) == kDroppedId) return;
        if (log_)
            log_->put_int(id, v);
        else
            d_.store.append_int(id, current_index_, v);
    }
    void put(uint64_t id, const SignalValue& v) {
        if (route_ && (id = (*route_)[id]) == kDroppedId) return;
        if (log_)
            log_->put(id, v);
        else
            d_.store.append(id, current_index_, v);
    }

    TraceData d_;
    std::vector<Declaration> decls_;
    NameMap<SignalValue> pending_;  // code -> last value, for codes not declared yet
    CodeTable codes_;
    const CodeTable* lookup_ = &codes_;  // the primary's table in a piece
    std::unique_ptr<ChangeLog> log_;     // a piece's, which also stops at declarations
    // A filtered load: the filter, the declared ids kept whatever their names, and once decided
    // the column of each declared id (kDroppedId for a dropped one); a piece uses its primary's.
    const NameFilter* filter_ = nullptr;
    std::vector<uint8_t> forced_;
    std::vector<uint64_t> routes_;
    const std::vector<uint64_t>* route_ = nullptr;
    uint64_t kept_ = 0;  // columns given to kept ids
    bool over_budget_ = false;
    bool header_mode_ = false;
    bool halted_ = false;
    uint64_t seen_ = 0;        // bytes of input lines parsed
    uint64_t name_bytes_ = 0;  // bytes of scope paths and full names built
    InterruptPoll<16384> poll_;
    NameSet scope_set_;
    std::string scope_path_;
    std::vector<size_t> scope_lens_;  // length of scope_path_ before each push
    uint64_t next_id_ = 0;
    uint64_t current_index_ = 0;
    bool dumping_ = false;  // a time stamp was read
    bool values_ = false;   // value changes are read: after $enddefinitions or a time stamp
    bool in_timescale_ = false;
    uint8_t timescale_lines_ = 0;
    std::string timescale_text_;
};

}  // namespace tarn::vcd

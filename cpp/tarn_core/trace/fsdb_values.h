// Heuristic value-change decoding of FSDB value blobs (decompressed sections and streams of the
// modern layout). Each blob is read as base-128 header numbers, a region of (delta, value) byte
// pairs cut into pieces by 0x08 bytes, an optional tail of initial values and an optional clock
// piece; its changes go to signal ids by position: initial values to ids 1, 2, ..., the pair
// stream to the next id, marker-derived streams to the ids after it, the clock to id 0.
//
// Time stamps are shared by all blobs. A blob that inserts times before ones already known does
// not shift what earlier blobs stored: values stay attached to their times (the record is kept
// per time, not per index, until the end), and an inserted time holds what forward fill carries
// into it. Decoding work is bounded by a budget (markers and clocks multiply events, so a small
// hostile blob could otherwise ask for billions); once it is spent, decoding stops.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "signal/store.h"

namespace tarn::fsdb {

// One recovered change: value `value` from time `time` on, until the next run.
struct Run {
    uint64_t time;
    uint64_t value;
};

// One signal write: value `value` for signal `id` at time `time`.
struct Event {
    uint64_t time;
    uint64_t id;
    uint64_t value;
};

// The writes one blob makes, in order, for `num_names` names; absent when the blob is skipped
// (shorter than 8 bytes, or neither header mark nor end mark). At most `max_events` are made;
// `truncated` (when given) tells whether more would have been.
std::optional<std::vector<Event>> blob_events(std::span<const uint8_t> blob, uint64_t num_names,
                                              uint64_t max_events, bool* truncated = nullptr);

class ValueDecoder {
  public:
    // `num_names`: the registered names (valid ids 0 .. num_names - 1). `budget`: units of work
    // (events, time stamps and runs touched) the decoder may spend in all.
    ValueDecoder(uint64_t num_names, uint64_t budget);

    // Decodes one blob (blobs must come in the order the reader collected them).
    void decode(std::span<const uint8_t> blob);

    // True once the budget is spent; further decode() calls do nothing.
    bool exhausted() const { return work_ >= budget_; }
    uint64_t work() const { return work_; }

    // Moves the result out: the time stamps (ascending, starting with 0) and the store, every
    // signal forward-filled up to the last time stamp.
    void finish(std::vector<uint64_t>& timestamps, SignalStore& store);

  private:
    void apply(std::vector<Event>& events);

    uint64_t n_;
    uint64_t budget_;
    uint64_t work_ = 0;
    bool zero_filled_ = false;
    std::vector<uint64_t> times_{0};
    std::vector<std::vector<Run>> runs_;  // per signal id, ascending times
};

}  // namespace tarn::fsdb

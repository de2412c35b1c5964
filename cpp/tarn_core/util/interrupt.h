// Cancellation of long operations (a user pressing Ctrl-C during a load or a search).
//
// The engine knows nothing of the host: the host installs a hook that says whether the user has
// asked to stop (the Python binding's hook runs the interpreter's pending signal handlers). The
// host opens an InterruptScope around an operation; long loops call interrupted() every few
// milliseconds of work and, when it answers true, stop early and return whatever they have; the
// host then sees scope.stopped() and discards that partial result. The hook is called only on
// the thread that opened the scope; worker tasks of the operation see the answer through the
// scope's atomic flag, which the worker pool carries over to them.
#pragma once

#include <atomic>

namespace tarn {

// Returns true when the running operation should stop. Called on the scope's thread only.
using InterruptHook = bool (*)();

// Installs the hook (nullptr removes it). Set once by the host, before any operation runs.
void set_interrupt_hook(InterruptHook hook);

// Marks the calling thread as running an interruptible operation for the scope's lifetime.
// A scope opened inside another one on the same thread joins the outer operation.
class InterruptScope {
  public:
    InterruptScope();
    ~InterruptScope();
    InterruptScope(const InterruptScope&) = delete;
    InterruptScope& operator=(const InterruptScope&) = delete;

    // Whether the operation was asked to stop (its results are then incomplete).
    bool stopped() const;

  private:
    std::atomic<bool> flag_{false};
    std::atomic<bool>* outer_;
};

// True once the running operation has been asked to stop, and from then on. On the scope's
// thread this consults the hook; in worker tasks it reads the operation's flag only. False
// outside any operation. Cheap enough to call every few thousand steps of work.
bool interrupted();

// For the worker pool: the running operation's flag (or nullptr), and a guard that lets a worker
// thread see that flag while it runs the operation's tasks.
std::atomic<bool>* current_stop_flag();
class StopFlagGuard {
  public:
    explicit StopFlagGuard(std::atomic<bool>* flag);
    ~StopFlagGuard();
    StopFlagGuard(const StopFlagGuard&) = delete;
    StopFlagGuard& operator=(const StopFlagGuard&) = delete;

  private:
    std::atomic<bool>* saved_;
};

// Counts steps and consults interrupted() every `Every` of them.
template <unsigned Every = 4096>
class InterruptPoll {
  public:
    bool operator()() {
        if (++n_ < Every) return false;
        n_ = 0;
        return interrupted();
    }

  private:
    unsigned n_ = 0;
};

}  // namespace tarn

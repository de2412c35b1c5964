#include "util/interrupt.h"

namespace tarn {

namespace {

std::atomic<InterruptHook> g_hook{nullptr};
thread_local std::atomic<bool>* t_flag = nullptr;  // the running operation's flag
thread_local bool t_owner = false;                 // this thread opened the operation's scope

}  // namespace

void set_interrupt_hook(InterruptHook hook) {
    g_hook.store(hook);
}

InterruptScope::InterruptScope() : outer_(t_flag) {
    if (!outer_) {
        t_flag = &flag_;
        t_owner = true;
    }
}

InterruptScope::~InterruptScope() {
    if (!outer_) {
        t_flag = nullptr;
        t_owner = false;
    }
}

bool InterruptScope::stopped() const {
    return (outer_ ? outer_ : &flag_)->load(std::memory_order_relaxed);
}

bool interrupted() {
    std::atomic<bool>* flag = t_flag;
    if (!flag) return false;
    if (flag->load(std::memory_order_relaxed)) return true;
    if (!t_owner) return false;
    InterruptHook hook = g_hook.load(std::memory_order_relaxed);
    if (!hook || !hook()) return false;
    flag->store(true, std::memory_order_relaxed);
    return true;
}

std::atomic<bool>* current_stop_flag() {
    return t_flag;
}

StopFlagGuard::StopFlagGuard(std::atomic<bool>* flag) : saved_(t_flag) {
    t_flag = flag;
}

StopFlagGuard::~StopFlagGuard() {
    t_flag = saved_;
}

}  // namespace tarn

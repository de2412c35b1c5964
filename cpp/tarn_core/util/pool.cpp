#include "util/pool.h"

#include <pthread.h>
#include <sched.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "util/interrupt.h"

namespace tarn {

namespace {

thread_local bool t_in_task = false;

struct Job {
    const std::function<void(size_t)>* task = nullptr;
    size_t n = 0;
    std::atomic<size_t> next{0};
    std::atomic<size_t> done{0};
    std::exception_ptr error;
    std::mutex error_mu;
    std::atomic<bool>* stop = nullptr;  // the caller's interruption flag, seen by the tasks

    // Take tasks until none are left; returns how many this thread finished.
    void work() {
        StopFlagGuard carry(stop);
        t_in_task = true;
        size_t finished = 0;
        for (size_t i; (i = next.fetch_add(1)) < n; ++finished) {
            try {
                (*task)(i);
            } catch (...) {
                std::lock_guard<std::mutex> g(error_mu);
                if (!error) error = std::current_exception();
            }
        }
        t_in_task = false;
        if (finished) done.fetch_add(finished);
    }
};

class Pool {
  public:
    explicit Pool(size_t workers) {
        for (size_t i = 0; i < workers; ++i) threads_.emplace_back([this] { loop(); });
    }
    // Never destroyed: workers live as long as the process (see the header).

    void run(size_t n, const std::function<void(size_t)>& task) {
        // Another thread's job is running: do this one here rather than wait. Waiting could
        // deadlock when that job's caller runs a signal handler that lets this thread in (both
        // would then wait on each other through the host's lock).
        std::unique_lock<std::mutex> serial(run_mu_, std::try_to_lock);
        if (!serial.owns_lock()) {
            for (size_t i = 0; i < n; ++i) task(i);
            return;
        }
        Job job;
        job.task = &task;
        job.n = n;
        job.stop = current_stop_flag();
        {
            std::lock_guard<std::mutex> g(mu_);
            job_ = &job;
            ++generation_;
        }
        cv_.notify_all();
        job.work();
        {
            std::unique_lock<std::mutex> g(mu_);
            auto finished = [&] { return job.done.load() == n && active_ == 0; };
            while (!finished()) {
                if (!job.stop) {
                    done_cv_.wait(g, finished);
                    break;
                }
                // Keep answering Ctrl-C while the workers finish: the flag tells them to stop.
                if (done_cv_.wait_for(g, std::chrono::milliseconds(5), finished)) break;
                g.unlock();
                t_in_task = true;  // anything the hook runs must not wait on this pool
                interrupted();
                t_in_task = false;
                g.lock();
            }
            job_ = nullptr;
        }
        if (job.error) std::rethrow_exception(job.error);
    }

  private:
    void loop() {
        uint64_t seen = 0;
        std::unique_lock<std::mutex> g(mu_);
        for (;;) {
            cv_.wait(g, [&] { return generation_ != seen && job_ != nullptr; });
            seen = generation_;
            Job* job = job_;
            ++active_;
            g.unlock();
            job->work();
            g.lock();
            --active_;
            done_cv_.notify_all();
        }
    }

    std::mutex run_mu_;
    std::mutex mu_;
    std::condition_variable cv_, done_cv_;
    Job* job_ = nullptr;
    uint64_t generation_ = 0;
    size_t active_ = 0;
    std::vector<std::thread> threads_;
};

std::mutex g_create_mu;
Pool* g_pool = nullptr;

void atfork_prepare() {
    g_create_mu.lock();
}
void atfork_parent() {
    g_create_mu.unlock();
}
void atfork_child() {
    // The workers did not come along; forget the pool (deliberately leaked) and the lock.
    g_pool = nullptr;
    new (&g_create_mu) std::mutex();
}

Pool& pool() {
    std::lock_guard<std::mutex> g(g_create_mu);
    if (!g_pool) {
        static bool registered = false;
        if (!registered) {
            pthread_atfork(atfork_prepare, atfork_parent, atfork_child);
            registered = true;
        }
        g_pool = new Pool(worker_count());
    }
    return *g_pool;
}

}  // namespace

size_t worker_count() {
    // The cores this process may run on (taskset, container CPU sets), fixed at first use like
    // the pool itself.
    static const size_t count = [] {
        cpu_set_t set;
        if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0)
            return static_cast<size_t>(CPU_COUNT(&set));
        unsigned n = std::thread::hardware_concurrency();
        return n == 0 ? size_t(1) : size_t(n);
    }();
    return count;
}

void parallel_for(size_t n, const std::function<void(size_t)>& task) {
    if (n == 0) return;
    if (n == 1 || t_in_task) {
        for (size_t i = 0; i < n; ++i) task(i);
        return;
    }
    pool().run(n, task);
}

}  // namespace tarn

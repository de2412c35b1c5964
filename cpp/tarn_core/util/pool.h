// The process-wide worker pool: one worker per CPU core, created on first use and kept for the
// life of the process. After fork() the child starts with no workers and creates fresh ones on
// its first use (threads do not survive fork, and a child must never wait on them).
#pragma once

#include <cstddef>
#include <functional>

namespace tarn {

// Number of workers the pool runs: the CPU cores this process may use (at least 1).
size_t worker_count();

// Runs task(i) for every i in [0, n) on the pool and returns when all are done. The calling
// thread takes part. Tasks must not touch Python objects. An exception thrown by a task is
// rethrown here (the first one; the remaining tasks still run to completion). Calls from inside
// a task run inline, so nesting cannot deadlock.
void parallel_for(size_t n, const std::function<void(size_t)>& task);

}  // namespace tarn

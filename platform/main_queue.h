#pragma once

#include <functional>

namespace platform {

// The process's main queue: closures run one at a time, in the order they were
// submitted, on the main thread, once that thread runs the queue.  There is
// exactly one per process; libraries loaded at run time reach it through
// vasquill_main_queue_sync (main_queue_client.h).

bool IsMainThread();

// Queues a closure and returns at once.
void DispatchAsyncMain(std::function<void()> work);

// Runs a closure on the main thread and waits until it has run.  On the main
// thread itself the closure runs at once.  An exception the closure throws is
// rethrown to the caller.
void DispatchSyncMain(const std::function<void()>& work);

// Runs the queue on the calling (main) thread for the life of the process.
[[noreturn]] void RunMainQueue();

}  // namespace platform

// The main queue's entry point for code loaded at run time: runs work(context)
// on the main thread and waits.  Returns 0 when it ran, -1 when work is null
// or threw.
extern "C" int vasquill_main_queue_sync(void (*work)(void*), void* context);

// A point inside a simulated call where a test can hold the calling threads, to force an
// order of events: while held, every thread that reaches the point waits there until the
// test releases it. Kept apart from the world's lock, so that the rest of the simulated
// platform stays usable meanwhile.
#pragma once

#include "internal.h"

#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace sim::detail {

class Gate {
  public:
    void Hold() {
        std::lock_guard<std::mutex> guard(lock_);
        holding_ = true;
    }
    void Release() {
        std::lock_guard<std::mutex> guard(lock_);
        holding_ = false;
        changed_.notify_all();
    }
    // Waits until this many threads are held at the same time.
    void WaitForHeld(std::size_t count) {
        std::unique_lock<std::mutex> guard(lock_);
        changed_.wait(guard, [&] { return held_ >= count; });
    }
    std::size_t Held() {
        std::lock_guard<std::mutex> guard(lock_);
        return held_;
    }
    // Where a calling thread passes, or waits while the gate is held.
    void Pass() {
        std::unique_lock<std::mutex> guard(lock_);
        if (!holding_)
            return;
        ++held_;
        changed_.notify_all();
        WaitInPlatform(guard, changed_, [this] { return !holding_; });
        --held_;
    }
    // For Reset(): a thread still held would outlive its test.
    void Reset(const char* what) {
        std::lock_guard<std::mutex> guard(lock_);
        if (held_ != 0) {
            std::fprintf(stderr, "sim: Reset() while %s\n", what);
            std::abort();
        }
        holding_ = false;
    }

  private:
    std::mutex lock_;
    std::condition_variable changed_;
    bool holding_ = false;
    std::size_t held_ = 0;
};

} // namespace sim::detail

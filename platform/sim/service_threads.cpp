// Which threads belong to a service process running in this process, and which of them wait.
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

struct Waiter {
    std::mutex* siteLock;
    std::function<bool()> woken;
};

struct Threads {
    std::size_t running = 0;
    std::vector<std::shared_ptr<Waiter>> waiting;
    std::uint64_t changes = 0;
};

std::mutex& ThreadsLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& ThreadsChanged() {
    static std::condition_variable changed;
    return changed;
}

Threads& TheThreads() {
    static Threads threads;
    return threads;
}

thread_local bool inProcess = false;

// The caller holds ThreadsLock.
void Changed() {
    ++TheThreads().changes;
    ThreadsChanged().notify_all();
}

// A deadlock guard: a service thread that neither ends nor waits inside the platform.
constexpr std::chrono::seconds kGuard(60);

[[noreturn]] void Stuck() {
    std::fprintf(stderr, "sim: a service process thread neither waits inside the platform nor "
                         "ends\n");
    std::abort();
}

} // namespace

void sim::detail::ReserveServiceProcessThread() {
    std::lock_guard<std::mutex> guard(ThreadsLock());
    ++TheThreads().running;
    Changed();
}

void sim::detail::AdoptServiceProcessThread() {
    inProcess = true;
}

bool sim::detail::JoinServiceProcess() {
    if (inProcess)
        return false;
    ReserveServiceProcessThread();
    inProcess = true;
    return true;
}

void sim::detail::LeaveServiceProcess() {
    if (!inProcess)
        return;
    inProcess = false;
    std::lock_guard<std::mutex> guard(ThreadsLock());
    --TheThreads().running;
    Changed();
}

void sim::detail::WaitInPlatform(std::unique_lock<std::mutex>& guard,
                                 std::condition_variable& changed,
                                 const std::function<bool()>& woken) {
    if (!inProcess) {
        changed.wait(guard, woken);
        return;
    }
    // The waiter is shared with SettleServiceProcesses, which may still read it after this
    // thread has gone on.
    auto waiter = std::make_shared<Waiter>(Waiter{guard.mutex(), woken});
    {
        std::lock_guard<std::mutex> threads(ThreadsLock());
        --TheThreads().running;
        TheThreads().waiting.push_back(waiter);
        Changed();
    }
    changed.wait(guard, woken);
    std::lock_guard<std::mutex> threads(ThreadsLock());
    Threads& t = TheThreads();
    ++t.running;
    for (auto it = t.waiting.begin(); it != t.waiting.end(); ++it) {
        if (*it == waiter) {
            t.waiting.erase(it);
            break;
        }
    }
    Changed();
}

void sim::detail::SettleServiceProcesses() {
    if (inProcess)
        return;
    std::unique_lock<std::mutex> guard(ThreadsLock());
    Threads& t = TheThreads();
    for (;;) {
        if (!ThreadsChanged().wait_for(guard, kGuard, [&] { return t.running == 0; }))
            Stuck();
        // A waiter whose wait is over but that has not run yet still has work to do. Each
        // site's lock is taken without this part's, which the sites take inside their own.
        const std::vector<std::shared_ptr<Waiter>> waiting = t.waiting;
        const std::uint64_t seen = t.changes;
        guard.unlock();
        bool due = false;
        for (const auto& w : waiting) {
            std::lock_guard<std::mutex> site(*w->siteLock);
            due = due || w->woken();
        }
        guard.lock();
        if (!due)
            return;
        if (!ThreadsChanged().wait_for(guard, kGuard, [&] { return t.changes != seen; }))
            Stuck();
    }
}

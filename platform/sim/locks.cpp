#include "internal.h"
#include "service_process.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>

namespace {

struct LockState {
    bool held = false;
    std::thread::id owner;
};

// A lock lives in the memory of the code under test, so the world knows it by its address;
// the journal names it by the order in which the world first saw it.
struct Locks {
    std::map<const SRWLOCK*, LockState> states;
    std::map<const SRWLOCK*, unsigned> names;
};

std::mutex& LocksLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& LocksChanged() {
    static std::condition_variable changed;
    return changed;
}

Locks& TheLocks() {
    static Locks locks;
    return locks;
}

std::string Name(const SRWLOCK* lock) {
    if (lock == nullptr)
        return "NULL";
    Locks& l = TheLocks();
    auto it = l.names.find(lock);
    if (it == l.names.end())
        it = l.names.emplace(lock, static_cast<unsigned>(l.names.size() + 1)).first;
    return "&lock" + std::to_string(it->second);
}

[[noreturn]] void Misuse(const char* what) {
    std::fprintf(stderr, "sim: %s\n", what);
    std::abort();
}

// The journal is written without this part's lock, which is never held while the world's is
// wanted.
std::string Named(const SRWLOCK* lock) {
    std::lock_guard<std::mutex> guard(LocksLock());
    return Name(lock);
}

} // namespace

void sim::detail::ResetLocks() {
    std::lock_guard<std::mutex> guard(LocksLock());
    Locks& l = TheLocks();
    for (const auto& [lock, state] : l.states) {
        if (state.held)
            Misuse("Reset() while a slim reader/writer lock is held");
    }
    l = Locks{};
}

std::size_t sim::HeldLocks() {
    std::lock_guard<std::mutex> guard(LocksLock());
    std::size_t held = 0;
    for (const auto& [lock, state] : TheLocks().states)
        held += state.held ? 1 : 0;
    return held;
}

// Neither operation can fail, so neither takes part in fault injection.
void AcquireSRWLockExclusive(PSRWLOCK lock) {
    sim::detail::Record("AcquireSRWLockExclusive(" + Named(lock) + ")");
    std::unique_lock<std::mutex> guard(LocksLock());
    if (lock == nullptr)
        Misuse("AcquireSRWLockExclusive(NULL)");
    LockState& state = TheLocks().states[lock];
    if (state.held && state.owner == std::this_thread::get_id())
        Misuse("AcquireSRWLockExclusive on a lock this thread holds: it would wait for ever");
    if (state.held)
        sim::detail::WaitInPlatform(guard, LocksChanged(), [&state] { return !state.held; });
    state.held = true;
    state.owner = std::this_thread::get_id();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    sim::detail::Record("ReleaseSRWLockExclusive(" + Named(lock) + ")");
    std::lock_guard<std::mutex> guard(LocksLock());
    auto it = TheLocks().states.find(lock);
    if (it == TheLocks().states.end() || !it->second.held ||
        it->second.owner != std::this_thread::get_id())
        Misuse("ReleaseSRWLockExclusive of a lock this thread does not hold");
    it->second.held = false;
    LocksChanged().notify_all();
}

// Kernel events and slim reader/writer locks. Kept apart from the world's lock: a waiter
// blocks here while other threads go on making platform calls.
#include "internal.h"
#include "sync.h"

#include <memory>

namespace {

struct Event {
    bool signalled = false;
};

struct LockState {
    bool held = false;
    std::thread::id owner;
};

struct Sync {
    sim::detail::HandleTable<std::shared_ptr<Event>> events{0x4000};
    std::size_t waiting = 0;
    // A lock lives in the memory of the code under test, so the world knows it by its
    // address; the journal names it by the order in which the world first saw it.
    std::map<const SRWLOCK*, LockState> locks;
    std::map<const SRWLOCK*, unsigned> names;
};

std::mutex& SyncLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& SyncChanged() {
    static std::condition_variable changed;
    return changed;
}

Sync& TheSync() {
    static Sync sync;
    return sync;
}

std::shared_ptr<Event> Find(HANDLE handle) {
    std::shared_ptr<Event>* e = TheSync().events.Find(handle);
    return e == nullptr ? nullptr : *e;
}

// Where SetEvent, after signalling, and a satisfied wait, before returning, can be held.
sim::detail::Gate& SetEventGate() {
    static sim::detail::Gate gate("SetEvent is held");
    return gate;
}

sim::detail::Gate& WakeUpGate() {
    static sim::detail::Gate gate("a wake-up is held");
    return gate;
}

// The journal is written without this part's lock, which is never held while the world's is
// wanted.
std::string Named(const SRWLOCK* lock) {
    if (lock == nullptr)
        return "NULL";
    std::lock_guard<std::mutex> guard(SyncLock());
    auto& names = TheSync().names;
    auto it = names.emplace(lock, static_cast<unsigned>(names.size() + 1)).first;
    return "&lock" + std::to_string(it->second);
}

using sim::detail::Abort;
using sim::detail::Fail;
using sim::detail::Faulted;
using sim::detail::Ptr;

} // namespace

void sim::detail::ResetSync() {
    std::lock_guard<std::mutex> guard(SyncLock());
    Sync& s = TheSync();
    if (s.waiting != 0)
        Abort("a thread still waits on an event at the end of the test");
    for (const auto& [lock, state] : s.locks) {
        if (state.held)
            Abort("a slim reader/writer lock is still held at the end of the test");
    }
    SetEventGate().Reset();
    WakeUpGate().Reset();
    s = Sync{};
}

bool sim::EventSignalled(HANDLE event) {
    std::lock_guard<std::mutex> guard(SyncLock());
    std::shared_ptr<Event> e = Find(event);
    return e != nullptr && e->signalled;
}

void sim::HoldSetEvent() {
    SetEventGate().Hold();
}

void sim::ReleaseSetEvent() {
    SetEventGate().Release();
}

void sim::WaitForHeldSetEvents(std::size_t count) {
    SetEventGate().WaitForHeld(count);
}

void sim::HoldWakeUps() {
    WakeUpGate().Hold();
}

void sim::ReleaseWakeUps() {
    WakeUpGate().Release();
}

std::size_t sim::HeldLocks() {
    std::lock_guard<std::mutex> guard(SyncLock());
    std::size_t held = 0;
    for (const auto& [lock, state] : TheSync().locks)
        held += state.held ? 1 : 0;
    return held;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    if (Faulted("CreateEventW", sim::detail::Out(attributes, "&attributes"),
                manualReset ? "TRUE" : "FALSE", initialState ? "TRUE" : "FALSE",
                sim::detail::Quote(name)))
        return nullptr;
    if (!manualReset || name != nullptr)
        Abort("CreateEventW: auto-reset and named events are not simulated");
    std::lock_guard<std::mutex> guard(SyncLock());
    auto event = std::make_shared<Event>();
    event->signalled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return TheSync().events.Add(std::move(event));
}

BOOL SetEvent(HANDLE event) {
    if (Faulted("SetEvent", Ptr(event)))
        return FALSE;
    std::unique_lock<std::mutex> guard(SyncLock());
    std::shared_ptr<Event> e = Find(event);
    if (e == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    e->signalled = true;
    SyncChanged().notify_all();
    guard.unlock();
    SetEventGate().Pass();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (Faulted("WaitForSingleObject", Ptr(handle),
                milliseconds == INFINITE ? "INFINITE" : std::to_string(milliseconds)))
        return WAIT_FAILED;
    std::unique_lock<std::mutex> guard(SyncLock());
    std::shared_ptr<Event> e = Find(handle);
    if (e == nullptr)
        return Fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
    if (!e->signalled) {
        if (milliseconds != INFINITE) {
            // Nothing else happens in the virtual time the wait would have taken.
            guard.unlock();
            std::lock_guard<std::recursive_mutex> world(sim::detail::WorldLock());
            sim::SetTicks(sim::Ticks() + milliseconds);
            return WAIT_TIMEOUT;
        }
        ++TheSync().waiting;
        sim::detail::WaitInPlatform(
            guard, SyncChanged(), [e] { return e->signalled; }, "WaitForSingleObject(INFINITE)");
        --TheSync().waiting;
    }
    guard.unlock();
    WakeUpGate().Pass();
    return WAIT_OBJECT_0;
}

// Neither lock operation can fail, so neither takes part in fault injection.
void AcquireSRWLockExclusive(PSRWLOCK lock) {
    sim::detail::Record("AcquireSRWLockExclusive(" + Named(lock) + ")");
    std::unique_lock<std::mutex> guard(SyncLock());
    if (lock == nullptr)
        Abort("AcquireSRWLockExclusive(NULL)");
    LockState& state = TheSync().locks[lock];
    if (state.held && state.owner == std::this_thread::get_id())
        Abort("AcquireSRWLockExclusive on a lock this thread holds: it would wait for ever");
    if (state.held)
        sim::detail::WaitInPlatform(
            guard, SyncChanged(), [&state] { return !state.held; }, "AcquireSRWLockExclusive");
    state.held = true;
    state.owner = std::this_thread::get_id();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    sim::detail::Record("ReleaseSRWLockExclusive(" + Named(lock) + ")");
    std::lock_guard<std::mutex> guard(SyncLock());
    auto it = TheSync().locks.find(lock);
    if (it == TheSync().locks.end() || !it->second.held ||
        it->second.owner != std::this_thread::get_id())
        Abort("ReleaseSRWLockExclusive of a lock this thread does not hold");
    it->second.held = false;
    SyncChanged().notify_all();
}

// Kernel events and slim reader/writer locks. Kept apart from the world's lock: a waiter
// blocks here while other threads go on making platform calls.
#include "internal.h"
#include "sync.h"

#include <algorithm>
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

std::mutex syncLock;
std::condition_variable syncChanged;
Sync theSync;

std::shared_ptr<Event> Find(HANDLE handle) {
    std::shared_ptr<Event>* e = theSync.events.Find(handle);
    return e == nullptr ? nullptr : *e;
}

// Where SetEvent, after signalling, and a satisfied wait, before returning, can be held.
sim::detail::Gate setEventGate("SetEvent is held");
sim::detail::Gate wakeUpGate("a wake-up is held");

// The journal is written without this part's lock, which is never held while the world's is
// wanted.
std::string Named(const SRWLOCK* lock) {
    if (lock == nullptr)
        return "NULL";
    std::lock_guard<std::mutex> guard(syncLock);
    auto& names = theSync.names;
    auto it = names.emplace(lock, static_cast<unsigned>(names.size() + 1)).first;
    return "&lock" + std::to_string(it->second);
}

using namespace sim::detail;

} // namespace

void sim::detail::ResetSync() {
    {
        std::lock_guard<std::mutex> guard(syncLock);
        Sync& s = theSync;
        if (s.waiting != 0)
            Abort("a thread still waits on an event at the end of the test");
        for (const auto& [lock, state] : s.locks) {
            if (state.held)
                Abort("a slim reader/writer lock is still held at the end of the test");
        }
        s = Sync{};
    }
    setEventGate.Reset();
    wakeUpGate.Reset();
}

bool sim::EventSignalled(HANDLE event) {
    std::lock_guard<std::mutex> guard(syncLock);
    std::shared_ptr<Event> e = Find(event);
    return e != nullptr && e->signalled;
}

void sim::HoldSetEvent() {
    setEventGate.Hold();
}

void sim::ReleaseSetEvent() {
    setEventGate.Release();
}

void sim::WaitForHeldSetEvents(std::size_t count) {
    setEventGate.WaitForHeld(count);
}

void sim::HoldWakeUps() {
    wakeUpGate.Hold();
}

void sim::ReleaseWakeUps() {
    wakeUpGate.Release();
}

std::size_t sim::HeldLocks() {
    std::lock_guard<std::mutex> guard(syncLock);
    std::size_t held = 0;
    for (const auto& [lock, state] : theSync.locks)
        held += state.held ? 1 : 0;
    return held;
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    if (Faulted("CreateEventW", Out(attributes, "&attributes"), manualReset ? "TRUE" : "FALSE",
                initialState ? "TRUE" : "FALSE", Quote(name)))
        return nullptr;
    if (!manualReset || name != nullptr)
        Abort("CreateEventW: auto-reset and named events are not simulated");
    std::lock_guard<std::mutex> guard(syncLock);
    auto event = std::make_shared<Event>();
    event->signalled = initialState != FALSE;
    SetLastError(ERROR_SUCCESS);
    return theSync.events.Add(std::move(event));
}

BOOL SetEvent(HANDLE event) {
    if (Faulted("SetEvent", Ptr(event)))
        return FALSE;
    std::unique_lock<std::mutex> guard(syncLock);
    std::shared_ptr<Event> e = Find(event);
    if (e == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    e->signalled = true;
    syncChanged.notify_all();
    guard.unlock();
    setEventGate.Pass();
    return TRUE;
}

bool sim::detail::EventExists(HANDLE event) {
    std::lock_guard<std::mutex> guard(syncLock);
    return Find(event) != nullptr;
}

void sim::detail::SignalEvent(HANDLE event) {
    std::lock_guard<std::mutex> guard(syncLock);
    if (std::shared_ptr<Event> e = Find(event)) {
        e->signalled = true;
        syncChanged.notify_all();
    }
}

BOOL ResetEvent(HANDLE event) {
    if (Faulted("ResetEvent", Ptr(event)))
        return FALSE;
    std::lock_guard<std::mutex> guard(syncLock);
    std::shared_ptr<Event> e = Find(event);
    if (e == nullptr)
        return Fail(ERROR_INVALID_HANDLE);
    e->signalled = false;
    return TRUE;
}

// Any one of the events, without time-out: the first signalled one in the order given.
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds) {
    std::string list;
    for (DWORD i = 0; handles != nullptr && i < count; ++i)
        list += (i == 0 ? "" : ", ") + Ptr(handles[i]);
    if (Faulted("WaitForMultipleObjects", count, "[" + list + "]", waitAll ? "TRUE" : "FALSE",
                milliseconds == INFINITE ? "INFINITE" : std::to_string(milliseconds)))
        return WAIT_FAILED;
    if (waitAll || milliseconds != INFINITE)
        Abort("WaitForMultipleObjects: only a wait for any one, without time-out, is simulated");
    std::unique_lock<std::mutex> guard(syncLock);
    std::vector<std::shared_ptr<Event>> events;
    for (DWORD i = 0; handles != nullptr && i < count; ++i)
        events.push_back(Find(handles[i]));
    if (events.empty() || count > 64 ||
        std::find(events.begin(), events.end(), nullptr) != events.end())
        return Fail<DWORD>(ERROR_INVALID_PARAMETER, WAIT_FAILED);
    auto first = [events] {
        for (std::size_t i = 0; i < events.size(); ++i) {
            if (events[i]->signalled)
                return static_cast<DWORD>(i);
        }
        return WAIT_TIMEOUT;
    };
    for (;;) {
        if (first() == WAIT_TIMEOUT) {
            ++theSync.waiting;
            WaitInPlatform(
                guard, syncChanged, [first] { return first() != WAIT_TIMEOUT; },
                "WaitForMultipleObjects(INFINITE)");
            --theSync.waiting;
        }
        guard.unlock();
        wakeUpGate.Pass();
        guard.lock();
        // Whichever is signalled once the thread goes on, as Windows picks among several.
        if (first() != WAIT_TIMEOUT)
            return WAIT_OBJECT_0 + first();
    }
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (milliseconds != INFINITE)
        Abort("WaitForSingleObject with a time-out is not simulated");
    if (Faulted("WaitForSingleObject", Ptr(handle), "INFINITE"))
        return WAIT_FAILED;
    std::unique_lock<std::mutex> guard(syncLock);
    std::shared_ptr<Event> e = Find(handle);
    if (e == nullptr)
        return Fail<DWORD>(ERROR_INVALID_HANDLE, WAIT_FAILED);
    if (!e->signalled) {
        ++theSync.waiting;
        WaitInPlatform(
            guard, syncChanged, [e] { return e->signalled; }, "WaitForSingleObject(INFINITE)");
        --theSync.waiting;
    }
    guard.unlock();
    wakeUpGate.Pass();
    return WAIT_OBJECT_0;
}

// Neither lock operation can fail, so neither takes part in fault injection.
void AcquireSRWLockExclusive(PSRWLOCK lock) {
    Record("AcquireSRWLockExclusive(" + Named(lock) + ")");
    std::unique_lock<std::mutex> guard(syncLock);
    if (lock == nullptr)
        Abort("AcquireSRWLockExclusive(NULL)");
    LockState& state = theSync.locks[lock];
    if (state.held && state.owner == std::this_thread::get_id())
        Abort("AcquireSRWLockExclusive on a lock this thread holds: it would wait for ever");
    if (state.held)
        WaitInPlatform(
            guard, syncChanged, [&state] { return !state.held; }, "AcquireSRWLockExclusive");
    state.held = true;
    state.owner = std::this_thread::get_id();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    Record("ReleaseSRWLockExclusive(" + Named(lock) + ")");
    std::lock_guard<std::mutex> guard(syncLock);
    auto it = theSync.locks.find(lock);
    if (it == theSync.locks.end() || !it->second.held ||
        it->second.owner != std::this_thread::get_id())
        Abort("ReleaseSRWLockExclusive of a lock this thread does not hold");
    it->second.held = false;
    syncChanged.notify_all();
}

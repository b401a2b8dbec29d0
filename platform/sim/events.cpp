#include "gate.h"
#include "internal.h"
#include "service_process.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

struct Event {
    bool manualReset = false;
    bool signalled = false;
    WString name;
};

// Kept apart from the world's lock: a waiter blocks here while other threads go on making
// platform calls.
struct Events {
    std::map<std::uintptr_t, std::shared_ptr<Event>> handles;
    std::uintptr_t nextHandle = 0x7000;
    std::size_t waiting = 0;
};

std::mutex& EventLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& EventChanged() {
    static std::condition_variable changed;
    return changed;
}

Events& TheEvents() {
    static Events events;
    return events;
}

std::uintptr_t Key(HANDLE handle) {
    return reinterpret_cast<std::uintptr_t>(handle);
}

std::shared_ptr<Event> Find(HANDLE handle) {
    auto it = TheEvents().handles.find(Key(handle));
    return it == TheEvents().handles.end() ? nullptr : it->second;
}

const char* Bool(BOOL value) {
    return value ? "TRUE" : "FALSE";
}

std::string Timeout(DWORD milliseconds) {
    return milliseconds == INFINITE ? "INFINITE" : std::to_string(milliseconds);
}

// Where SetEvent, after signalling, and a satisfied wait, before returning, can be held.
sim::detail::Gate& SetEventGate() {
    static sim::detail::Gate gate;
    return gate;
}

sim::detail::Gate& WakeUpGate() {
    static sim::detail::Gate gate;
    return gate;
}

} // namespace

void sim::detail::ResetEvents() {
    std::lock_guard<std::mutex> guard(EventLock());
    Events& e = TheEvents();
    if (e.waiting != 0) {
        std::fprintf(stderr, "sim: Reset() while a thread waits on an event\n");
        std::abort();
    }
    SetEventGate().Reset("a thread is held in SetEvent");
    WakeUpGate().Reset("a thread is held on waking up");
    e = Events{};
}

std::size_t sim::WaitingThreads() {
    std::lock_guard<std::mutex> guard(EventLock());
    return TheEvents().waiting;
}

void sim::WaitForWaitingThreads(std::size_t count) {
    std::unique_lock<std::mutex> guard(EventLock());
    EventChanged().wait(guard, [&] { return TheEvents().waiting >= count; });
}

bool sim::EventSignalled(HANDLE event) {
    std::lock_guard<std::mutex> guard(EventLock());
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

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                    LPCWSTR name) {
    DWORD code = 0;
    if (sim::detail::Call("CreateEventW", &code, attributes == nullptr ? "NULL" : "&attributes",
                          Bool(manualReset), Bool(initialState), sim::detail::Quote(name))) {
        SetLastError(code);
        return nullptr;
    }
    std::lock_guard<std::mutex> guard(EventLock());
    Events& e = TheEvents();
    std::shared_ptr<Event> event;
    DWORD result = ERROR_SUCCESS;
    if (name != nullptr && *name != 0) {
        // A name that is taken opens the existing event; its settings stay as they are.
        for (const auto& [handle, existing] : e.handles) {
            if (existing->name == name) {
                event = existing;
                result = ERROR_ALREADY_EXISTS;
                break;
            }
        }
    }
    if (event == nullptr) {
        event = std::make_shared<Event>();
        event->manualReset = manualReset != FALSE;
        event->signalled = initialState != FALSE;
        event->name = name == nullptr ? WString() : WString(name);
    }
    const std::uintptr_t handle = e.nextHandle;
    e.nextHandle += 4;
    e.handles[handle] = std::move(event);
    SetLastError(result);
    return reinterpret_cast<HANDLE>(handle);
}

BOOL SetEvent(HANDLE event) {
    DWORD code = 0;
    if (sim::detail::Call("SetEvent", &code, sim::detail::Ptr(event))) {
        SetLastError(code);
        return FALSE;
    }
    std::unique_lock<std::mutex> guard(EventLock());
    std::shared_ptr<Event> e = Find(event);
    if (e == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    e->signalled = true;
    EventChanged().notify_all();
    guard.unlock();
    SetEventGate().Pass();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    DWORD code = 0;
    if (sim::detail::Call("WaitForSingleObject", &code, sim::detail::Ptr(handle),
                          Timeout(milliseconds))) {
        SetLastError(code);
        return WAIT_FAILED;
    }
    std::unique_lock<std::mutex> guard(EventLock());
    std::shared_ptr<Event> e = Find(handle);
    if (e == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    if (!e->signalled) {
        if (milliseconds != INFINITE) {
            // Nothing else happens in the virtual time the wait would have taken.
            guard.unlock();
            std::lock_guard<std::recursive_mutex> world(sim::detail::WorldLock());
            sim::SetTicks(sim::Ticks() + milliseconds);
            return WAIT_TIMEOUT;
        }
        Events& all = TheEvents();
        ++all.waiting;
        EventChanged().notify_all();
        sim::detail::WaitInPlatform(guard, EventChanged(), [e] { return e->signalled; });
        --all.waiting;
    }
    // An auto-reset event lets one waiter through and turns non-signalled again.
    if (!e->manualReset)
        e->signalled = false;
    guard.unlock();
    WakeUpGate().Pass();
    return WAIT_OBJECT_0;
}

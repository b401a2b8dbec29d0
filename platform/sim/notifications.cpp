#include "devices.h"
#include "internal.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <optional>

namespace {

struct Registration {
    PCM_NOTIFY_CALLBACK callback = nullptr;
    PVOID context = nullptr;
    bool active = true;
    std::size_t running = 0;
};

struct Delivery {
    std::thread thread;
    bool done = false;
};

// Kept apart from the world's lock: callbacks run without it and take it again through every
// platform call they make, and an unregistration waits here for them to end.
struct Notifications {
    // Events reach the registrations in the order of their handles.
    sim::detail::HandleTable<std::shared_ptr<Registration>> registrations{0x5000};
    std::map<unsigned, Delivery> deliveries;
    unsigned nextEvent = 1;
    std::optional<std::uintptr_t> chosenHandle;
    std::size_t running = 0;
    std::size_t waitingUnregistrations = 0;
};

std::mutex notifyLock;
std::condition_variable notifyChanged;
Notifications theNotifications;

// The registration whose callback this thread is running, if any.
thread_local const Registration* inCallback = nullptr;

constexpr std::size_t kInstanceIdOffset = offsetof(CM_NOTIFY_EVENT_DATA, u);

bool AllZero(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < size; ++i) {
        if (bytes[i] != 0)
            return false;
    }
    return true;
}

std::string FilterText(const CM_NOTIFY_FILTER* filter) {
    if (filter == nullptr)
        return "NULL";
    return "{cbSize=" + std::to_string(filter->cbSize) +
           ", Flags=" + sim::detail::Hex(filter->Flags) +
           ", FilterType=" + std::to_string(filter->FilterType) +
           ", Reserved=" + std::to_string(filter->Reserved) +
           ", u=" + (AllZero(&filter->u, sizeof filter->u) ? "zero" : "set") + "}";
}

// Only the registration for every device instance is simulated, the one the system makes.
bool ValidFilter(const CM_NOTIFY_FILTER& filter) {
    if (filter.cbSize != sizeof(CM_NOTIFY_FILTER) || filter.Reserved != 0)
        return false;
    if (filter.Flags != CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES ||
        filter.FilterType != CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE)
        sim::detail::Abort("CM_Register_Notification: only a filter for every device instance is "
                           "simulated");
    return AllZero(&filter.u, sizeof filter.u);
}

void Deliver(unsigned event, CM_NOTIFY_ACTION action, std::vector<std::uint8_t> bytes) {
    // Exactly the bytes the platform hands over, so that a read beyond them is caught.
    std::unique_ptr<std::uint8_t[]> data(new std::uint8_t[bytes.size() == 0 ? 1 : bytes.size()]);
    if (!bytes.empty())
        std::memcpy(data.get(), bytes.data(), bytes.size());
    auto* eventData = reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(data.get());
    const auto size = static_cast<DWORD>(bytes.size());

    std::map<std::uintptr_t, std::shared_ptr<Registration>> targets;
    {
        std::lock_guard<std::mutex> guard(notifyLock);
        targets = theNotifications.registrations.All();
    }
    for (const auto& [handle, r] : targets) {
        {
            std::lock_guard<std::mutex> guard(notifyLock);
            if (!r->active)
                continue;
            ++r->running;
            ++theNotifications.running;
            notifyChanged.notify_all();
        }
        inCallback = r.get();
        r->callback(reinterpret_cast<HCMNOTIFICATION>(handle), r->context, action, eventData, size);
        inCallback = nullptr;
        {
            std::lock_guard<std::mutex> guard(notifyLock);
            --r->running;
            --theNotifications.running;
            notifyChanged.notify_all();
        }
    }
    std::lock_guard<std::mutex> guard(notifyLock);
    theNotifications.deliveries[event].done = true;
    notifyChanged.notify_all();
}

// The thread that delivers an event belongs to the service process: the callbacks it runs
// are the service's own work.
unsigned Post(CM_NOTIFY_ACTION action, std::vector<std::uint8_t> bytes) {
    std::lock_guard<std::mutex> guard(notifyLock);
    Notifications& n = theNotifications;
    unsigned event = n.nextEvent++;
    n.deliveries[event].thread = sim::detail::ProcessThread(
        [event, action, bytes = std::move(bytes)] { Deliver(event, action, bytes); });
    return event;
}

void JoinDone(std::unique_lock<std::mutex>& guard, unsigned event) {
    Notifications& n = theNotifications;
    std::thread thread = std::move(n.deliveries[event].thread);
    n.deliveries.erase(event);
    guard.unlock();
    if (thread.joinable())
        thread.join();
    guard.lock();
}

// Waits, under guard, until the event has been delivered, and joins its thread.
void AwaitDelivery(std::unique_lock<std::mutex>& guard, unsigned event) {
    Notifications& n = theNotifications;
    sim::detail::Await(
        guard, notifyChanged,
        [&] {
            auto it = n.deliveries.find(event);
            return it == n.deliveries.end() || it->second.done;
        },
        "the delivery of a device event");
    if (n.deliveries.count(event) != 0)
        JoinDone(guard, event);
}

} // namespace

void sim::detail::ResetNotifications() {
    std::vector<std::thread> finished;
    {
        std::lock_guard<std::mutex> guard(notifyLock);
        Notifications& n = theNotifications;
        for (auto& [event, delivery] : n.deliveries) {
            if (!delivery.done)
                sim::detail::Abort("event " + std::to_string(event) +
                                   " is still being delivered at the end of the test");
            finished.push_back(std::move(delivery.thread));
        }
        n = Notifications{};
    }
    for (std::thread& thread : finished) {
        if (thread.joinable())
            thread.join();
    }
}

void sim::SetNextNotificationHandle(std::uint64_t value) {
    std::lock_guard<std::mutex> guard(notifyLock);
    theNotifications.chosenHandle = value;
}

std::size_t sim::ActiveRegistrations() {
    std::lock_guard<std::mutex> guard(notifyLock);
    return theNotifications.registrations.Size();
}

unsigned sim::PostDeviceInstanceEvent(CM_NOTIFY_ACTION action, const WString& instanceId) {
    std::vector<std::uint8_t> bytes(kInstanceIdOffset, 0);
    const auto type = static_cast<std::uint32_t>(CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE);
    std::memcpy(bytes.data(), &type, sizeof type);
    std::vector<std::uint8_t> id = WideBytes(instanceId);
    bytes.insert(bytes.end(), id.begin(), id.end());
    bytes.push_back(0);
    bytes.push_back(0);
    return Post(action, std::move(bytes));
}

unsigned sim::PostRawDeviceEvent(CM_NOTIFY_ACTION action, const std::vector<std::uint8_t>& data) {
    return Post(action, data);
}

void sim::WaitForDeviceEvent(unsigned event) {
    std::unique_lock<std::mutex> guard(notifyLock);
    AwaitDelivery(guard, event);
}

void sim::WaitForDeviceEvents() {
    std::unique_lock<std::mutex> guard(notifyLock);
    while (!theNotifications.deliveries.empty())
        AwaitDelivery(guard, theNotifications.deliveries.begin()->first);
}

std::size_t sim::RunningCallbacks() {
    std::lock_guard<std::mutex> guard(notifyLock);
    return theNotifications.running;
}

void sim::WaitForWaitingUnregistrations(std::size_t count) {
    std::unique_lock<std::mutex> guard(notifyLock);
    sim::detail::Await(
        guard, notifyChanged, [&] { return theNotifications.waitingUnregistrations >= count; },
        "unregistrations waiting for their callbacks");
}

CONFIGRET CM_Register_Notification(PCM_NOTIFY_FILTER filter, PVOID context,
                                   PCM_NOTIFY_CALLBACK callback, PHCMNOTIFICATION notify) {
    if (auto code = sim::detail::Call(
            "CM_Register_Notification", FilterText(filter), sim::detail::Ptr(context),
            sim::detail::Out(callback, "callback"), sim::detail::Out(notify, "&notify")))
        return *code;
    if (filter == nullptr || callback == nullptr || notify == nullptr)
        return CR_INVALID_POINTER;
    if (!ValidFilter(*filter))
        return CR_INVALID_DATA;
    auto r = std::make_shared<Registration>();
    r->callback = callback;
    r->context = context;
    std::lock_guard<std::mutex> guard(notifyLock);
    // The handle is out before events can reach the callback, as the caller needs it to end
    // the registration.
    Notifications& n = theNotifications;
    *notify = n.chosenHandle ? n.registrations.Put<HCMNOTIFICATION>(*n.chosenHandle, std::move(r))
                             : n.registrations.Add<HCMNOTIFICATION>(std::move(r));
    n.chosenHandle.reset();
    return CR_SUCCESS;
}

CONFIGRET CM_Unregister_Notification(HCMNOTIFICATION notify) {
    if (auto code = sim::detail::Call("CM_Unregister_Notification", sim::detail::Ptr(notify)))
        return *code;
    std::unique_lock<std::mutex> guard(notifyLock);
    Notifications& n = theNotifications;
    std::shared_ptr<Registration>* found = n.registrations.Find(notify);
    if (found == nullptr)
        return CR_INVALID_POINTER;
    std::shared_ptr<Registration> r = *found;
    // Windows would wait here for this very callback to return, for ever.
    if (inCallback == r.get())
        sim::detail::Abort("CM_Unregister_Notification called from its own callback");
    r->active = false;
    n.registrations.Close(notify);
    ++n.waitingUnregistrations;
    notifyChanged.notify_all();
    sim::detail::WaitInPlatform(
        guard, notifyChanged, [r] { return r->running == 0; },
        "CM_Unregister_Notification waiting for its callbacks");
    --n.waitingUnregistrations;
    return CR_SUCCESS;
}

// The device callback over arbitrary actions and event data of arbitrary size, handed over in
// an allocation of exactly that size. A repair pass must run exactly when the action is the
// enumeration of an instance whose ID, read no further than the data, is watched, or the first
// start of one of the last 64 such instances, counted over the inputs so far.
#include "input.h"
#include "platform/sim/devices.h"
#include "repair/device_detection.h"
#include "repair/reader_prefixes.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>

namespace {

DWORD reader = 0;

bool Watched(const WString& id) {
    auto upper = [](WCHAR c) { return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 32) : c; };
    for (WCHAR vendor = u'1'; vendor <= u'4'; ++vendor) {
        WString prefix = WSTR("USB\\VID_F0C") + WString(1, vendor) + WSTR("&PID_");
        bool same = id.size() >= prefix.size();
        for (std::size_t i = 0; same && i < prefix.size(); ++i)
            same = upper(id[i]) == prefix[i];
        if (same)
            return true;
    }
    return false;
}

// Enumerated watched instances, upper-cased, whose start has not come yet; oldest first.
std::deque<WString> awaited;

// Whether the callback must run a pass for this event; keeps the awaited starts as it must.
bool PassExpected(DWORD action, WString id) {
    const bool enumerated = action == CM_NOTIFY_ACTION_DEVICEINSTANCEENUMERATED;
    if (!Watched(id) || (!enumerated && action != CM_NOTIFY_ACTION_DEVICEINSTANCESTARTED))
        return false;
    for (WCHAR& c : id)
        c = c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 32) : c;
    auto it = std::find(awaited.begin(), awaited.end(), id);
    const bool wasAwaited = it != awaited.end();
    if (wasAwaited)
        awaited.erase(it);
    else if (enumerated && awaited.size() == 64)
        awaited.pop_front();
    if (enumerated)
        awaited.push_back(id);
    return enumerated || wasAwaited;
}

// The instance ID that the data carries after FilterType and Reserved, up to its terminator
// or the end of the data.
WString InstanceIdOf(const std::uint8_t* data, std::size_t size) {
    WString id;
    for (std::size_t at = 8; at + 1 < size; at += 2) {
        WCHAR c = static_cast<WCHAR>(data[at] | (data[at + 1] << 8));
        if (c == 0)
            break;
        id += c;
    }
    return id;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::Reset();
    // After the world exists, so that its folder goes before the world itself does.
    std::atexit(sim::Cleanup);
    BuildReaderPrefixList();
    sim::MakeFile(WSTR("C:\\Windows\\System32\\DriverStore\\FileRepository\\"
                       "wudfusbcciddriver.inf_amd64_0\\wudfusbcciddriver.inf"));
    reader = sim::AddReader({WSTR("USB\\VID_F0C1&PID_1234&REV_0100")},
                            WSTR("Microsoft Usbccid Smartcard Reader (UMDF2)"));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    std::uint8_t first = in.Byte();
    // Mostly the actions the platform sends, sometimes any 32-bit value.
    DWORD action = (first & 0x80) != 0 ? static_cast<DWORD>(in.Bits()) : first % 11u;
    std::size_t length = in.size;
    std::unique_ptr<std::uint8_t[]> event(new std::uint8_t[length]);
    std::memcpy(event.get(), in.data, length);

    sim::ClearJournal();
    sim::RevertDriverUpdates();
    unsigned installsBefore = sim::DriverInstalls(reader);
    DWORD result = OnDeviceEvent(reinterpret_cast<HCMNOTIFICATION>(std::uintptr_t{0x5000}), nullptr,
                                 static_cast<CM_NOTIFY_ACTION>(action),
                                 reinterpret_cast<PCM_NOTIFY_EVENT_DATA>(event.get()),
                                 static_cast<DWORD>(length));

    bool expected = PassExpected(action, InstanceIdOf(event.get(), length));
    unsigned installs = sim::DriverInstalls(reader) - installsBefore;
    if (result != ERROR_SUCCESS || installs != (expected ? 1u : 0u)) {
        std::fprintf(stderr, "action %u, %zu bytes: result %u, %u installs, %s expected\n", action,
                     length, result, installs, expected ? "one" : "none");
        std::abort();
    }
    return 0;
}

// The reader enumeration over simulated readers whose hardware-ID and description values are
// arbitrary bytes of arbitrary size, checked against a plain model of which readers qualify:
// present, both values at most 1024 bytes, a first hardware ID that ends inside the buffer
// and begins with a watched prefix, and the UMDF2 description. Every instance ID is also put
// to the watched-prefix rule on its own.
#include "input.h"
#include "platform/sim/devices.h"
#include "repair/reader_enumeration.h"
#include "repair/reader_prefixes.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr std::size_t kBufferBytes = 1024;
constexpr std::size_t kBufferUnits = kBufferBytes / 2;
constexpr std::size_t kLargestValue = kBufferBytes + 64;

// The value as it lies in a zeroed buffer of 1024 bytes, up to its first zero unit; the
// whole buffer when there is none.
WString AsRead(const std::vector<std::uint8_t>& value) {
    std::uint8_t buffer[kBufferBytes] = {};
    if (!value.empty())
        std::memcpy(buffer, value.data(),
                    value.size() < kBufferBytes ? value.size() : kBufferBytes);
    WString text;
    for (std::size_t i = 0; i < kBufferUnits; ++i) {
        WCHAR c = static_cast<WCHAR>(buffer[2 * i] | (buffer[2 * i + 1] << 8));
        if (c == 0)
            break;
        text += c;
    }
    return text;
}

WCHAR Upper(WCHAR c) {
    return c >= u'a' && c <= u'z' ? static_cast<WCHAR>(c - 32) : c;
}

bool SameIgnoringAsciiCase(const WString& a, const WString& b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (Upper(a[i]) != Upper(b[i]))
            return false;
    }
    return true;
}

bool Watched(const WString& id) {
    static const WString kVendors[] = {WSTR("USB\\VID_F0C1&PID_"), WSTR("USB\\VID_F0C2&PID_"),
                                       WSTR("USB\\VID_F0C3&PID_"), WSTR("USB\\VID_F0C4&PID_")};
    for (const WString& prefix : kVendors) {
        if (id.size() >= prefix.size() &&
            SameIgnoringAsciiCase(id.substr(0, prefix.size()), prefix))
            return true;
    }
    return false;
}

bool Qualifies(const sim::Device& d, WString* firstId) {
    if (!d.present || !d.hasHardwareIds || !d.hasDescription)
        return false;
    if (d.hardwareIds.size() > kBufferBytes || d.descriptionBytes.size() > kBufferBytes)
        return false;
    *firstId = AsRead(d.hardwareIds);
    return firstId->size() < kBufferUnits && Watched(*firstId) &&
           SameIgnoringAsciiCase(AsRead(d.descriptionBytes),
                                 WSTR("Microsoft Usbccid Smartcard Reader (UMDF2)"));
}

// The rule itself on an identifier that ends where the fuzzer's bytes end.
void CheckRule(const WString& id) {
    std::unique_ptr<WCHAR[]> exact(new WCHAR[id.size() + 1]);
    std::memcpy(exact.get(), id.c_str(), (id.size() + 1) * sizeof(WCHAR));
    if (IsWatchedReaderInstance(exact.get()) != (Watched(id) ? 1 : 0)) {
        std::fprintf(stderr, "watched-prefix rule disagrees on \"%s\"\n", Utf16ToUtf8(id).c_str());
        std::abort();
    }
}

std::vector<std::uint8_t> Value(FuzzInput& in) {
    std::size_t taken = 0;
    const std::uint8_t* bytes = in.Take(in.Word() % (kLargestValue + 1), &taken);
    return std::vector<std::uint8_t>(bytes, bytes + taken);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    sim::Reset();
    // After the world exists, so that its folder goes before the world itself does.
    std::atexit(sim::Cleanup);
    BuildReaderPrefixList();
    // The journal would only grow; the calls are what the unit tests check.
    sim::SetDeviceJournal(false);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in{data, size};
    sim::RemoveDevices();
    ReaderHardwareIdList expected;
    std::size_t count = in.Byte() % 9;
    for (std::size_t i = 0; i < count; ++i) {
        // Set bits take a device away from what a reader normally is.
        std::uint8_t flags = in.Byte();
        sim::Device d;
        d.present = (flags & 1) == 0;
        d.hasHardwareIds = (flags & 2) == 0;
        d.hasDescription = (flags & 4) == 0;
        if (flags & 8)
            d.classGuid.Data1 ^= 1;
        d.hardwareIds = Value(in);
        // An empty value is stored as the empty description, a terminator alone.
        d.descriptionBytes = Value(in);
        if (d.descriptionBytes.empty())
            d.descriptionBytes = {0, 0};
        WString firstId;
        if ((flags & 8) == 0 && Qualifies(d, &firstId))
            expected.push_back(firstId);
        CheckRule(AsRead(d.hardwareIds));
        sim::AddDevice(d);
    }
    ReaderHardwareIdList readers{WSTR("left from before")};
    if (ListReadersWithInf(readers) != 1 || readers != expected) {
        std::fprintf(stderr, "listed %zu readers, expected %zu\n", readers.size(), expected.size());
        for (const WString& id : readers)
            std::fprintf(stderr, "  listed   \"%s\"\n", Utf16ToUtf8(id).c_str());
        for (const WString& id : expected)
            std::fprintf(stderr, "  expected \"%s\"\n", Utf16ToUtf8(id).c_str());
        std::abort();
    }
    if (sim::OpenDeviceInfoSets() != 0)
        std::abort();
    return 0;
}

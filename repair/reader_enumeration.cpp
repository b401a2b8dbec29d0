#include "reader_enumeration.h"

#include "reader_descriptions.h"
#include "reader_prefixes.h"

namespace {

// The record's size on 64-bit Windows, which the setup interface checks.
constexpr DWORD kDeviceRecordSize = 32;
static_assert(sizeof(SP_DEVINFO_DATA) == kDeviceRecordSize, "64-bit device record");

// Characters before the first terminator; the whole buffer when it holds none.
std::size_t TerminatedLength(const WCHAR* buffer) {
    return BoundedWideLength(buffer, ReaderPropertyCharacters);
}

} // namespace

ReaderMatch MatchReaderToRepair(const GUID& setupClass, const WCHAR* hardwareIds,
                                const WCHAR* description,
                                const std::function<bool(ReaderDriver&)>& readDriver) {
    // A value that fills the buffer without ending its first ID cannot be told from a
    // cut-off one; such a device is passed over.
    if (!(setupClass == GUID_DEVCLASS_SMARTCARDREADER) ||
        TerminatedLength(hardwareIds) == ReaderPropertyCharacters ||
        !IsWatchedReaderInstance(hardwareIds))
        return ReaderMatch::None;
    if (IsUmdf2ReaderDescription(description, TerminatedLength(description)))
        return ReaderMatch::ByDescription;
    // Windows translates the description into its display language, but not the names of
    // the driver's package.
    ReaderDriver driver;
    if (readDriver(driver) && IsInboxUmdf2Driver(driver))
        return ReaderMatch::ByPackage;
    return ReaderMatch::None;
}

int ListReadersWithInf(ReaderHardwareIdList& readers, std::size_t* recognisedByPackage) {
    readers.clear();
    if (recognisedByPackage != nullptr)
        *recognisedByPackage = 0;

    HDEVINFO set =
        SetupDiGetClassDevsW(&GUID_DEVCLASS_SMARTCARDREADER, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return 0;

    SP_DEVINFO_DATA device = {};
    device.cbSize = kDeviceRecordSize;
    DWORD requiredSize = 0;
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set, index, &device); ++index) {
        // Zeroed for each device: a value that comes without its terminator then ends in
        // zeros, never in the bytes an earlier device left, whatever size was reported.
        WCHAR hardwareIds[ReaderPropertyCharacters] = {};
        WCHAR description[ReaderPropertyCharacters] = {};
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_HARDWAREID, nullptr,
                                               reinterpret_cast<PBYTE>(hardwareIds),
                                               ReaderPropertyBufferSize, &requiredSize))
            continue;
        if (!SetupDiGetDeviceRegistryPropertyW(set, &device, SPDRP_DEVICEDESC, nullptr,
                                               reinterpret_cast<PBYTE>(description),
                                               ReaderPropertyBufferSize, &requiredSize))
            continue;
        // A driver that cannot be read leaves the description alone to decide; the pass
        // reports nothing of it.
        const ReaderMatch match =
            MatchReaderToRepair(device.ClassGuid, hardwareIds, description, [&](ReaderDriver& d) {
                ReaderDriverFailure failure;
                return ReadReaderDriver(set, device, d, failure);
            });
        if (match == ReaderMatch::None)
            continue;
        if (match == ReaderMatch::ByPackage && recognisedByPackage != nullptr)
            ++*recognisedByPackage;
        readers.emplace_back(hardwareIds, TerminatedLength(hardwareIds));
    }

    SetupDiDestroyDeviceInfoList(set);
    return 1;
}

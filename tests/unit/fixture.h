// Every test starts from a fresh simulated Windows and fresh process-wide records.
#pragma once

#include "log/log.h"
#include "platform/sim/service_process.h"
#include "repair/device_detection.h"
#include "repair/reader_descriptions.h"
#include "repair/reader_prefixes.h"
#include "service/service_status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

// The service process's records as a new process has them; for a test that runs the service
// process more than once.
inline void ResetServiceRecords() {
    NotificationHandle = nullptr;
    ServiceStatus = SERVICE_STATUS{};
    ServiceStatusHandle = nullptr;
    CheckPointCounter = 1;
    StopEvent = nullptr;
}

class SimTest : public ::testing::Test {
  protected:
    // Called again for a table's next row: every check of the end of a test on the last first.
    void SetUp() override {
        if (set_)
            TearDown();
        else
            sim::Reset();
        set_ = true;
        LogFilePath[0] = 0;
        ReaderPrefixList.clear();
        SetReaderDescriptions({});
        ResetServiceRecords();
    }
    // What the simulated Windows checks at a reset: nothing of the test may outlive it.
    void TearDown() override {
        EXPECT_EQ(sim::ReportsAfterStopped(), lateReports_);
        sim::Reset();
    }
    std::size_t lateReports_ = 0; // made on purpose
    bool set_ = false;
};

// A handle as the journal shows it.
inline std::string HandleText(const void* handle) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%016llX",
                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(handle)));
    return text;
}

inline const WCHAR kLogKey[] = WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR\\Log");
inline const WCHAR kReadersKey[] = WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR\\Readers");

// Descriptions that the inbox driver may show on a Windows in another display language.
inline const WString kFrenchUmdf2 = WSTR("Lecteur de carte \u00E0 puce Microsoft Usbccid (UMDF2)");
inline const WString kGermanUmdf2 = WSTR("Microsoft Usbccid-Smartcard-Leseger\u00E4t (UMDF2)");

// Switches logging on and opens the session, so that a test can read what was logged.
inline void OpenLogWithSwitchOn() {
    sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    OpenLogSession();
}

inline WString LogFileOf(DWORD pid) {
    return WSTR("C:\\Windows\\Temp\\Kelpix.log\\ruverodazaroda_P") +
           Utf8ToUtf16(std::to_string(pid)) + WSTR(".log");
}

// The log file's lines with their line ends and time-stamp prefixes removed; lines that do
// not carry a prefix are kept as they are.
std::vector<std::string> LogLines(DWORD pid = 4242);
// Only the entries written by messages (prefixed lines), without the banners.
std::vector<std::string> LogEntries(DWORD pid = 4242);
// Whether a journal line is one of the log's own file calls: only the log works with file
// handles and locks.
bool IsLogFileCall(const std::string& line);

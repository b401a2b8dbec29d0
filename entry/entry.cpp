#include "entry.h"

#include "commands/commands.h"
#include "log/log.h"
#include "repair/reader_prefixes.h"
#include "service/service_main.h"
#include "service/service_name.h"

namespace {

struct CommandWord {
    const WCHAR* word;
    void (*run)();
};

const CommandWord kCommandWords[] = {
    {WSTR("install"), InstallServiceCommand},
    {WSTR("start"), StartServiceCommand},
    {WSTR("stop"), StopServiceCommand},
    {WSTR("delete"), DeleteServiceCommand},
};

const char kStopBanner[] =
    "Logging Stopped\n\n========================================================================\n";

int RunCommandWord(const WCHAR* argument) {
    for (const CommandWord& command : kCommandWords) {
        if (lstrcmpiW(argument, command.word) == 0) {
            command.run();
            return 0;
        }
    }
    LogMessage("Wrong argument\n");
    return -1;
}

void RunServiceMode() {
    // The table must outlive the dispatcher call, which returns only after the service
    // has stopped (or at once, outside the service control manager).
    WCHAR name[sizeof ServiceName / sizeof ServiceName[0]];
    for (std::size_t i = 0; i < sizeof ServiceName / sizeof ServiceName[0]; ++i)
        name[i] = ServiceName[i];
    SERVICE_TABLE_ENTRYW table[2] = {{name, RunService}, {nullptr, nullptr}};
    BuildReaderPrefixList();
    StartServiceCtrlDispatcherW(table);
}

} // namespace

int EntryMain(int argc, WCHAR* argv[]) {
    OpenLogSession();
    int status = 0;
    if (argc == 2) {
        status = RunCommandWord(argv[1]);
    } else if (argc == 1) {
        RunServiceMode();
    } else {
        LogMessage("Wrong argument\n");
        status = -2;
    }
    LogMessage(kStopBanner);
    return status;
}

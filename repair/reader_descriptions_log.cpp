#include "log/log.h"
#include "reader_descriptions.h"

namespace {

// The outcome of the service's last reading; only the service main thread reads the value.
ReaderDescriptionsOutcome LastOutcome = {ReaderDescriptionsResult::Absent, 0};

void LogOutcome(const ReaderDescriptionsOutcome& outcome) {
    if (outcome.result == ReaderDescriptionsResult::Taken)
        LogMessage("Reader descriptions = %S\n", QuotedReaderDescriptions());
    else if (outcome.result != ReaderDescriptionsResult::Absent)
        LogMessage("Reader descriptions ignored: %s\n", ReaderDescriptionsIgnoredReason(outcome));
}

} // namespace

ReaderDescriptionsOutcome LoadReaderDescriptions() {
    LastOutcome = ReadReaderDescriptions();
    LogOutcome(LastOutcome);
    return LastOutcome;
}

bool ReloadReaderDescriptions() {
    bool listChanged = false;
    const ReaderDescriptionsOutcome outcome = ReadReaderDescriptionsChange(&listChanged);
    // A value that is ignored now for another reason changes no list, but an administrator
    // who wrote it learns why nothing happened, as after a restart.
    const bool same = !listChanged && outcome.result == LastOutcome.result &&
                      outcome.detail == LastOutcome.detail;
    LastOutcome = outcome;
    if (same)
        return false;
    if (outcome.result == ReaderDescriptionsResult::Absent)
        LogMessage("Reader descriptions removed.\n");
    else
        LogOutcome(outcome);
    return listChanged && outcome.result == ReaderDescriptionsResult::Taken;
}

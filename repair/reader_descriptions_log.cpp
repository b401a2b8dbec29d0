#include "log/log.h"
#include "reader_descriptions.h"

ReaderDescriptionsOutcome LoadReaderDescriptions() {
    const ReaderDescriptionsOutcome outcome = ReadReaderDescriptions();
    if (outcome.result == ReaderDescriptionsResult::Taken)
        LogMessage("Reader descriptions = %S\n", QuotedReaderDescriptions());
    else if (outcome.result != ReaderDescriptionsResult::Absent)
        LogMessage("Reader descriptions ignored: %s\n", ReaderDescriptionsIgnoredReason(outcome));
    return outcome;
}

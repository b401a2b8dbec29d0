#include "pending_poll.h"

DWORD PendingPollDelay(DWORD waitHint) {
    const DWORD delay = waitHint / 10;
    if (delay < 1000)
        return 1000;
    if (delay > 10000)
        return 10000;
    return delay;
}

// The simulated kernel events and slim reader/writer locks as the tests see them, with the
// points where a test can hold a thread to force an order of events.
#pragma once

#include "world.h"

namespace sim {

// Events are manual-reset and unnamed, and waits have no time-out, as the system makes them;
// WaitForMultipleObjects waits for any one of them.
bool EventSignalled(HANDLE event);
// While held, SetEvent signals the event and then waits inside the platform until released.
void HoldSetEvent();
void ReleaseSetEvent();
void WaitForHeldSetEvents(std::size_t count);
// While held, a thread whose wait was satisfied does not return from WaitForSingleObject
// until released.
void HoldWakeUps();
void ReleaseWakeUps();

// Slim reader/writer locks held now. In the journal a lock is named &lock1, &lock2, ... in
// the order in which the world first saw it.
std::size_t HeldLocks();

} // namespace sim

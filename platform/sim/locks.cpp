// Slim reader/writer locks of the simulated Windows, each a host mutex found by the
// lock's address. Taking and releasing a lock cannot fail, so no fault applies to them.
#include "internal.h"

#include <map>
#include <mutex>

namespace {

std::mutex& MutexOf(PSRWLOCK lock) {
    static std::mutex guard;
    static std::map<PSRWLOCK, std::mutex> mutexes; // nodes stay where they are
    std::lock_guard<std::mutex> hold(guard);
    return mutexes[lock];
}

} // namespace

void AcquireSRWLockExclusive(PSRWLOCK lock) {
    DWORD code = 0;
    sim::detail::Call("AcquireSRWLockExclusive", &code, "&lock");
    MutexOf(lock).lock();
}

void ReleaseSRWLockExclusive(PSRWLOCK lock) {
    DWORD code = 0;
    sim::detail::Call("ReleaseSRWLockExclusive", &code, "&lock");
    MutexOf(lock).unlock();
}

// What one LogMessage costs, with logging switched off (the call returns at the failed open)
// and on (the whole open, write and close of the file per message).
#include "log/log.h"
#include "platform/sim/world.h"

#include <benchmark/benchmark.h>

namespace {

const WCHAR kLogKey[] = WSTR("SOFTWARE\\Corvane\\Tessarine\\KVR\\Log");

void Prepare(bool on) {
    sim::Reset();
    LogFilePath[0] = 0;
    if (on)
        sim::SetRegDword(kLogKey, WSTR("Enabled"), 1);
    OpenLogSession();
}

void BM_LogMessage(benchmark::State& state) {
    Prepare(state.range(0) != 0);
    const WCHAR id[] = WSTR("USB\\VID_0000&PID_0000\\0123456789");
    for (auto _ : state) {
        LogMessage("Device %S failed (%d)\n", id, 1234);
        // The journal would otherwise grow by one line a call for the whole run.
        if ((state.iterations() & 1023) == 0)
            sim::ClearJournal();
    }
    state.SetItemsProcessed(state.iterations());
    state.SetLabel(state.range(0) != 0 ? "logging on" : "logging off");
    sim::Cleanup();
}
BENCHMARK(BM_LogMessage)->Arg(0)->Arg(1);

} // namespace

BENCHMARK_MAIN();

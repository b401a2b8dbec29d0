// The cost of one repair pass as the number of present readers grows, on a driver store of
// 10,000 package folders. Logging is off, and the simulated device calls are not journalled,
// so that the figures are those of the pass and of the platform calls it makes.
#include "log/log.h"
#include "platform/sim/devices.h"
#include "platform/sim/world.h"
#include "repair/reader_enumeration.h"
#include "repair/reader_prefixes.h"
#include "repair/repair_pass.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>

namespace {

std::atomic<unsigned long long> allocations{0};

void* Allocate(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr)
        std::abort();
    return p;
}

} // namespace

void* operator new(std::size_t size) {
    return Allocate(size);
}
void* operator new[](std::size_t size) {
    return Allocate(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    return Allocate(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

constexpr int kStoreFolders = 10000;
const WString kRepository = WSTR("C:\\Windows\\System32\\DriverStore\\FileRepository");

WString Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04X", value & 0xFFFFu);
    return Utf8ToUtf16(text);
}

// A fresh world: the package among 9,999 others in the store, and readers present readers
// of the four watched vendors, each model its own, all on the inbox UMDF2 driver.
void BuildWorld(int readers) {
    sim::Reset();
    LogFilePath[0] = 0;
    ReaderPrefixList.clear();
    BuildReaderPrefixList();
    for (int i = 0; i < kStoreFolders - 1; ++i)
        sim::MakeDir(kRepository + WSTR("\\oem") + Utf8ToUtf16(std::to_string(i)) +
                     WSTR(".inf_amd64_0123456789abcdef"));
    sim::MakeFile(kRepository +
                  WSTR("\\wudfusbcciddriver.inf_amd64_4e3a7f0d1c2b5a69\\wudfusbcciddriver.inf"));
    for (int i = 0; i < readers; ++i) {
        WString model = WSTR("USB\\VID_F0C") + Utf8ToUtf16(std::to_string(1 + i % 4)) +
                        WSTR("&PID_") + Hex4(static_cast<unsigned>(i));
        sim::AddReader({model + WSTR("&REV_0100"), model},
                       WSTR("Microsoft Usbccid Smartcard Reader (UMDF2)"));
    }
    sim::SetDeviceJournal(false);
}

void Report(benchmark::State& state, unsigned long long allocated) {
    const double readers = static_cast<double>(state.range(0));
    const double passes = static_cast<double>(state.iterations());
    state.counters["readers"] = readers;
    state.counters["per_reader"] = benchmark::Counter(
        readers * passes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["allocs_per_pass"] = static_cast<double>(allocated) / passes;
}

// A whole pass: the store is searched, every reader listed and every one updated.
void BM_RepairPass(benchmark::State& state) {
    const int readers = static_cast<int>(state.range(0));
    BuildWorld(readers);
    unsigned long long allocated = 0;
    for (auto _ : state) {
        state.PauseTiming();
        // Every pass must find every reader still on the UMDF2 driver.
        sim::RevertDriverUpdates();
        sim::ClearJournal();
        state.ResumeTiming();
        const unsigned long long before = allocations.load(std::memory_order_relaxed);
        ApplyCcidDriverFix();
        allocated += allocations.load(std::memory_order_relaxed) - before;
    }
    Report(state, allocated);
}

// The per-device part alone: the copy of each qualifying ID, the list's growth and the
// platform's device information set are all that may be allocated.
void BM_ListReadersWithInf(benchmark::State& state) {
    const int readers = static_cast<int>(state.range(0));
    BuildWorld(readers);
    unsigned long long allocated = 0;
    for (auto _ : state) {
        const unsigned long long before = allocations.load(std::memory_order_relaxed);
        ReaderHardwareIdList list;
        benchmark::DoNotOptimize(ListReadersWithInf(list));
        allocated += allocations.load(std::memory_order_relaxed) - before;
        if (static_cast<int>(list.size()) != readers)
            state.SkipWithError("not every reader was listed");
    }
    Report(state, allocated);
}

} // namespace

BENCHMARK(BM_RepairPass)->Arg(1)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_ListReadersWithInf)
    ->Arg(1)
    ->Arg(100)
    ->Arg(1000)
    ->Arg(10000)
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();

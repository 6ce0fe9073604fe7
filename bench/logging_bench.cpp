// Cost of one log statement through the dispatcher: into a sink that drops
// the line, and into the pending buffer before any sink exists, and of a
// DEBUG statement, which the level test drops. The pending buffer has no
// bound, so its runs also pay for a buffer that grows to hundreds of MB and
// vary with it; in the programs it holds a few lines.
#include "Logger/LoggerBase.h"
#include "Logging/Log.h"

#include <benchmark/benchmark.h>

namespace {

class DiscardingSink : public Tellan::LoggerBase<std::mutex> {
protected:
    void attachLocked(std::stringstream&) override {}
    void closeLocked() override {}
    void writeLocked(const std::string& line) override { benchmark::DoNotOptimize(line.data()); }
    void rotateLocked() override {}
};

void structuredStatement()
{
    TLOG_EVENT(INFO, "OpsFileUploader", "uploadFinished",
               {"path", "C:/Users/x/Logs/ZorvikMusic-v9.5.2.2478-230925-101500.log"}, {"httpStatus", 200u},
               {"result", 0});
}

void plainStatement() { TLOG(INFO, "helper") << "Begin helper shutdown"; }

// The pending buffer is only used before the first sink is installed, so
// these run first, in the order registered.
void BM_Structured_PendingBuffer(benchmark::State& state)
{
    for (auto _ : state)
        structuredStatement();
}

void BM_Plain_PendingBuffer(benchmark::State& state)
{
    for (auto _ : state)
        plainStatement();
}

void BM_Structured_DiscardingSink(benchmark::State& state)
{
    static bool installed = (Tellan::Logging::instance().setLogger(new DiscardingSink()), true);
    benchmark::DoNotOptimize(installed);
    for (auto _ : state)
        structuredStatement();
}

void BM_Plain_DiscardingSink(benchmark::State& state)
{
    static bool installed = (Tellan::Logging::instance().setLogger(new DiscardingSink()), true);
    benchmark::DoNotOptimize(installed);
    for (auto _ : state)
        plainStatement();
}

void BM_Debug_Dropped(benchmark::State& state)
{
    for (auto _ : state)
        TLOG(DEBUG, "helper") << "never formatted";
}

} // namespace

BENCHMARK(BM_Structured_PendingBuffer);
BENCHMARK(BM_Plain_PendingBuffer);
BENCHMARK(BM_Structured_DiscardingSink);
BENCHMARK(BM_Plain_DiscardingSink);
BENCHMARK(BM_Debug_Dropped);
BENCHMARK_MAIN();

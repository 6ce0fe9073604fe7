// Cost of one log statement through the dispatcher: into a sink that drops
// the line, into the pending buffer before any sink exists, into the
// helper's real log file, and of a DEBUG statement, which the level test
// drops. The pending buffer has no bound, so its runs also pay for a buffer
// that grows to hundreds of MB and vary with it; in the programs it holds a
// few lines.
//
// The real file lies in a temporary folder under ZORVIK_BENCH_LOG_DIR, or
// /dev/shm (a tmpfs) where there is one, or TMPDIR. Beside it, when spdlog
// is there, a spdlog file sink flushed after every line logs the same
// statements in the same run, and the ratios are printed at the end.
#include "HelperLogger.h"
#include "Logger/LoggerBase.h"
#include "Logging/Log.h"
#include "Storage/Storage.h"

#include <benchmark/benchmark.h>

#ifdef ZORVIK_BENCH_SPDLOG
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#endif

#include <boost/filesystem/operations.hpp>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <unistd.h>

namespace {

// Lines per run into a file: enough for a steady figure, few enough that
// the files stay small in a tmpfs.
constexpr benchmark::IterationCount kFileLines = 400000;

class DiscardingSink : public Tellan::LoggerBase<std::mutex> {
protected:
    void attachLocked(std::stringstream&) override {}
    void closeLocked() override {}
    void writeLocked(const std::string& line) override { benchmark::DoNotOptimize(line.data()); }
    void rotateLocked() override {}
};

const char kPath[] = "C:/Users/x/Logs/ZorvikMusic-v9.5.2.2478-230925-101500.log";

void structuredStatement()
{
    TLOG_EVENT(INFO, "OpsFileUploader", "uploadFinished", {"path", kPath}, {"httpStatus", 200u}, {"result", 0});
}

void plainStatement() { TLOG(INFO, "helper") << "Begin helper shutdown"; }

// A profile of its own for the helper's Logs folder, removed at exit.
class BenchFolder {
public:
    BenchFolder()
    {
        const char* base = std::getenv("ZORVIK_BENCH_LOG_DIR");
        if (!base)
            base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : std::getenv("TMPDIR");
        std::string pattern = std::string(base ? base : "/tmp") + "/zorvik-logging-bench-XXXXXX";
        if (mkdtemp(&pattern[0]) == nullptr) {
            std::perror("mkdtemp");
            std::exit(1);
        }
        path = pattern;
        setenv("HOME", path.c_str(), 1);
        setenv("XDG_DATA_HOME", (path + "/.local/share").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (path + "/.config").c_str(), 1);
        std::printf("log files in %s\n", path.c_str());
    }
    ~BenchFolder()
    {
        boost::system::error_code ignored;
        boost::filesystem::remove_all(path, ignored);
    }
    std::string path;
};

BenchFolder& folder()
{
    static BenchFolder f;
    return f;
}

void installRealSink()
{
    static bool installed = [] {
        folder();
        Tellan::Storage::InitStorageLocations();
        Tellan::Logging::instance().setLogger(new Tellan::HelperLogger());
        return true;
    }();
    benchmark::DoNotOptimize(installed);
}

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

void BM_Structured_HelperLogFile(benchmark::State& state)
{
    installRealSink();
    for (auto _ : state)
        structuredStatement();
}

void BM_Plain_HelperLogFile(benchmark::State& state)
{
    installRealSink();
    for (auto _ : state)
        plainStatement();
}

#ifdef ZORVIK_BENCH_SPDLOG
spdlog::logger& spdlogFile()
{
    static std::shared_ptr<spdlog::logger> logger = [] {
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_st>(folder().path + "/spdlog.log", true);
        auto made = std::make_shared<spdlog::logger>("bench", sink);
        // A line much like the helper's, with its CR LF; flushed after each.
        made->set_formatter(std::make_unique<spdlog::pattern_formatter>("%y%m%d:%H%M%S TellanHelper : %L %n : %v",
                                                                        spdlog::pattern_time_type::utc, "\r\n"));
        made->flush_on(spdlog::level::info);
        return made;
    }();
    return *logger;
}

void BM_Structured_SpdlogFlushedFile(benchmark::State& state)
{
    spdlog::logger& logger = spdlogFile();
    for (auto _ : state)
        logger.info("uploadFinished : function = {} , httpStatus = {} , path = {} , result = {} : line {}, ",
                    "Tellan>`anonymous-namespace'>structuredStatement", 200u, kPath, 0, __LINE__);
}

void BM_Plain_SpdlogFlushedFile(benchmark::State& state)
{
    spdlog::logger& logger = spdlogFile();
    for (auto _ : state)
        logger.info("Helper INFO in helper line {} : Begin helper shutdown", __LINE__);
}
#endif

void BM_Debug_Dropped(benchmark::State& state)
{
    for (auto _ : state)
        TLOG(DEBUG, "helper") << "never formatted";
}

// The console's table, and at the end each file run's time against the
// comparison sink's: the fastest of the repetitions (--benchmark_repetitions)
// of each, the figure that a busy machine disturbs least, or the median.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            // With --benchmark_report_aggregates_only only the aggregates
            // come: the median stands in for the fastest then.
            if (run.run_type != Run::RT_Iteration && run.aggregate_name != "median")
                continue;
            const auto found = fastest.find(run.run_name.function_name);
            if (found == fastest.end() || run.GetAdjustedRealTime() < found->second)
                fastest[run.run_name.function_name] = run.GetAdjustedRealTime();
        }
    }
    void Finalize() override
    {
        ConsoleReporter::Finalize();
        for (const char* kind : {"Structured", "Plain"}) {
            const auto real = fastest.find(std::string("BM_") + kind + "_HelperLogFile");
            const auto other = fastest.find(std::string("BM_") + kind + "_SpdlogFlushedFile");
            if (real != fastest.end() && other != fastest.end() && other->second > 0)
                std::printf("%s: helper log file %.0f ns, spdlog flushed file %.0f ns, ratio %.2f\n", kind,
                            real->second, other->second, real->second / other->second);
        }
    }

private:
    std::map<std::string, double> fastest;
};

} // namespace

BENCHMARK(BM_Structured_PendingBuffer);
BENCHMARK(BM_Plain_PendingBuffer);
BENCHMARK(BM_Structured_DiscardingSink);
BENCHMARK(BM_Plain_DiscardingSink);
BENCHMARK(BM_Structured_HelperLogFile)->Iterations(kFileLines);
BENCHMARK(BM_Plain_HelperLogFile)->Iterations(kFileLines);
#ifdef ZORVIK_BENCH_SPDLOG
BENCHMARK(BM_Structured_SpdlogFlushedFile)->Iterations(kFileLines);
BENCHMARK(BM_Plain_SpdlogFlushedFile)->Iterations(kFileLines);
#endif
BENCHMARK(BM_Debug_Dropped);

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    Tellan::Logging::instance().closeLogger();
    return 0;
}

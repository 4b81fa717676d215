// Throughput of the byte queue: one owner appends a write of N bytes, then every reader reads it,
// as the event loop does with the tty-to-network queue and its clients. memcpy of the same sizes
// is the ceiling: every byte a reader receives costs at least one copy.
//
// bytes_per_second counts bytes delivered to readers (N x readers per append); "stream" counts
// bytes appended. The summary printed at the end gives delivered bytes/s over memcpy bytes/s;
// since the append is a copy too, the best possible ratio is readers / (readers + 1).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "rcqb.h"

static constexpr uint32_t BLOCK_SIZE = 256; // what the connector gives both of its queues
static constexpr int64_t READER_COUNTS[] = {1, 16, 62};
static constexpr int64_t WRITE_SIZES[] = {1, 64, 256, 4096};

static void bm_rcqb(benchmark::State &state)
{
    const auto readers = static_cast<size_t>(state.range(0));
    const auto size = static_cast<uint32_t>(state.range(1));
    std::vector<uint8_t> src(size, 0x5a);
    std::vector<uint8_t> dst(size);
    rcqb *owner = rcqb_create(BLOCK_SIZE);
    std::vector<rcqb *> clones;
    for (size_t i = 0; i < readers; i++) {
        clones.push_back(rcqb_clone(owner));
    }
    for (auto _ : state) {
        rcqb_append(owner, src.data(), size);
        for (rcqb *r : clones) {
            int32_t n = rcqb_read(r, dst.data(), size);
            benchmark::DoNotOptimize(n);
        }
        benchmark::ClobberMemory();
    }
    for (rcqb *r : clones) {
        rcqb_free(r);
    }
    rcqb_free(owner);
    const auto appended = state.iterations() * static_cast<int64_t>(size);
    state.SetBytesProcessed(appended * static_cast<int64_t>(readers));
    state.counters["stream"] = benchmark::Counter(static_cast<double>(appended),
                                                  benchmark::Counter::kIsRate,
                                                  benchmark::Counter::kIs1024);
}

static void bm_memcpy(benchmark::State &state)
{
    const auto size = static_cast<size_t>(state.range(0));
    std::vector<uint8_t> src(size, 0x5a);
    std::vector<uint8_t> dst(size);
    for (auto _ : state) {
        memcpy(dst.data(), src.data(), size);
        benchmark::DoNotOptimize(dst.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(size));
}

static void rcqb_args(benchmark::internal::Benchmark *b)
{
    for (int64_t readers : READER_COUNTS) {
        for (int64_t size : WRITE_SIZES) {
            b->Args({readers, size});
        }
    }
}

static void memcpy_args(benchmark::internal::Benchmark *b)
{
    for (int64_t size : WRITE_SIZES) {
        b->Arg(size);
    }
}

BENCHMARK(bm_rcqb)->ArgNames({"readers", "bytes"})->Apply(rcqb_args);
BENCHMARK(bm_memcpy)->ArgNames({"bytes"})->Apply(memcpy_args);

// The console output as usual, plus each benchmark's bytes/s kept by name for the summary.
// With --benchmark_repetitions the mean is kept.
struct summary_reporter : benchmark::ConsoleReporter {
    std::map<std::string, double> rates;

    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs) {
            auto it = run.counters.find("bytes_per_second");
            if (run.error_occurred || it == run.counters.end()) {
                continue;
            }
            if (run.run_type == Run::RT_Iteration && !rates.count(run.run_name.str())) {
                rates[run.run_name.str()] = it->second.value;
            } else if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "mean") {
                rates[run.run_name.str()] = it->second.value;
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

static void print_summary(const std::map<std::string, double> &rates)
{
    printf("\nDelivered bytes/s through the queue against memcpy of the same size\n");
    printf("%8s %8s %14s %14s %8s\n", "readers", "bytes", "queue MB/s", "memcpy MB/s", "ratio");
    for (int64_t readers : READER_COUNTS) {
        for (int64_t size : WRITE_SIZES) {
            char q_name[64];
            char m_name[64];
            snprintf(q_name, sizeof q_name, "bm_rcqb/readers:%lld/bytes:%lld",
                     static_cast<long long>(readers), static_cast<long long>(size));
            snprintf(m_name, sizeof m_name, "bm_memcpy/bytes:%lld", static_cast<long long>(size));
            auto q = rates.find(q_name);
            auto m = rates.find(m_name);
            if (q == rates.end() || m == rates.end() || m->second <= 0) {
                continue; // filtered out by --benchmark_filter
            }
            printf("%8lld %8lld %14.1f %14.1f %8.3f\n", static_cast<long long>(readers),
                   static_cast<long long>(size), q->second / 1e6, m->second / 1e6,
                   q->second / m->second);
        }
    }
}

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    summary_reporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    print_summary(reporter.rates);
    return 0;
}

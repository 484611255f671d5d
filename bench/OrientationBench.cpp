// Cost of the orientation per pod-sample: the estimator alone, the filter with its nine linked
// inputs and four outputs, and a plain complementary filter beside them. The samples are the
// simulator's (random motion up to 500 deg/s), made before the clock starts.
#include "OrientationScenario.h"

#include "DRFN3Internal/FilterOrientation.h"
#include "DRFN3Internal/OrientationEstimator.h"
#include "DRFN3Internal/PinNames.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

// Every heap allocation goes through malloc: count them there.
namespace {
std::atomic<std::uint64_t> allocations{0};
}
extern "C" {
void* __libc_malloc(std::size_t);
void* malloc(std::size_t n) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(n);
}
}

using namespace OrientationTests;

namespace {

double threadCpuNs()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

/// 20 s of samples at 200 Hz; taken round and round with the time going on.
const std::vector<Feed::Sample>& samples()
{
    static const std::vector<Feed::Sample> all = [] {
        Sim::SensorModel sensors;
        sensors.gyroscopeBias = {kDegree, -kDegree, kDegree};
        Feed feed(Sim::MotionScript::random(500, 26), sensors);
        std::vector<Feed::Sample> out;
        for (int k = 0; k < 4000; ++k) out.push_back(feed.next());
        return out;
    }();
    return all;
}

void setPerSample(benchmark::State& state, double cpuNs, std::uint64_t allocs)
{
    const double n = static_cast<double>(state.iterations());
    state.SetItemsProcessed(state.iterations());
    state.counters["cpu_ns_per_sample"] = cpuNs / n;
    state.counters["allocs_per_sample"] = static_cast<double>(allocs) / n;
}

/// Runs update(sample, time) once per iteration after a warm-up lap, and sets the counters.
template <typename Update>
void measure(benchmark::State& state, Update update)
{
    const std::vector<Feed::Sample>& all = samples();
    std::size_t k = 0;
    auto next = [&] {
        const Feed::Sample& s = all[k % all.size()];
        update(s, static_cast<double>(k) * 0.005);
        ++k;
    };
    for (std::size_t i = 0; i < all.size(); ++i) next();
    const std::uint64_t allocs0 = allocations.load();
    const double cpu0 = threadCpuNs();
    for (auto _ : state) next();
    setPerSample(state, threadCpuNs() - cpu0, allocations.load() - allocs0);
}

void BM_OrientationEstimator(benchmark::State& state)
{
    DRFN3Internal::OrientationEstimator estimator;
    measure(state, [&](const Feed::Sample& s, double t) {
        estimator.update(t, s.acc, &s.mag, &s.gyro);
        benchmark::DoNotOptimize(estimator.orientation());
    });
}
BENCHMARK(BM_OrientationEstimator);

void BM_PlainComplementary(benchmark::State& state)
{
    PlainComplementary baseline(DRFN3Internal::OrientationEstimator::Settings().gain);
    measure(state, [&](const Feed::Sample& s, double t) {
        baseline.update(t, s.acc, s.mag, s.gyro);
        benchmark::DoNotOptimize(baseline.orientation());
    });
}
BENCHMARK(BM_PlainComplementary);

/// The filter fed as FilterDRFN3 feeds it: samples (identity calibration, so the calibrated
/// values go in as counts), then the six calibration pins, every frame; process() after every
/// range(0) frames. Synchronous inputs, as a host that drives both filters from one thread
/// links them. What is measured includes the nine pushes of the source.
void BM_OrientationFilter(benchmark::State& state)
{
    const std::int64_t every = state.range(0);
    std::int64_t frames = 0;
    using Quillmesh::Core::OutputPin;
    using Quillmesh::Core::RowMatrixXd;
    namespace PinNames = DRFN3Internal::PinNames;
    Quillmesh::Core::PinManager source("pod");
    DRFN3Internal::FilterOrientation filter("orientation");
    std::vector<std::unique_ptr<OutputPin<RowMatrixXd>>> pins;
    for (int s = 0; s < 3; ++s)
        for (const char* name : {PinNames::SAMPLES[s], PinNames::GAINS[s], PinNames::OFFSETS[s]})
        {
            pins.push_back(std::make_unique<OutputPin<RowMatrixXd>>(name, &source));
            filter.findInputPin(name)->setIsSynchronous(true);
            pins.back()->attach(*filter.findInputPin(name));
        }
    for (int s = 0; s < 3; ++s)
    {
        pins[3 * s]->getData() = RowMatrixXd::Zero(3, 1);
        pins[3 * s + 1]->getData() = RowMatrixXd::Identity(3, 3);
        pins[3 * s + 2]->getData() = RowMatrixXd::Zero(3, 1);
    }
    measure(state, [&](const Feed::Sample& s, double t) {
        const Eigen::Vector3d* values[3] = {&s.acc, &s.mag, &s.gyro};
        for (int k = 0; k < 3; ++k)
        {
            for (int i = 0; i < 3; ++i) pins[3 * k]->getData()(i, 0) = (*values[k])[i];
            pins[3 * k]->push(t);
        }
        for (int k = 0; k < 3; ++k)
        {
            pins[3 * k + 1]->push(1e10);
            pins[3 * k + 2]->push(1e10);
        }
        if (++frames % every == 0) filter.process();
    });
}
BENCHMARK(BM_OrientationFilter)->Arg(1)->Arg(8);

class Collector : public benchmark::ConsoleReporter
{
public:
    void ReportRuns(const std::vector<Run>& runs) override
    {
        for (const Run& run : runs)
            if (run.run_type == Run::RT_Iteration)
                for (const auto& [name, counter] : run.counters) values[run.benchmark_name()][name].push_back(counter);
        ConsoleReporter::ReportRuns(runs);
    }
    double median(const std::string& benchmark, const std::string& counter)
    {
        std::vector<double> v = values[benchmark][counter];
        if (v.empty()) return -1;
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    }
    std::map<std::string, std::map<std::string, std::vector<double>>> values;
};

} // namespace

int main(int argc, char** argv)
{
    std::vector<char*> args;
    bool quick = false;
    for (int i = 0; i < argc; ++i)
    {
        if (std::strcmp(argv[i], "--quick") == 0)
            quick = true;
        else
            args.push_back(argv[i]);
    }
    static char minTime[] = "--benchmark_min_time=0.02";
    static char repetitions[] = "--benchmark_repetitions=3";
    const bool given = std::any_of(args.begin(), args.end(),
                                   [](const char* a) { return std::strncmp(a, "--benchmark_repetitions", 23) == 0; });
    // Medians over repetitions; a quick run is a smoke test.
    if (quick)
        args.push_back(minTime);
    else if (!given)
        args.push_back(repetitions);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);

    const double gain = DRFN3Internal::OrientationEstimator::Settings().gain;
    std::printf("\n%-54s %12s %10s\n", "figure (median of the repetitions)", "measured", "budget");
    const struct
    {
        const char* figure;
        const char* benchmark;
        const char* counter;
        double budget;
    } rows[] = {
        {"estimator CPU per pod-sample (ns)", "BM_OrientationEstimator", "cpu_ns_per_sample", 500},
        {"estimator allocations per pod-sample", "BM_OrientationEstimator", "allocs_per_sample", 0},
        {"filter + 9 linked pins, process() every frame (ns)", "BM_OrientationFilter/1", "cpu_ns_per_sample", 0},
        {"filter + 9 linked pins, process() every 8 frames (ns)", "BM_OrientationFilter/8", "cpu_ns_per_sample", 0},
        {"filter + 9 linked pins, allocations per sample", "BM_OrientationFilter/1", "allocs_per_sample", 0},
        {"plain complementary CPU per pod-sample (ns)", "BM_PlainComplementary", "cpu_ns_per_sample", 0},
        {"plain complementary allocations per sample", "BM_PlainComplementary", "allocs_per_sample", 0},
    };
    for (const auto& row : rows)
    {
        const double value = collector.median(row.benchmark, row.counter);
        const bool allocs = std::strstr(row.counter, "allocs") != nullptr;
        char budget[16] = "-";
        if (row.budget > 0 || allocs) std::snprintf(budget, sizeof budget, "<= %g", row.budget);
        const bool missed = (row.budget > 0 || allocs) && value > row.budget;
        std::printf("%-54s %12.4g %10s%s\n", row.figure, value, budget, missed ? "  MISSED" : "");
    }
    std::printf("gain %g (both filters), 200 Hz samples\n", gain);
    benchmark::Shutdown();
    return 0;
}

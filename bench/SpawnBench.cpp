// What a run through CommandRunner costs beyond the bare work of starting a process, and
// how close 120 concurrent commands come to the ideal under the bound of twelve.
#include <cstdio>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include "system/CommandRunner.hpp"
#include "system/ConcurrencyGuard.hpp"

namespace {

constexpr int kSpawns = 2000;
constexpr int kBoundCommands = 120;
constexpr double kBoundSleep = 0.2;

// The peer: what any runner must do at least. A new process group, two pipes read to
// their end, waitpid.
void spawnBare(const char* executable) {
    int output[2];
    int error[2];
    if (::pipe2(output, O_CLOEXEC) != 0 || ::pipe2(error, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, output[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, error[1], STDERR_FILENO);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    char* argv[] = {const_cast<char*>(executable), nullptr};
    char* envp[] = {nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, executable, &actions, &attributes, argv, envp) != 0) std::abort();
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    ::close(output[1]);
    ::close(error[1]);

    pollfd fds[2] = {{output[0], POLLIN, 0}, {error[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        ::poll(fds, 2, -1);
        for (auto& fd : fds) {
            if (fd.fd < 0 || fd.revents == 0) continue;
            if (::read(fd.fd, buffer, sizeof buffer) <= 0) {
                ::close(fd.fd);
                fd.fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    ::waitpid(pid, &status, 0);
}

void bare(benchmark::State& state) {
    for (auto _ : state) spawnBare("/bin/true");
}

void runner(benchmark::State& state) {
    vt::CommandRunner& runner = vt::CommandRunner::shared();
    vt::CommandRequest request;
    request.command = "/bin/true";
    for (auto _ : state) benchmark::DoNotOptimize(runner.execute(request));
}

void bound(benchmark::State& state) {
    vt::CommandRunner& runner = vt::CommandRunner::shared();
    vt::CommandRequest request;
    request.command = "/bin/sleep";
    request.arguments = {std::to_string(kBoundSleep)};
    for (auto _ : state) {
        std::vector<std::jthread> callers;
        for (int i = 0; i < kBoundCommands; ++i) callers.emplace_back([&] { runner.execute(request); });
    }
}

// Prints the table as usual and keeps the median of each benchmark for the ratios.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const auto& run : runs) {
            if (run.aggregate_name != "median") continue;
            medians[run.run_name.function_name] =
                run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
        }
    }
    std::map<std::string, double> medians;  // seconds
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::RegisterBenchmark("spawn/runner", runner)->Iterations(kSpawns)->Repetitions(5)->UseRealTime()
        ->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("spawn/posix_spawn", bare)->Iterations(kSpawns)->Repetitions(5)->UseRealTime()
        ->ReportAggregatesOnly(true)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("spawn-bound/runner", bound)->Iterations(1)->Repetitions(3)->UseRealTime()
        ->ReportAggregatesOnly(true)->Unit(benchmark::kSecond);
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& medians = reporter.medians;
    if (medians.count("spawn/runner") != 0 && medians.count("spawn/posix_spawn") != 0) {
        std::printf("spawn: %d runs of /bin/true, median per run %.1f us through CommandRunner, %.1f us bare\n",
                    kSpawns, medians["spawn/runner"] * 1e6, medians["spawn/posix_spawn"] * 1e6);
        std::printf("spawn overhead ratio runner/posix_spawn: %.2f\n",
                    medians["spawn/runner"] / medians["spawn/posix_spawn"]);
    }
    if (medians.count("spawn-bound/runner") != 0) {
        const double ideal = (kBoundCommands / vt::ConcurrencyGuard::kMaxConcurrentJobs) * kBoundSleep;
        std::printf("spawn-bound: %d x sleep %.1f under %d slots; %.3f s measured, %.1f s ideal\n", kBoundCommands,
                    kBoundSleep, vt::ConcurrencyGuard::kMaxConcurrentJobs, medians["spawn-bound/runner"], ideal);
        std::printf("spawn-bound ratio measured/ideal: %.2f\n", medians["spawn-bound/runner"] / ideal);
    }
    return 0;
}

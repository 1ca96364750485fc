// Starts the client and a minimal widgets program over and over, in turns, and takes for each
// start the time from spawning the process to its window being painted, and the process's peak
// resident memory. Both programs are built beside this one.

#include "bench/childprocess.h"

#include <benchmark/benchmark.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Start
{
    bool ok = false;
    double secondsToShown = 0;
    long peakKiB = 0;
};

long long monotonicNanoseconds()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

std::string besideThisProgram(const char *name)
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return name;
    std::string path(self, size_t(length));
    return path.substr(0, path.rfind('/') + 1) + name;
}

Start startOnce(const std::string &program)
{
    Start start;
    char *argv[] = {const_cast<char *>(program.c_str()), nullptr};
    int output = -1;
    const long long spawned = monotonicNanoseconds();
    const pid_t pid = spawnWithOutputPipe(argv, &output);
    if (!pid)
        return start;

    // A program that never paints its window is stopped after ten seconds rather than waited
    // for; the start then counts as failed.
    std::string text;
    char buffer[64];
    pollfd readable{output, POLLIN, 0};
    for (;;) {
        if (poll(&readable, 1, 10000) <= 0) {
            kill(pid, SIGKILL);
            break;
        }
        const ssize_t got = read(output, buffer, sizeof buffer);
        if (got <= 0)
            break;
        text.append(buffer, size_t(got));
    }
    close(output);

    int status = 0;
    rusage usage{};
    if (wait4(pid, &status, 0, &usage) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0)
        return start;
    const long long shown = std::atoll(text.c_str());
    if (shown <= spawned)
        return start;

    start.ok = true;
    start.secondsToShown = double(shown - spawned) / 1e9;
    start.peakKiB = usage.ru_maxrss;
    return start;
}

void startProgram(benchmark::State &state, const char *name)
{
    const std::string program = besideThisProgram(name);
    double peakKiB = 0;
    for (auto _ : state) {
        const Start start = startOnce(program);
        if (!start.ok) {
            state.SkipWithError("the program did not start, show its window and exit cleanly");
            return;
        }
        state.SetIterationTime(start.secondsToShown);
        peakKiB += double(start.peakKiB);
    }
    state.counters["peak_rss_kib"] =
        benchmark::Counter(peakKiB, benchmark::Counter::kAvgIterations);
}

const bool registered = [] {
    benchmark::RegisterBenchmark("startup/celvane", startProgram, "celvane-startup")
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("startup/minimal", startProgram, "minimal-startup")
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("startup/text", startProgram, "text-startup")
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
    return true;
}();

} // namespace

BENCHMARK_MAIN();

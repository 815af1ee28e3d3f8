// The process queries of a launch over the whole process list, beside the plainest walk of the
// same list (each /proc entry's stat read once), so that scripts/bench can print the ratio.
#include "launcher/process_inspection.hpp"
#include "platform/platform.hpp"

#include <benchmark/benchmark.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace {

// An image no process runs from, under the name the launcher asks about: every entry is looked at.
const std::u16string absent_image = u"\\nonexistent\\KestrinPadFree\\kestrin_pad.exe";

void is_image_running_absent(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(kp::is_image_running(absent_image));
}

void parent_image_path(benchmark::State& state) {
    for (auto _ : state)
        benchmark::DoNotOptimize(kp::parent_image_path());
}

void baseline_proc_stat_walk(benchmark::State& state) {
    char buffer[1024];
    for (auto _ : state) {
        DIR* proc = ::opendir("/proc");
        std::size_t bytes = 0;
        while (const dirent* item = ::readdir(proc)) {
            if (item->d_name[0] < '1' || item->d_name[0] > '9')
                continue;
            const std::string stat = std::string("/proc/") + item->d_name + "/stat";
            const int fd = ::open(stat.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0)
                continue;
            const ssize_t n = ::read(fd, buffer, sizeof buffer);
            bytes += n > 0 ? static_cast<std::size_t>(n) : 0;
            ::close(fd);
        }
        ::closedir(proc);
        benchmark::DoNotOptimize(bytes);
    }
}

} // namespace

BENCHMARK(is_image_running_absent)->Unit(benchmark::kMillisecond);
BENCHMARK(parent_image_path)->Unit(benchmark::kMillisecond);
BENCHMARK(baseline_proc_stat_walk)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();

// Time to decide whether a host image carries a tool package, as the tool refresh does it: open
// the image, ask its size, read the trailer in front of any certificate table, close. Each
// argument after the benchmark flags is LABEL=PATH and becomes one benchmark.
#include "common/text.hpp"
#include "tools/tool_package_format.hpp"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

std::u16string system_form(const std::string& path) {
    std::u16string text = kp::utf8_to_utf16(path);
    std::replace(text.begin(), text.end(), u'/', u'\\');
    return text;
}

void decide(benchmark::State& state, const std::u16string& path) {
    std::int64_t found = 0;
    for (auto _ : state) {
        const kp::FileHandle file = kp::sys::open_file_for_reading(path);
        std::uint64_t size = 0;
        if (!file || !kp::sys::file_size(file, size)) {
            state.SkipWithError("cannot open the image");
            return;
        }
        const auto trailer = kp::read_tool_package_trailer(file, size);
        benchmark::DoNotOptimize(trailer);
        found += trailer.has_value() ? 1 : 0;
    }
    // Every iteration must have reached the same decision.
    state.SetLabel(found == state.iterations() ? "package found"
                   : found == 0                ? "no package"
                                               : "inconsistent");
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        const auto equals = argument.find('=');
        if (equals == std::string::npos) {
            std::fprintf(stderr, "tool_package_lookup: expected LABEL=PATH, got %s\n", argv[i]);
            return 2;
        }
        const std::u16string path = system_form(argument.substr(equals + 1));
        benchmark::RegisterBenchmark(argument.substr(0, equals).c_str(),
                                     [path](benchmark::State& state) { decide(state, path); });
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// expandFiles on a large folder, by its name and by a pattern, against a readdir loop plus a
// sort of the names. CONVLIB_BENCH_FILES sets the folder's size (default 100,000).
#include "bench/BenchSupport.hpp"
#include "convlib/BasicConverterDefs.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

struct Folder {
    Bench::ScratchFolder Scratch;
    std::size_t Count = Bench::sizeFromEnvironment("CONVLIB_BENCH_FILES", 100000);

    Folder() {
        for (std::size_t i = 0; i < Count; ++i)
            ::close(::open(Scratch.file("f" + std::to_string(i) + ".dat").c_str(),
                           O_CREAT | O_WRONLY, 0644));
    }
    std::string prefix() const { return Scratch.path() + "/"; }
};

const Folder& folder() {
    static const Folder instance;
    return instance;
}

// What any program does to list a folder in order: read the names, then sort them.
std::vector<std::string> readdirSorted(const std::string& prefix, const char* pattern) {
    std::vector<std::string> names;
    DIR* dir = ::opendir(prefix.c_str());
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
        if (pattern && ::fnmatch(pattern, entry->d_name, FNM_PERIOD) != 0) continue;
        names.push_back(prefix + entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

void compareExpansion(benchmark::State& state, const std::string& name, const char* pattern) {
    const std::string prefix = folder().prefix();
    Bench::compare(
        state, 1.25,
        [&] {
            auto expanded = ConvLib::BasicConverterDefs::expandFiles({name});
            if (expanded.second.size() != folder().Count) state.SkipWithError("files missing");
        },
        [&] { benchmark::DoNotOptimize(readdirSorted(prefix, pattern)); });
}

void BM_ExpandFolder(benchmark::State& state) {
    compareExpansion(state, folder().prefix(), nullptr);
}

void BM_ExpandPattern(benchmark::State& state) {
    compareExpansion(state, folder().prefix() + "*.dat", "*.dat");
}

BENCHMARK(BM_ExpandFolder)->Iterations(7)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ExpandPattern)->Iterations(7)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

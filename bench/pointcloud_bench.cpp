// Point clouds in text: loading against a bare std::from_chars loop over the same bytes in memory,
// a batch of loads in reused memory against new memory for each file, and the peak memory of a
// whole conversion (load, add Height, save through MyStorage) against the size of its arrays.
// CONVLIB_BENCH_POINTS sets the cloud's size (default 1,000,000).
#include "bench/BenchSupport.hpp"
#include "convlib/BasicConverterDefs.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <charconv>
#include <fstream>
#include <limits>
#include <sstream>

namespace {

// x, y, z and one value per point, with the digits a scanner writes.
std::string cloudText(std::size_t points, char separator, bool header) {
    std::string text = header ? "x,y,z,Intensity\n" : "";
    text.reserve(points * 40);
    std::uint64_t state = 42;
    const auto next = [&state](double scale) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        return static_cast<double>(state >> 11) * 0x1.0p-53 * scale;
    };
    char number[32];
    for (std::size_t i = 0; i < points; ++i) {
        const double values[] = {next(1000.0), next(1000.0), next(100.0), next(1.0)};
        for (std::size_t v = 0; v < 4; ++v) {
            auto end = std::to_chars(number, number + sizeof number, values[v],
                                     std::chars_format::fixed, v == 3 ? 4 : 3);
            text.append(number, end.ptr).push_back(v == 3 ? '\n' : separator);
        }
    }
    return text;
}

struct Cloud {
    std::string Name;
    std::string Text;
};

struct Clouds {
    Bench::ScratchFolder Scratch;
    std::size_t Points = Bench::sizeFromEnvironment("CONVLIB_BENCH_POINTS", 1000000);
    Cloud Xyz{Scratch.file("cloud.xyz"), cloudText(Points, ' ', false)};
    Cloud Csv{Scratch.file("cloud.csv"), cloudText(Points, ',', true)};

    Clouds() {
        for (const Cloud* cloud : {&Xyz, &Csv})
            std::ofstream(cloud->Name, std::ios::binary) << cloud->Text;
    }
};

Clouds& clouds() {
    static Clouds instance;
    return instance;
}

// The least any parser must do: find each number and convert it.
double sumOfNumbers(const std::string& text) {
    const char* cursor = text.data() + (text.front() == 'x' ? text.find('\n') : 0);
    const char* const end = text.data() + text.size();
    double sum = 0;
    while (cursor < end) {
        if (*cursor == ' ' || *cursor == ',' || *cursor == '\n') {
            ++cursor;
            continue;
        }
        double value = 0;
        cursor = std::from_chars(cursor, end, value).ptr;
        sum += value;
    }
    return sum;
}

Plexa::BundlePtr loaded(const std::string& file, bool& success) {
    Quorix::StrongPtr<Quorix::LoaderParameters> files(new Quorix::LoaderParameters(file));
    return Plexa::Bundle::load(success, files, Plexa::BundlePtr());
}

void loadOrSkip(benchmark::State& state, const Cloud& cloud) {
    bool success = false;
    Plexa::BundlePtr bundle = loaded(cloud.Name, success);
    if (!success) state.SkipWithError(bundle->lastError().c_str());
}

void compareLoading(benchmark::State& state, const Cloud& cloud) {
    Bench::compare(
        state, 1.0, // at least the bare loop's throughput, on every core
        [&] { loadOrSkip(state, cloud); },
        [&] { benchmark::DoNotOptimize(sumOfNumbers(cloud.Text)); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cloud.Text.size()));
}

long pageFaults() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

// A batch of files, each bundle released before the next load: the blocks of one file's arrays
// serve the next, against the same loads with every file's arrays in new memory. The row compares
// page faults per file, which the machine's load does not blur; the time's ratio is a counter.
void BM_LoadBatch(benchmark::State& state) {
    constexpr int Files = 3;
    long faults[2] = {0, 0}; // new memory, reused
    const auto batch = [&](bool reuse) {
        return [&, reuse] {
            const long before = pageFaults();
            for (int file = 0; file < Files; ++file) {
                if (!reuse) Plexa::detail::dropKeptArrays();
                loadOrSkip(state, clouds().Xyz);
            }
            faults[reuse] += pageFaults() - before;
        };
    };
    Bench::compare(state, 1.0, batch(true), batch(false));
    state.counters["time_ratio"] = state.counters["ratio"];
    const double loads = static_cast<double>(state.iterations() * Files);
    Bench::report(state, static_cast<double>(faults[true]) / loads,
                  static_cast<double>(faults[false]) / loads, 0.1, "faults");
}

// qz-pointcloud's work on one text cloud, as a converter does it.
class HeightConverter : public ConvLib::BasicConverterDefs {
public:
    HeightConverter(const std::string& input, const std::string& output) {
        ConverterName = "bench";
        InFiles = Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList{input});
        OutFile = output;
        myStorage =
            Quorix::StrongPtr<ConvLib::MyStorage>(new ConvLib::MyStorage(6, false, false, false));
    }

    // The bytes of all arrays, once Height is added; zero on failure.
    std::size_t arrayBytes = 0;
    std::size_t peakBeforeSave = 0;

    bool convert() override {
        if (!loadFilesIntoBundle(ReadPointCloud)) return false;
        for (const auto& [time, slice] : myBundle->slices())
            for (const auto& [name, grid] : slice->grids())
                addHeight(*grid);
        peakBeforeSave = Bench::memoryStatus("VmHWM");
        return myBundle->save().Ok;
    }

private:
    void addHeight(Plexa::Grid& grid) {
        Bench::addHeight(grid);
        for (const auto& [name, field] : grid.fields())
            arrayBytes += field.Data->byteSize();
    }
};

constexpr const char* PeakChildFlag = "--convert-for-peak";

// Runs in a fresh process, so that no memory freed earlier by the benchmarks lends itself to the
// conversion; writes to the pipe its resident size before the work, the arrays' bytes, and its
// peak before the save and at the end.
int convertForPeak(const std::string& cloud, int pipe) {
    const int quiet = ::open("/dev/null", O_WRONLY);
    ::dup2(quiet, STDOUT_FILENO); // the converter's run summary
    const std::size_t before = Bench::memoryStatus("VmRSS");
    std::size_t arrayBytes = 0;
    std::size_t beforeSave = 0;
    {
        HeightConverter converter(cloud, cloud + ".qz");
        if (converter.convert()) arrayBytes = converter.arrayBytes;
        beforeSave = converter.peakBeforeSave;
    }
    const std::string report = std::to_string(before) + " " + std::to_string(arrayBytes) + " " +
                               std::to_string(beforeSave) + " " +
                               std::to_string(Bench::memoryStatus("VmHWM"));
    return ::write(pipe, report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0
                                                                                              : 1;
}

std::string readAll(int descriptor) {
    std::string text;
    char buffer[256];
    for (ssize_t got; (got = ::read(descriptor, buffer, sizeof buffer)) > 0;)
        text.append(buffer, static_cast<std::size_t>(got));
    return text;
}

void comparePeakMemory(benchmark::State& state, const Cloud& cloud) {
    double peakMiB = 0, arrayMiB = 0, loadMiB = 0;
    for (auto _ : state) {
        int ends[2];
        if (::pipe(ends) != 0) return state.SkipWithError("no pipe");
        const pid_t child = ::fork();
        if (child == 0) {
            ::close(ends[0]);
            ::execl("/proc/self/exe", "pointcloud_bench", PeakChildFlag, cloud.Name.c_str(),
                    std::to_string(ends[1]).c_str(), nullptr);
            ::_exit(127);
        }
        ::close(ends[1]);
        const std::string report = readAll(ends[0]);
        ::close(ends[0]);
        int status = 0;
        ::waitpid(child, &status, 0);
        std::size_t before = 0, arrayBytes = 0, beforeSave = 0, peak = 0;
        std::istringstream(report) >> before >> arrayBytes >> beforeSave >> peak;
        if (status != 0 || arrayBytes == 0) return state.SkipWithError("the conversion failed");
        peakMiB = static_cast<double>(peak - before) / (1 << 20);
        arrayMiB = static_cast<double>(arrayBytes) / (1 << 20);
        loadMiB = static_cast<double>(beforeSave - before) / (1 << 20);
    }
    Bench::report(state, peakMiB, arrayMiB, 1.3, "MiB");
    state.counters["load_ratio"] = loadMiB / arrayMiB; // before the save, for information
}

void BM_LoadXyz(benchmark::State& state) {
    compareLoading(state, clouds().Xyz);
}
void BM_LoadCsv(benchmark::State& state) {
    compareLoading(state, clouds().Csv);
}
void BM_PeakMemoryXyz(benchmark::State& state) {
    comparePeakMemory(state, clouds().Xyz);
}
void BM_PeakMemoryCsv(benchmark::State& state) {
    comparePeakMemory(state, clouds().Csv);
}

BENCHMARK(BM_LoadXyz)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadCsv)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_LoadBatch)->Iterations(5)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemoryXyz)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PeakMemoryCsv)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::string(argv[1]) == PeakChildFlag)
        return convertForPeak(argv[2], std::atoi(argv[3]));
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

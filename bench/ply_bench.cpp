// Binary PLY clouds: loading through Bundle::load against a bare loop that decodes the same
// records from bytes already in memory into arrays made once, in both byte orders; and the peak
// memory of both. CONVLIB_BENCH_POINTS sets the cloud's size (default 1,000,000).
#include "bench/BenchSupport.hpp"
#include "outside/Plexa.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <vector>

namespace {

// A scanner's point: float x, y, z, uchar red, green, blue, ushort intensity.
constexpr std::size_t RecordBytes = 3 * 4 + 3 + 2;

template <class T> void appendValue(std::string& bytes, T value, bool bigEndian) {
    char raw[sizeof(T)];
    std::memcpy(raw, &value, sizeof(T));
    if (bigEndian) std::reverse(raw, raw + sizeof(T));
    bytes.append(raw, sizeof(T));
}

struct Cloud {
    std::string Name;
    bool BigEndian;
    std::size_t Points;
    std::string Bytes;
    std::size_t BodyStart = 0;

    Cloud(std::string name, bool bigEndian, std::size_t points)
        : Name(std::move(name)), BigEndian(bigEndian), Points(points) {
        Bytes = "ply\nformat binary_" + std::string(bigEndian ? "big" : "little") +
                "_endian 1.0\nelement vertex " + std::to_string(points) +
                "\nproperty float x\nproperty float y\nproperty float z\nproperty uchar red\n"
                "property uchar green\nproperty uchar blue\nproperty ushort intensity\n"
                "end_header\n";
        BodyStart = Bytes.size();
        Bytes.reserve(BodyStart + points * RecordBytes);
        std::uint64_t state = 42;
        for (std::size_t i = 0; i < points; ++i) {
            state = state * 6364136223846793005ULL + 1442695040888963407ULL;
            for (float scale : {1000.0f, 1000.0f, 100.0f})
                appendValue(Bytes, static_cast<float>(state >> 40) * 0x1.0p-24f * scale, bigEndian);
            for (int shift : {8, 16, 24})
                appendValue(Bytes, static_cast<std::uint8_t>(state >> shift), bigEndian);
            appendValue(Bytes, static_cast<std::uint16_t>(state >> 32), bigEndian);
        }
        std::ofstream(Name, std::ios::binary) << Bytes;
    }
};

struct Clouds {
    Bench::ScratchFolder Scratch;
    std::size_t Points = Bench::sizeFromEnvironment("CONVLIB_BENCH_POINTS", 1000000);
    Cloud Little{Scratch.file("little.ply"), false, Points};
    Cloud Big{Scratch.file("big.ply"), true, Points};
};

Clouds& clouds() {
    static Clouds instance;
    return instance;
}

template <class T, bool Swap> T valueAt(const char* bytes) {
    char raw[sizeof(T)];
    std::memcpy(raw, bytes, sizeof(T));
    if (Swap) std::reverse(raw, raw + sizeof(T));
    T value;
    std::memcpy(&value, raw, sizeof(T));
    return value;
}

// The least any reader must do: decode every record into arrays of the cloud's size.
struct Decoded {
    explicit Decoded(std::size_t points)
        : Positions(3 * points), Red(points), Green(points), Blue(points), Intensity(points) {}
    std::vector<double> Positions;
    std::vector<std::uint8_t> Red, Green, Blue;
    std::vector<std::uint16_t> Intensity;
};

template <bool Swap> Decoded decodeInMemory(const Cloud& cloud) {
    Decoded decoded(cloud.Points);
    const char* record = cloud.Bytes.data() + cloud.BodyStart;
    for (std::size_t i = 0; i < cloud.Points; ++i, record += RecordBytes) {
        for (std::size_t axis = 0; axis < 3; ++axis)
            decoded.Positions[3 * i + axis] = valueAt<float, Swap>(record + 4 * axis);
        decoded.Red[i] = valueAt<std::uint8_t, Swap>(record + 12);
        decoded.Green[i] = valueAt<std::uint8_t, Swap>(record + 13);
        decoded.Blue[i] = valueAt<std::uint8_t, Swap>(record + 14);
        decoded.Intensity[i] = valueAt<std::uint16_t, Swap>(record + 15);
    }
    return decoded;
}

auto loading(benchmark::State& state, const Cloud& cloud) {
    return [&state, &cloud] {
        bool success = false;
        Quorix::StrongPtr<Quorix::LoaderParameters> files(new Quorix::LoaderParameters(cloud.Name));
        Plexa::BundlePtr bundle = Plexa::Bundle::load(success, files, Plexa::BundlePtr());
        if (!success) state.SkipWithError(bundle->lastError().c_str());
    };
}

auto bareDecoding(const Cloud& cloud) {
    return [&cloud] {
        const Decoded decoded =
            cloud.BigEndian ? decodeInMemory<true>(cloud) : decodeInMemory<false>(cloud);
        benchmark::DoNotOptimize(decoded.Positions.data());
    };
}

using CloudOf = Cloud Clouds::*;

void compareLoading(benchmark::State& state, CloudOf which) {
    const Cloud& cloud = clouds().*which;
    Bench::compare(state, 2.0, loading(state, cloud), bareDecoding(cloud));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cloud.Bytes.size()));
}

// Arrays made once in their final size: little beyond what the bare loop holds.
void comparePeakMemory(benchmark::State& state, CloudOf which) {
    const Cloud& cloud = clouds().*which;
    Bench::Best ours, baseline;
    auto load = loading(state, cloud);
    auto decode = bareDecoding(cloud);
    for (auto _ : state) {
        baseline.measure(decode);
        ours.measure(load);
    }
    Bench::report(state, ours.PeakMiB, baseline.PeakMiB, 1.25, "MiB");
}

// Named functions rather than captures: scripts/bench.sh names a row by the part before any '/'.
void BM_LoadPlyLittleEndian(benchmark::State& state) {
    compareLoading(state, &Clouds::Little);
}
void BM_LoadPlyBigEndian(benchmark::State& state) {
    compareLoading(state, &Clouds::Big);
}
void BM_PeakMemoryPly(benchmark::State& state) {
    comparePeakMemory(state, &Clouds::Little);
}

IO_BENCHMARK(BM_LoadPlyLittleEndian);
IO_BENCHMARK(BM_LoadPlyBigEndian);
BENCHMARK(BM_PeakMemoryPly)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "Binary PLY loading against a bare decoding loop over the same bytes in "
                      "memory (" +
                          std::to_string(clouds().Points) + " points)");
}

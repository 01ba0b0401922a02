// LAS clouds: loading through Bundle::load against a bare loop that decodes the same records from
// bytes already in memory into arrays of the same fields, and the peak memory of a load against
// the size of its arrays. CONVLIB_BENCH_POINTS sets the cloud's size (default 1,000,000).
#include "bench/BenchSupport.hpp"
#include "outside/Plexa.hpp"
#include "tests/support/LasWriter.hpp"

#include <fstream>

namespace {

// LAS 1.2, point format 3 (34-byte records), as airborne surveys write it.
std::string surveyBytes(std::size_t points) {
    ConvLibTest::LasWriter writer;
    writer.Format = 3;
    writer.Offset = {500000, 5000000, 0};
    writer.Points.resize(points);
    std::uint64_t state = 42;
    for (ConvLibTest::LasPoint& point : writer.Points) {
        state = state * 6364136223846793005ULL + 1442695040888963407ULL;
        const auto bits = static_cast<std::uint32_t>(state >> 32);
        point.Xyz = {static_cast<std::int32_t>(bits % 100000),
                     static_cast<std::int32_t>(bits / 100000 % 100000),
                     static_cast<std::int32_t>(bits % 4000)};
        point.Intensity = static_cast<std::uint16_t>(bits);
        point.ReturnNumber = 1 + bits % 3;
        point.NumberOfReturns = 3;
        point.Classification = static_cast<std::uint8_t>(bits % 19);
        point.GpsTime = 300000.0 + static_cast<double>(bits) * 1e-6;
        point.Colour = {static_cast<std::uint16_t>(bits), static_cast<std::uint16_t>(bits >> 3),
                        static_cast<std::uint16_t>(bits >> 7), 0};
    }
    return writer.bytes();
}

struct Survey {
    Bench::ScratchFolder Scratch;
    std::size_t Points = Bench::sizeFromEnvironment("CONVLIB_BENCH_POINTS", 1000000);
    std::string File = Scratch.file("survey.las");
    std::string Bytes = surveyBytes(Points);

    Survey() { std::ofstream(File, std::ios::binary) << Bytes; }
};

Survey& survey() {
    static Survey instance;
    return instance;
}

template <class T> T le(const std::uint8_t* bytes) {
    T value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

// The fields the reader makes of format 3, decoded the plainest way.
struct BareCloud {
    std::vector<double> Positions, GpsTime;
    std::vector<std::uint16_t> Intensity, PointSourceId, Red, Green, Blue;
    std::vector<std::uint8_t> ReturnNumber, NumberOfReturns, ScanDirectionFlag, EdgeOfFlightLine,
        Classification, Synthetic, KeyPoint, Withheld, UserData;
    std::vector<std::int8_t> ScanAngleRank;

    explicit BareCloud(std::size_t n)
        : Positions(3 * n), GpsTime(n), Intensity(n), PointSourceId(n), Red(n), Green(n), Blue(n),
          ReturnNumber(n), NumberOfReturns(n), ScanDirectionFlag(n), EdgeOfFlightLine(n),
          Classification(n), Synthetic(n), KeyPoint(n), Withheld(n), UserData(n), ScanAngleRank(n) {
    }
};

BareCloud decodeBare(const std::string& file) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(file.data());
    const std::size_t points = le<std::uint32_t>(bytes + 107);
    const std::size_t length = le<std::uint16_t>(bytes + 105);
    const double* scale = reinterpret_cast<const double*>(bytes + 131);
    const double* offset = reinterpret_cast<const double*>(bytes + 155);
    BareCloud cloud(points);
    const std::uint8_t* record = bytes + le<std::uint32_t>(bytes + 96);
    for (std::size_t i = 0; i < points; ++i, record += length) {
        for (std::size_t axis = 0; axis < 3; ++axis)
            cloud.Positions[3 * i + axis] =
                le<std::int32_t>(record + 4 * axis) * scale[axis] + offset[axis];
        cloud.Intensity[i] = le<std::uint16_t>(record + 12);
        cloud.ReturnNumber[i] = record[14] & 7;
        cloud.NumberOfReturns[i] = record[14] >> 3 & 7;
        cloud.ScanDirectionFlag[i] = record[14] >> 6 & 1;
        cloud.EdgeOfFlightLine[i] = record[14] >> 7;
        cloud.Classification[i] = record[15] & 31;
        cloud.Synthetic[i] = record[15] >> 5 & 1;
        cloud.KeyPoint[i] = record[15] >> 6 & 1;
        cloud.Withheld[i] = record[15] >> 7;
        cloud.ScanAngleRank[i] = static_cast<std::int8_t>(record[16]);
        cloud.UserData[i] = record[17];
        cloud.PointSourceId[i] = le<std::uint16_t>(record + 18);
        cloud.GpsTime[i] = le<double>(record + 20);
        cloud.Red[i] = le<std::uint16_t>(record + 28);
        cloud.Green[i] = le<std::uint16_t>(record + 30);
        cloud.Blue[i] = le<std::uint16_t>(record + 32);
    }
    return cloud;
}

void BM_LoadLas(benchmark::State& state) {
    const Survey& cloud = survey();
    Bench::compare(
        state, 2.0, // at least half the bare loop's throughput, reading the file included
        [&] { benchmark::DoNotOptimize(Bench::loadFile(cloud.File, state)); },
        [&] { benchmark::DoNotOptimize(decodeBare(cloud.Bytes)); });
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * cloud.Bytes.size()));
}

// A load holds its arrays and one block of records at a time, never the whole file.
void BM_LasLoadPeakMemory(benchmark::State& state) {
    Bench::reportLoadPeakMemory(state, survey().File, 1.2);
}

IO_BENCHMARK(BM_LoadLas);
BENCHMARK(BM_LasLoadPeakMemory)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    return Bench::run(argc, argv,
                      "LAS loading: " + std::to_string(survey().Points) +
                          " points of format 3 (34-byte records)");
}

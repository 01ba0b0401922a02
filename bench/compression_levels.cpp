// File size and save time at every deflate level from 1 to 9, to choose the converters' default
// level: a generated LiDAR-like survey (flight lines over terrain, buildings and trees,
// coordinates in the hundreds of thousands at 0.01, scanner attributes), and any .csv, .xyz or
// .qz cloud named on the command line. Each cloud gets its Height field, as qz-pointcloud adds
// it; the fastest of three saves counts. CONVLIB_BENCH_POINTS sets the survey's size (default
// 2,000,000); PLEXA_BENCH_DIR the folder.
// Usage: compression_levels [cloud ...]
#include "bench/BenchSupport.hpp"
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"

#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::size_t PointsPerLine = 2000; // across one scan line, zigzag, 0.3 apart

enum Column {
    Intensity,
    ReturnNumber,
    Classification,
    ScanAngle,
    PointSource,
    GpsTime,
    Red,
    Green,
    Blue,
    Columns
};
const char* const ColumnNames[Columns] = {"Intensity", "ReturnNumber",  "Classification",
                                          "ScanAngle", "PointSourceId", "GpsTime",
                                          "Red",       "Green",         "Blue"};

double hundredths(double value) {
    return std::round(value * 100) / 100;
}

struct Survey {
    Plexa::MemArrayPtr<double> Positions;
    std::vector<Plexa::MemArrayPtr<double>> Attributes;
};

// One point of the survey: ground, a roof (class 6) or a tree (class 5), with what a scanner
// records about it.
void surveyPoint(std::size_t i, std::mt19937_64& random, Survey& survey) {
    std::normal_distribution<double> noise(0, 1);
    std::uniform_real_distribution<double> unit(0, 1);
    const std::size_t line = i / PointsPerLine;
    std::size_t across = i % PointsPerLine;
    if (line % 2) across = PointsPerLine - 1 - across;
    const double x = 637000 + across * 0.3 + (unit(random) - 0.5) * 0.1;
    const double y = 849000 + line * 0.35 + (unit(random) - 0.5) * 0.1;
    const bool roof = (static_cast<long>(x / 40) + static_cast<long>(y / 40)) % 9 == 0;
    const bool tree = !roof && unit(random) < 0.2;
    double z = 400 + 30 * std::sin(x / 200) + 20 * std::cos(y / 150) + 0.03 * noise(random);
    if (roof) z += 12 + 0.2 * (std::fmod(x, 40) - 20);
    if (tree) z += 18 * unit(random);
    const int kind = roof ? 6 : tree ? 5 : 2;
    const double brightness = kind == 6 ? 160.0 : kind == 5 ? 40.0 : 90.0;
    const double shade[3][3] = {{21000, 19000, 15000}, {9000, 20000, 8000}, {30000, 28000, 27000}};
    const double* rgb = shade[kind == 2 ? 0 : kind == 5 ? 1 : 2];
    const double values[Columns] = {
        std::max(0.0, std::round(brightness + 12 * noise(random))),
        tree ? std::floor(1 + 3 * unit(random)) : 1,
        static_cast<double>(kind),
        std::round((static_cast<double>(across) - PointsPerLine / 2.0) * 20 / PointsPerLine),
        static_cast<double>(1 + line / 200),
        245000 + static_cast<double>(i) * 1e-5,
        std::round(std::clamp(rgb[0] + 1500 * noise(random), 0.0, 65535.0)),
        std::round(std::clamp(rgb[1] + 1500 * noise(random), 0.0, 65535.0)),
        std::round(std::clamp(rgb[2] + 1500 * noise(random), 0.0, 65535.0)),
    };
    double* position = survey.Positions->data() + 3 * i;
    position[0] = hundredths(x);
    position[1] = hundredths(y);
    position[2] = hundredths(z);
    for (int c = 0; c < Columns; ++c)
        survey.Attributes[c]->data()[i] = values[c];
}

Plexa::BundlePtr generatedSurvey(std::size_t points) {
    Survey survey{Plexa::makeArray<double>(points, 3), {}};
    for (int c = 0; c < Columns; ++c)
        survey.Attributes.push_back(Plexa::makeArray<double>(points));
    std::mt19937_64 random(7);
    for (std::size_t i = 0; i < points; ++i)
        surveyPoint(i, random, survey);
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    Plexa::GridPtr grid = bundle->addSlice(0)->addGrid("survey");
    grid->addField("Positions", survey.Positions);
    for (int c = 0; c < Columns; ++c)
        grid->addField(ColumnNames[c], survey.Attributes[c]);
    return bundle;
}

// Height above the lowest point, as qz-pointcloud adds it, for every grid with positions.
void addHeights(Plexa::Bundle& bundle) {
    for (const auto& [time, slice] : bundle.slices())
        for (const auto& [name, grid] : slice->grids()) {
            const Plexa::Field* positions = grid->findField("Positions");
            if (!positions || positions->Data->elementType() != typeid(double)) continue;
            const auto* xyz = static_cast<const double*>(positions->Data->rawData());
            const std::size_t points = positions->Data->size();
            auto heights = Plexa::makeArray<float>(points);
            double lowest = INFINITY;
            for (std::size_t i = 0; i < points; ++i)
                lowest = std::min(lowest, xyz[3 * i + 2]);
            for (std::size_t i = 0; i < points; ++i)
                heights->data()[i] = static_cast<float>(xyz[3 * i + 2] - lowest);
            grid->addField("Height", heights);
        }
}

Plexa::BundlePtr loadedCloud(const std::string& name) {
    bool success = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        success, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(name)),
        Plexa::BundlePtr());
    if (!success) std::fprintf(stderr, "%s\n", bundle->lastError().c_str());
    return success ? bundle : Plexa::BundlePtr();
}

struct Measured {
    int Level;
    std::size_t Bytes;
    double Seconds;
};

// The converters' storage policy at a level (negative: uncompressed).
Measured measure(const Plexa::Bundle& bundle, const std::string& file, int level) {
    Bench::Best best;
    auto save = [&] {
        Quorix::StrongPtr<ConvLib::MyStorage> storage(
            new ConvLib::MyStorage(level, false, false, false));
        if (level > 0) storage->FilterDefaults.DeflateLevel = level;
        if (!Plexa::writeBundleFile(bundle, file, Plexa::StoragePtr(storage)))
            std::fprintf(stderr, "cannot save %s\n", file.c_str());
    };
    for (int run = 0; run < 3; ++run)
        best.measure(save);
    return {level, Bench::fileBytes(file), best.Seconds};
}

void report(const std::string& what, const Plexa::Bundle& bundle, const std::string& file) {
    const Measured plain = measure(bundle, file, -1);
    std::vector<Measured> levels;
    for (int level = 1; level <= 9; ++level)
        levels.push_back(measure(bundle, file, level));
    const double smallest = static_cast<double>(levels.back().Bytes);
    std::printf("== %s: uncompressed (--compression -1) %zu bytes, saved in %.3f s\n", what.c_str(),
                plain.Bytes, plain.Seconds);
    std::printf("%5s %12s %16s %14s %9s\n", "level", "bytes", "of uncompressed", "level 9 saves",
                "seconds");
    int threshold = 0;
    for (const Measured& m : levels) {
        const double rest = 1 - smallest / static_cast<double>(m.Bytes);
        if (!threshold && rest < 0.02) threshold = m.Level;
        std::printf("%5d %12zu %16.3f %13.1f%% %9.3f\n", m.Level, m.Bytes,
                    static_cast<double>(m.Bytes) / static_cast<double>(plain.Bytes), 100 * rest,
                    m.Seconds);
    }
    std::printf("past level %d, files shrink by less than 2%%\n", threshold);
}

} // namespace

int main(int argc, char** argv) {
    Bench::ScratchFolder folder;
    const std::string file = folder.file("levels.qz");
    const std::size_t points = Bench::sizeFromEnvironment("CONVLIB_BENCH_POINTS", 2000000);
    Plexa::BundlePtr survey = generatedSurvey(points);
    addHeights(*survey);
    report("generated survey of " + std::to_string(points) + " points", *survey, file);
    for (int i = 1; i < argc; ++i)
        if (Plexa::BundlePtr cloud = loadedCloud(argv[i])) {
            addHeights(*cloud);
            report(argv[i], *cloud, file);
        }
    return 0;
}

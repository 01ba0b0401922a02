// qz-netcdf end to end: a folder of netCDF files in, bundles beside them, selections, reruns,
// shards and bad inputs with one message each and no output.
#include "tests/e2e/E2eSupport.hpp"
#include "tests/support/NetcdfWriter.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <sstream>

using namespace ConvLibTest;

namespace {

bool has(const std::string& text, const std::string& piece) {
    return text.find(piece) != std::string::npos;
}

// time (10, 20) x lat (3) x lon (4): t a float, p a short packed with scale 0.5; and h over
// lon alone, a grid of its own.
void writeClimate(const std::string& file, int format) {
    NetcdfWriter nc(file, format);
    const int time = nc.dimension("time", 2);
    const int lat = nc.dimension("lat", 3);
    const int lon = nc.dimension("lon", 4);
    const int times = nc.variable("time", NC_DOUBLE, {time});
    nc.text(times, "units", "hours since 2020-01-01 00:00");
    const int t = nc.variable("t", NC_FLOAT, {time, lat, lon});
    const int p = nc.variable("p", NC_SHORT, {time, lat, lon});
    nc.number<double>(p, "scale_factor", NC_DOUBLE, {0.5});
    const int h = nc.variable("h", NC_INT, {lon});
    nc.endDefinitions();
    nc.values<double>(times, {10, 20});
    std::vector<float> temps(24);
    std::vector<short> packed(24);
    for (int i = 0; i < 24; ++i) {
        temps[i] = 0.25f * static_cast<float>(i);
        packed[i] = static_cast<short>(i);
    }
    nc.values(t, temps);
    nc.values(p, packed);
    nc.values<int>(h, {1, 2, 3, 4});
    nc.close();
}

std::vector<double> timesOf(const std::string& bundleFile) {
    const Plexa::BundlePtr bundle = loadBundle(bundleFile);
    std::vector<double> times;
    for (const auto& [time, slice] : bundle->slices())
        times.push_back(time);
    return times;
}

} // namespace

TEST(NetcdfConverter, ConvertsAFolderAndARerunSkipsWhatIsDone) {
    TempDir dir;
    std::filesystem::create_directory(dir / "in");
    writeClimate(dir / "in/a.nc", 0);
    writeClimate(dir / "in/b.nc4", NC_NETCDF4);
    dir.write("in/cloud.csv", "x,y,z\n0,0,0\n");
    const RunResult first = run(QZ_NETCDF, {"in/"}, dir.path());
    ASSERT_EQ(first.Status, 0) << first.Err;
    EXPECT_TRUE(has(first.Out, "Skipped, not taken by qz-netcdf: in/cloud.csv\n")) << first.Out;
    EXPECT_TRUE(has(first.Out, "in/a.nc -> in/a.qz: grid lat_lon (p, t) at 2 time steps, grid lon "
                               "(h) at 2 time steps\n"))
        << first.Out;

    const Plexa::BundlePtr bundle = loadBundle(dir / "in/b.qz");
    ASSERT_EQ(bundle->slices().size(), 2u);
    const Plexa::GridPtr grid = bundle->findSlice(20)->findGrid("lat_lon");
    ASSERT_TRUE(grid);
    const auto& p = dynamic_cast<const Plexa::MemArray<double>&>(*grid->findField("p")->Data);
    ASSERT_EQ(p.size(), 12u);
    EXPECT_EQ(p(11), 11.5) << "step 2 unpacked: (12 + 11) * 0.5";
    const Names provenance = textsOf(*grid, "Kestrelon::Provenience");
    ASSERT_EQ(provenance.size(), 1u);
    EXPECT_TRUE(has(provenance[0], "Converted from the netCDF file in/b.nc4: p, t"))
        << provenance[0];

    const auto before = E2e::snapshot(dir.path());
    const RunResult rerun = run(QZ_NETCDF, {"in/"}, dir.path());
    EXPECT_EQ(rerun.Status, 0) << rerun.Err;
    EXPECT_TRUE(has(rerun.Out, "in/a.nc -> in/a.qz: nothing to do\n")) << rerun.Out;
    EXPECT_EQ(E2e::snapshot(dir.path()), before);

    std::multiset<std::string> taken;
    for (const char* shard : {"1/2", "2/2"}) {
        const RunResult result = run(QZ_NETCDF, {"in/", "--shard", shard}, dir.path());
        std::istringstream lines(result.Out);
        for (std::string line; std::getline(lines, line);)
            if (line.rfind("in/", 0) == 0) taken.insert(line.substr(0, line.find(' ')));
    }
    EXPECT_EQ(taken, (std::multiset<std::string>{"in/a.nc", "in/b.nc4"}));
}

TEST(NetcdfConverter, KeepsTheSelectionAndNamesWhatTheInputHoldsWhenItSelectsNothing) {
    TempDir dir;
    writeClimate(dir / "a.nc", 0);
    const RunResult chosen = run(
        QZ_NETCDF, {"a.nc", "-o", "t20.qz", "--grids", "lat_lon", "--fields", "t", "--times", "20"},
        dir.path());
    ASSERT_EQ(chosen.Status, 0) << chosen.Err;
    EXPECT_EQ(timesOf(dir / "t20.qz"), std::vector<double>{20});
    const Plexa::GridPtr grid = firstGrid(dir / "t20.qz", "lat_lon");
    ASSERT_TRUE(grid);
    EXPECT_EQ(grid->fields().size(), 1u);
    EXPECT_FALSE(firstGrid(dir / "t20.qz", "lon"));

    for (const auto& [arguments, message] :
         {std::pair<std::vector<std::string>, std::string>{
              {"--times", "15"}, "--times 15 selects nothing; a.nc holds the times 10, 20"},
          {{"--fields", "q"}, "--fields q selects nothing; a.nc holds the fields h, p, t"},
          {{"--grids", "lon", "--fields", "t"},
           "--grids, --fields and --times together select nothing of a.nc"}}) {
        std::vector<std::string> all{"a.nc"};
        all.insert(all.end(), arguments.begin(), arguments.end());
        const RunResult result = run(QZ_NETCDF, all, dir.path());
        EXPECT_EQ(result.Status, 1) << message;
        EXPECT_TRUE(has(result.Err, message)) << result.Err;
        EXPECT_FALSE(std::filesystem::exists(dir / "a.qz")) << message;
    }
}

TEST(NetcdfConverter, RefusesEachBadInputWithOneMessageAndWritesNothingForIt) {
    TempDir dir;
    writeClimate(dir / "good.nc", 0);
    const std::string whole = readFile(dir / "good.nc");
    dir.write("cut.nc", whole.substr(0, whole.size() - 4));
    dir.write("text.nc", "x,y,z\n");
    {
        NetcdfWriter nc(dir / "deep.nc", 0);
        nc.variable("f", NC_FLOAT,
                    {nc.dimension("a", 1), nc.dimension("b", 1), nc.dimension("c", 1),
                     nc.dimension("d", 1)});
    }
    dir.write("cloud.csv", "x,y,z\n0,0,0\n");
    const auto inputs = E2e::snapshot(dir.path());
    const RunResult result =
        run(QZ_NETCDF, {"cut.nc", "deep.nc", "good.nc", "text.nc", "cloud.csv"}, dir.path());
    EXPECT_EQ(result.Status, 1);
    for (const char* message :
         {"Cannot load netCDF file: cut.nc: the file is truncated: it holds ",
          "Cannot load netCDF file: deep.nc: the variable \"f\" has 4 dimensions besides time; a "
          "grid has 1 to 3 axes",
          "Cannot load netCDF file: text.nc: cannot read it as a netCDF file (NetCDF: Unknown "
          "file format)\n",
          "cloud.csv is a text cloud (point cloud); qz-pointcloud converts it\n"})
        EXPECT_TRUE(has(result.Err, message)) << message << "\n" << result.Err;
    std::size_t errors = 0;
    for (std::size_t at = 0; (at = result.Err.find("Error! Message", at)) != std::string::npos;
         ++at)
        ++errors;
    EXPECT_EQ(errors, 4u) << result.Err;
    auto after = E2e::snapshot(dir.path());
    EXPECT_EQ(after.erase(dir / "good.qz"), 1u);
    EXPECT_EQ(after, inputs);
}

// By extension, unread: a damaged netCDF file gets the same word as a good one, and it is said
// once, by the shard that holds the file.
TEST(NetcdfConverter, PointCloudConverterRefusesNetcdfFilesUnreadNamingTheConverter) {
    TempDir dir;
    writeClimate(dir / "a.nc", 0);
    dir.write("garbage.nc4", "neither netCDF nor HDF5");
    dir.write("hill.csv", "x,y,z\n0,0,1\n");
    const auto before = E2e::snapshot(dir.path());
    const RunResult result = run(QZ_POINTCLOUD, {"a.nc", "garbage.nc4", "hill.csv"}, dir.path());
    EXPECT_EQ(result.Status, 1);
    for (const char* file : {"a.nc", "garbage.nc4"})
        EXPECT_TRUE(has(result.Err, std::string("Error! Message: ") + file +
                                        " is a netCDF file (structured grids); qz-netcdf converts "
                                        "it\n"))
            << result.Err;
    EXPECT_FALSE(has(result.Err, "Cannot load")) << result.Err;
    EXPECT_EQ(result.Out.find("a.nc"), std::string::npos) << result.Out;
    auto after = E2e::snapshot(dir.path());
    EXPECT_EQ(after.erase(dir / "hill.qz"), 1u) << "the rest of the batch converts";
    EXPECT_EQ(after, before);
    std::size_t saying = 0;
    for (const char* shard : {"1/2", "2/2"})
        saying += has(run(QZ_POINTCLOUD, {"a.nc", "hill.csv", "--shard", shard}, dir.path()).Err,
                      "a.nc is a netCDF file");
    EXPECT_EQ(saying, 1u);
}

TEST(NetcdfConverter, SelectsBeforeItRefusesAndNamesWhatItLeftOutOnTheInputsLine) {
    TempDir dir;
    {
        NetcdfWriter nc(dir / "deep.nc", 0);
        const int t = nc.dimension("t", 1);
        const int times = nc.variable("t", NC_DOUBLE, {t});
        nc.text(times, "units", "days since 2000-01-01");
        nc.variable("deep", NC_FLOAT,
                    {nc.dimension("a", 1), nc.dimension("b", 1), nc.dimension("c", 1),
                     nc.dimension("d", 1)});
        nc.text(nc.variable("g", NC_INT, {t, nc.dimension("x", 2)}), "grid_mapping", "nowhere");
        nc.variable("s", NC_INT, {t});
        nc.endDefinitions();
        nc.values<double>(times, {0});
    }
    const RunResult result = run(QZ_NETCDF, {"deep.nc", "--fields", "g"}, dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_TRUE(has(result.Out,
                    "deep.nc -> deep.qz: grid x (g) at 1 time step, left out: the grid mapping "
                    "\"nowhere\" that \"g\" names (not in the file)\n"))
        << result.Out;
}

namespace {

// The bundle without the success marks, whose times of day may differ between two runs.
Plexa::BundlePtr withoutMarks(const std::string& file) {
    Plexa::BundlePtr bundle = loadBundle(file);
    for (const auto& [time, slice] : bundle->slices())
        for (const auto& [name, grid] : slice->grids())
            grid->removeAttribute("qz-netcdfSuccessful?");
    return bundle;
}

} // namespace

// A budget of 1 MiB holds 8 of the 20 steps of 120 KiB: three parts make the file that one part
// makes, every grid of every step marked, and a rerun checks the marks in parts too; a step larger
// than the budget is refused by its size, and a budget above --memory-limit is a command-line
// mistake.
TEST(NetcdfConverter, ConvertsAFewStepsAtATimeWithinTheMemoryBudget) {
    TempDir dir;
    writeTimeSteps(dir / "steps.nc", 20, 100);
    const RunResult sliced =
        run(QZ_NETCDF, {"steps.nc", "-o", "sliced.qz", "--memory", "1"}, dir.path());
    ASSERT_EQ(sliced.Status, 0) << sliced.Err;
    EXPECT_TRUE(has(sliced.Err, "Memory budget: 1 MiB (--memory)")) << sliced.Err;
    EXPECT_TRUE(has(sliced.Out, "steps.nc -> sliced.qz: grid lat_lon (p, t) at 20 time steps, "
                                "grid lon (h) at 20 time steps\n"))
        << sliced.Out;
    const RunResult whole = run(QZ_NETCDF, {"steps.nc", "-o", "whole.qz"}, dir.path());
    ASSERT_EQ(whole.Status, 0) << whole.Err;
    EXPECT_TRUE(has(whole.Err, "Memory budget: ")) << whole.Err;
    expectSameBundles(*withoutMarks(dir / "whole.qz"), *withoutMarks(dir / "sliced.qz"));
    const Plexa::BundlePtr marked = loadBundle(dir / "sliced.qz");
    for (const auto& [time, slice] : marked->slices())
        for (const auto& [name, grid] : slice->grids())
            EXPECT_EQ(textsOf(*grid, "qz-netcdfSuccessful?").size(), 1u) << time << " " << name;
    EXPECT_EQ(describe(dir / "sliced.qz").size(), describe(dir / "whole.qz").size());
    ASSERT_EQ(run(QZ_NETCDF, {"steps.nc", "--memory", "1"}, dir.path()).Status, 0);
    const RunResult rerun = run(QZ_NETCDF, {"steps.nc", "--memory", "1"}, dir.path());
    EXPECT_TRUE(has(rerun.Out, "steps.nc -> steps.qz: nothing to do\n")) << rerun.Out;

    writeTimeSteps(dir / "large.nc", 2, 400);
    const RunResult large = run(QZ_NETCDF, {"large.nc", "--memory", "1"}, dir.path());
    EXPECT_EQ(large.Status, 1);
    EXPECT_TRUE(has(large.Err, "large.nc: one time step of the fields takes 2 MiB, more than the "
                               "memory budget of 1 MiB; --memory 2 or more converts it"))
        << large.Err;
    EXPECT_FALSE(std::filesystem::exists(dir / "large.qz"));

    const RunResult beyond =
        run(QZ_NETCDF, {"steps.nc", "--memory", "600", "--memory-limit", "500"}, dir.path());
    EXPECT_EQ(beyond.Status, 2);
    EXPECT_TRUE(has(beyond.Err, "600 MiB is more than --memory-limit 500 MiB")) << beyond.Err;
}

// netCDF files made through the library's API: times, grids by dimension set, CF packing and
// fill values, and hostile files refused with one message and nothing of them in the bundle.
#include "outside/Plexa.hpp"

#include "tests/support/NetcdfWriter.hpp"
#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>

using namespace ConvLibTest;

namespace {

template <class T> const Plexa::MemArray<T>& valuesOf(const Plexa::Grid& grid, const char* name) {
    const Plexa::Field* field = grid.findField(name);
    if (!field) throw std::runtime_error(std::string("no field ") + name);
    return dynamic_cast<const Plexa::MemArray<T>&>(*field->Data);
}

template <class T>
std::vector<T> chunkValues(const Plexa::SaveableAttributes& owner, const std::string& name) {
    Quorix::DynPtr<Quorix::Chunk<T>, Quorix::ChunkBase> chunk(owner.getAttribute(name));
    return chunk ? std::vector<T>(chunk->begin(), chunk->end()) : std::vector<T>();
}

// time (2, "days since") x lat (3, coordinates) x lon (4, none): a float with a fill value, a
// packed short, an int with a fill value; a static field over lat x lon, one over lon alone and a
// series over time alone.
void writeSample(const std::string& file, int format) {
    NetcdfWriter nc(file, format);
    const int time = nc.dimension("time", NC_UNLIMITED);
    const int lat = nc.dimension("lat", 3);
    const int lon = nc.dimension("lon", 4);
    const int times = nc.variable("time", NC_DOUBLE, {time});
    nc.text(times, "units", "days since 2000-01-01");
    const int lats = nc.variable("lat", NC_FLOAT, {lat});
    const int temp = nc.variable("temp", NC_FLOAT, {time, lat, lon});
    nc.text(temp, "units", "K").text(temp, "long_name", "air temperature");
    nc.number<float>(temp, "_FillValue", NC_FLOAT, {-999});
    const int pressure = nc.variable("p", NC_SHORT, {time, lat, lon});
    nc.number<double>(pressure, "scale_factor", NC_DOUBLE, {0.5});
    nc.number<double>(pressure, "add_offset", NC_DOUBLE, {1000});
    nc.number<short>(pressure, "_FillValue", NC_SHORT, {-32767});
    nc.number<short>(pressure, "valid_range", NC_SHORT, {-100, 100});
    const int count = nc.variable("count", NC_INT, {time, lat, lon});
    nc.number<int>(count, "_FillValue", NC_INT, {-1});
    const int height = nc.variable("height", NC_FLOAT, {lat, lon});
    const int weight = nc.variable("weight", NC_DOUBLE, {lon});
    const int series = nc.variable("series", NC_DOUBLE, {time});
    nc.endDefinitions();
    nc.records<double>(times, {2}, {10, 20.5});
    nc.values<float>(lats, {-10, 0, 10});
    std::vector<float> temps(24);
    std::vector<short> packed(24);
    std::vector<int> counts(24);
    for (int i = 0; i < 24; ++i) {
        temps[i] = 250.0f + static_cast<float>(i);
        packed[i] = static_cast<short>(i - 12);
        counts[i] = i;
    }
    temps[5] = -999;
    packed[7] = -32767;
    counts[3] = -1;
    nc.records(temp, {2, 3, 4}, temps);
    nc.records(pressure, {2, 3, 4}, packed);
    nc.records(count, {2, 3, 4}, counts);
    std::vector<float> heights(12, 3.5f);
    nc.values(height, heights);
    nc.values<double>(weight, {1, 2, 3, 4});
    nc.records<double>(series, {2}, {1, 2});
    nc.close();
}

class NetcdfFormats : public testing::TestWithParam<int> {};

} // namespace

TEST_P(NetcdfFormats, TimeStepsGridsPackingAndFillValues) {
    TempDir dir;
    writeSample(dir / "sample.nc", GetParam());
    const Plexa::BundlePtr bundle = loadBundle(dir / "sample.nc");
    ASSERT_EQ(bundle->slices().size(), 2u);
    ASSERT_TRUE(bundle->findSlice(10) && bundle->findSlice(20.5));

    const Plexa::GridPtr second = bundle->findSlice(20.5)->findGrid("lat_lon");
    ASSERT_TRUE(second);
    const Plexa::Topology& layout = second->topology();
    ASSERT_EQ(layout.Axes.size(), 2u);
    EXPECT_EQ(layout.Axes[0].Name, "lat");
    EXPECT_EQ(layout.Axes[0].Coordinates, (std::vector<double>{-10, 0, 10}));
    EXPECT_TRUE(layout.Axes[1].isUniform());
    EXPECT_EQ(layout.Axes[1].Extent, 4u);
    EXPECT_EQ(layout.Axes[1].coordinate(3), 3);

    const auto& temp = valuesOf<float>(*second, "temp");
    ASSERT_EQ(temp.size(), 12u);
    EXPECT_EQ(temp(0), 262.0f);
    const auto& p = valuesOf<double>(*second, "p");
    EXPECT_EQ(p(0), 1000.0);
    const auto& count = valuesOf<std::int32_t>(*second, "count");
    EXPECT_EQ(count(0), 12);
    const Plexa::Field& countField = *second->findField("count");
    EXPECT_EQ(chunkValues<double>(countField.Attributes, "_FillValue"), (std::vector<double>{-1}));
    EXPECT_EQ(chunkValues<double>(second->findField("p")->Attributes, "valid_range"),
              (std::vector<double>{950, 1050}));
    EXPECT_EQ(chunkValues<std::string>(second->findField("temp")->Attributes, "long_name"),
              (std::vector<std::string>{"air temperature"}));

    const Plexa::GridPtr first = bundle->findSlice(10)->findGrid("lat_lon");
    EXPECT_TRUE(std::isnan(valuesOf<float>(*first, "temp")(5)));
    EXPECT_TRUE(std::isnan(valuesOf<double>(*first, "p")(7)));
    EXPECT_EQ(valuesOf<double>(*first, "p")(0), 994.0);
    EXPECT_EQ(valuesOf<std::int32_t>(*first, "count")(3), -1) << "integers keep their fill value";
    EXPECT_EQ(valuesOf<float>(*first, "height")(11), 3.5f);
    EXPECT_EQ(first->findField("height")->Data.rawptr(), second->findField("height")->Data.rawptr())
        << "a field without time is shared by every step";
    EXPECT_EQ(first->findField("lat"), nullptr) << "coordinates are axes, not fields";
    EXPECT_EQ(chunkValues<double>(*first, "series"), std::vector<double>{1})
        << "a variable over time alone is a value per step";
    EXPECT_EQ(chunkValues<double>(*second, "series"), std::vector<double>{2});
    EXPECT_TRUE(textsOf(*first, "NetcdfNote").empty());
    EXPECT_EQ(textsOf(*first, "NetcdfTimeUnits"), Names{"days since 2000-01-01"});

    const Plexa::GridPtr line = bundle->findSlice(10)->findGrid("lon");
    ASSERT_TRUE(line);
    EXPECT_EQ(valuesOf<double>(*line, "weight")(3), 4.0);
}

INSTANTIATE_TEST_SUITE_P(ClassicOffsetAndNetcdf4, NetcdfFormats,
                         testing::Values(0, NC_64BIT_OFFSET, NC_NETCDF4));

namespace {

using Build = std::function<void(NetcdfWriter&)>;

std::string writeFile(const TempDir& dir, const std::string& name, const Build& build,
                      int format = 0) {
    const std::string file = dir / name;
    NetcdfWriter nc(file, format);
    build(nc);
    nc.close();
    return file;
}

// A float over the named dimensions of length 2, values 0, 1, ...
void floatOver(NetcdfWriter& nc, const std::vector<std::string>& names) {
    std::vector<int> dimensions;
    for (const std::string& name : names)
        dimensions.push_back(nc.dimension(name, 2));
    const int id = nc.variable("f", NC_FLOAT, dimensions);
    nc.endDefinitions();
    std::vector<float> values(std::size_t(1) << names.size());
    for (std::size_t i = 0; i < values.size(); ++i)
        values[i] = static_cast<float>(i);
    nc.values(id, values);
}

std::string word(std::uint32_t value) {
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
            static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::vector<double> timesOf(const Plexa::Bundle& bundle) {
    std::vector<double> times;
    for (const auto& [time, slice] : bundle.slices())
        times.push_back(time);
    return times;
}

} // namespace

TEST(NetcdfReader, FindsTheTimeDimensionOrMakesOneStep) {
    TempDir dir;
    struct Case {
        const char* Name;
        std::vector<std::string> Dimensions;
        std::vector<double> Times;
        const char* Grid;
        float Second; // the second value of the last step
    };
    // without a coordinate, a time dimension's steps are its indices
    for (const Case& c : {Case{"month", {"month", "y", "x"}, {0, 1}, "y_x", 5},
                          Case{"step", {"step", "x"}, {0, 1}, "x", 3},
                          Case{"none", {"level", "y", "x"}, {7}, "level_y_x", 1}}) {
        Plexa::ReadOptions read;
        read.Time = 7;
        const Loaded loaded =
            tryLoad(writeFile(dir, std::string(c.Name) + ".nc",
                              [&](NetcdfWriter& nc) { floatOver(nc, c.Dimensions); }),
                    read);
        ASSERT_EQ(loaded.Error, "") << c.Name;
        EXPECT_EQ(timesOf(*loaded.Bundle), c.Times) << c.Name;
        const Plexa::GridPtr grid = loaded.Bundle->slices().rbegin()->second->findGrid(c.Grid);
        ASSERT_TRUE(grid) << c.Name;
        EXPECT_EQ(valuesOf<float>(*grid, "f")(1), c.Second) << c.Name;
    }

    // a CF mark beats the record dimension
    const Loaded marked = tryLoad(writeFile(
        dir, "marked.nc",
        [](NetcdfWriter& nc) {
            const int record = nc.dimension("record", NC_UNLIMITED);
            const int t = nc.dimension("t", 2);
            const int times = nc.variable("t", NC_INT, {t});
            nc.text(times, "axis", "T");
            const int f = nc.variable("f", NC_FLOAT, {t, record});
            nc.endDefinitions();
            nc.values<int>(times, {5, 9});
            nc.records<float>(f, {2, 1}, {1, 2});
        },
        NC_NETCDF4));
    ASSERT_EQ(marked.Error, "");
    EXPECT_EQ(timesOf(*marked.Bundle), (std::vector<double>{5, 9}));
    EXPECT_TRUE(marked.Bundle->findSlice(9)->findGrid("record"));
}

// A classic file whose header names two dimensions alike, as only a damaged one can.
std::string sameDimensionNames(const TempDir& dir) {
    std::string bytes = readFile(writeFile(dir, "pair.nc", [](NetcdfWriter& nc) {
        nc.variable("f", NC_FLOAT, {nc.dimension("dimq", 1), nc.dimension("dimz", 1)});
    }));
    bytes.replace(bytes.find("dimz"), 4, "dimq");
    return bytes;
}

TEST(NetcdfReader, RefusesHostileFilesWithOneMessageAndLoadsNothing) {
    TempDir dir;
    const std::string good = writeFile(dir, "good.nc", [](NetcdfWriter& nc) {
        floatOver(nc, {"time", "x"});
    });
    const std::string whole = readFile(good);
    const auto timeCoordinate = [](std::vector<double> values, bool withNan = false) {
        return [values, withNan](NetcdfWriter& nc) {
            const int time = nc.dimension("time", values.size());
            const int x = nc.dimension("x", 2);
            const int times = nc.variable("time", NC_DOUBLE, {time});
            const int xs = nc.variable("x", NC_DOUBLE, {x});
            const int f = nc.variable("f", NC_FLOAT, {time, x});
            nc.text(times, "units", "hours since 2000-01-01");
            nc.endDefinitions();
            nc.values(times, values);
            nc.values<double>(xs, {0, withNan ? NAN : 1.0});
            nc.values(f, std::vector<float>(values.size() * 2));
        };
    };
    // Classic headers by hand, which libnetcdf trusts too far: it would copy a name of any length
    // into the caller's buffer, and divide by zero, the value size it gives a variable of type 12
    // (strings, which classic files lack).
    const std::string dimension = word(0xa) + word(1) + word(300) + std::string(300, 'a') + word(2);
    const std::string longName =
        "CDF\x01" + word(0) + dimension + word(0) + word(0) + word(0) + word(0);
    const std::string variable = word(0xb) + word(1) + word(1) + "v" + std::string(3, '\0') +
                                 word(1) + word(0) + word(0) + word(0) + word(12) + word(8);
    const std::string typeless = "CDF\x01" + word(0) + word(0xa) + word(1) + word(1) + "x" +
                                 std::string(3, '\0') + word(2) + word(0) + word(0) + variable +
                                 word(80) + std::string(8, '\0');
    // the last variable's values begin where the file ends
    const std::string begin = word(static_cast<std::uint32_t>(whole.size() - 16));
    ASSERT_EQ(whole.substr(whole.size() - 20, 4), begin);
    const std::string beyond = std::string(whole).replace(
        whole.size() - 20, 4, word(static_cast<std::uint32_t>(whole.size())));
    // netCDF-4 headers that claim what the file never stored: 2^24 records of which the last is
    // written (each step counted at 1 KiB), and 64 MiB of values none of which is
    const auto lastRecord = [](NetcdfWriter& nc) {
        const int time = nc.dimension("time", NC_UNLIMITED);
        const int times = nc.variable("time", NC_DOUBLE, {time});
        nc.text(times, "units", "days since 2000-01-01");
        const int f = nc.variable("f", NC_FLOAT, {time, nc.dimension("x", 1)});
        nc.endDefinitions();
        const std::size_t last[] = {(std::size_t(1) << 24) - 1, 0}, one[] = {1, 1};
        const double time0 = 1;
        const float value = 1;
        ASSERT_EQ(nc_put_vara_double(nc.id(), times, last, one, &time0), NC_NOERR);
        ASSERT_EQ(nc_put_vara_float(nc.id(), f, last, one, &value), NC_NOERR);
    };
    struct Case {
        std::string File;
        const char* Cause;
    };
    const Case cases[] = {
        {dir.write("beyond.nc", beyond),
         "the values of the variable \"f\" lie past the end of the file: they begin at byte "},
        {writeFile(dir, "records.nc4", lastRecord, NC_NETCDF4),
         "the variable \"f\" claims 17179869184 bytes of values, and the file stores 4 bytes"},
        {writeFile(
             dir, "unwritten.nc4",
             [](NetcdfWriter& nc) {
                 nc.variable("f", NC_FLOAT, {nc.dimension("y", 4096), nc.dimension("x", 4096)});
             },
             NC_NETCDF4),
         "the variable \"f\" claims 67108864 bytes of values, and the file stores 0 bytes of "
         "them; most of it was never written"},
        // 2^30 steps that only a variable left out lies over, beside a timeless field
        {writeFile(
             dir, "steps.nc4",
             [](NetcdfWriter& nc) {
                 const int y = nc.dimension("y", 2), x = nc.dimension("x", 2);
                 nc.variable("w", NC_FLOAT, {y, x});
                 const int deep[] = {nc.dimension("time", std::size_t(1) << 30), y, x,
                                     nc.dimension("a", 1), nc.dimension("b", 1)};
                 int group = 0, variable = 0;
                 ASSERT_EQ(nc_def_grp(nc.id(), "sub", &group), NC_NOERR);
                 ASSERT_EQ(nc_def_var(group, "deep", NC_FLOAT, 5, deep, &variable), NC_NOERR);
             },
             NC_NETCDF4),
         "the time dimension \"time\" claims 1073741824 steps, and the variables read over it "
         "store 0 bytes; most of its steps were never written"},
        {dir.write("text.nc", "x,y,z\n1,2,3\n"), "cannot read it as a netCDF file (NetCDF: "},
        {dir.write("empty.nc", ""), "cannot read it as a netCDF file"},
        {dir.write("counts.nc", std::string(whole).replace(12, 1, "\x7f")),
         "the header runs past the end of the file"},
        {dir.write("long.nc", longName),
         "the header holds a name of 300 bytes; names have at most 256"},
        {dir.write("typeless.nc", typeless),
         "the header holds a value type unknown to the format (12)"},
        {dir.write("cut.nc", whole.substr(0, whole.size() - 4)),
         "the file is truncated: it holds "},
        {writeFile(dir, "deep.nc",
                   [](NetcdfWriter& nc) {
                       floatOver(nc, {"a", "b", "c", "d"});
                   }),
         "the variable \"f\" has 4 dimensions besides time; a grid has 1 to 3 axes"},
        {writeFile(dir, "twice.nc",
                   [](NetcdfWriter& nc) {
                       const int x = nc.dimension("x", 2);
                       nc.variable("covariance", NC_FLOAT, {x, x});
                   }),
         "the variable \"covariance\" lies over the dimension \"x\" twice; each axis of a grid "
         "has a dimension of its own"},
        {writeFile(dir, "twotimes.nc",
                   [](NetcdfWriter& nc) {
                       const int time = nc.dimension("time", 2);
                       nc.variable("f", NC_FLOAT, {time, nc.dimension("x", 1), time});
                   }),
         "the variable \"f\" lies over the dimension \"time\" twice"},
        {dir.write("samedims.nc", sameDimensionNames(dir)),
         "the header names two dimensions \"dimq\" of one group; names are unique"},
        {writeFile(dir, "late.nc",
                   [](NetcdfWriter& nc) {
                       const int x = nc.dimension("x", 1);
                       const int time = nc.dimension("time", 1);
                       nc.text(nc.variable("time", NC_DOUBLE, {time}), "axis", "T");
                       nc.variable("f", NC_FLOAT, {x, time});
                   }),
         "the variable \"f\" has the time dimension \"time\" in place 2; it is read only as the "
         "first dimension"},
        {writeFile(dir, "back.nc", timeCoordinate({2, 1})),
         "the time coordinate \"time\" is not strictly increasing (step 1 follows step 0 with a "
         "smaller value)"},
        {writeFile(dir, "same.nc", timeCoordinate({1, 1})), "with the same value"},
        {writeFile(dir, "gap.nc", timeCoordinate({1, NAN})),
         "the coordinate variable \"time\" has no value at index 1 (a fill value, NaN or an "
         "infinity)"},
        {writeFile(dir, "nanaxis.nc", timeCoordinate({1, 2}, true)),
         "the coordinate variable \"x\" has no value at index 1"},
        // slots never written hold libnetcdf's default fill, which no attribute names
        {writeFile(dir, "unwritten.nc",
                   [](NetcdfWriter& nc) {
                       const int time = nc.dimension("time", NC_UNLIMITED);
                       const int times = nc.variable("time", NC_FLOAT, {time});
                       const int f = nc.variable("f", NC_FLOAT, {time, nc.dimension("x", 1)});
                       nc.endDefinitions();
                       nc.records<float>(times, {1}, {1});
                       nc.records<float>(f, {2, 1}, {1, 2});
                   }),
         "the coordinate variable \"time\" has no value at index 1"},
        {writeFile(dir, "noaxis.nc",
                   [](NetcdfWriter& nc) {
                       const int x = nc.dimension("x", 2);
                       nc.variable("x", NC_SHORT, {x});
                       nc.variable("f", NC_FLOAT, {x});
                       nc.endDefinitions();
                   }),
         "the coordinate variable \"x\" has no value at index 0"},
        {writeFile(dir, "alone.nc",
                   [](NetcdfWriter& nc) {
                       nc.variable("s", NC_DOUBLE, {});
                       nc.endDefinitions();
                   }),
         "the file holds no variable over 1 to 3 dimensions besides time"},
        {writeFile(dir, "twins.nc",
                   [](NetcdfWriter& nc) {
                       nc.variable("f", NC_FLOAT, {nc.dimension("a_b", 1), nc.dimension("c", 1)});
                       nc.variable("g", NC_FLOAT, {nc.dimension("a", 1), nc.dimension("b_c", 1)});
                       nc.endDefinitions();
                   }),
         "two sets of dimensions make the grid name \"a_b_c\""},
        {writeFile(
             dir, "custom.nc4",
             [](NetcdfWriter& nc) {
                 nc_type vlen = 0;
                 ASSERT_EQ(nc_def_vlen(nc.id(), "bytes", NC_BYTE, &vlen), NC_NOERR);
                 nc.variable("v", vlen, {nc.dimension("x", 1)});
             },
             NC_NETCDF4),
         "is of a type of the file's own"},
        // its grid reads the axis before the loop reaches the axis's own variable
        {writeFile(
             dir, "custom-axis.nc4",
             [](NetcdfWriter& nc) {
                 const int x = nc.dimension("x", 2);
                 nc.variable("f", NC_FLOAT, {x});
                 nc_type vlen = 0;
                 ASSERT_EQ(nc_def_vlen(nc.id(), "bytes", NC_BYTE, &vlen), NC_NOERR);
                 nc.variable("x", vlen, {x});
             },
             NC_NETCDF4),
         "the variable \"x\" is of a type of the file's own"},
    };
    for (const Case& c : cases) {
        const std::string before = readFile(c.File);
        const Loaded loaded = tryLoad(c.File);
        EXPECT_NE(loaded.Error.find(c.Cause), std::string::npos) << c.File << ": " << loaded.Error;
        EXPECT_EQ(loaded.Error.find('\n'), std::string::npos) << loaded.Error;
        EXPECT_TRUE(loaded.Bundle->slices().empty()) << c.File;
        EXPECT_EQ(readFile(c.File), before) << c.File;
    }
}

// The conventions of real files, each checked value by value against what it means.
TEST(NetcdfConventions, UnsignedValuesFillsAndRangesReadInUnsignedTerms) {
    TempDir dir;
    const Loaded loaded = tryLoad(writeFile(dir, "unsigned.nc", [](NetcdfWriter& nc) {
        const int x = nc.dimension("x", 3);
        // packed as every GOES-R product: -1 is 65535, the fill; -25536 is 40000
        const int height = nc.variable("height", NC_SHORT, {x});
        nc.text(height, "_Unsigned", "true");
        nc.number<double>(height, "scale_factor", NC_DOUBLE, {0.5});
        nc.number<double>(height, "add_offset", NC_DOUBLE, {1});
        nc.number<short>(height, "_FillValue", NC_SHORT, {-1});
        nc.number<short>(height, "valid_range", NC_SHORT, {0, -2});
        const int mask = nc.variable("mask", NC_BYTE, {x});
        nc.text(mask, "_Unsigned", "true");
        nc.number<signed char>(mask, "_FillValue", NC_BYTE, {-1});
        nc.number<signed char>(mask, "missing_value", NC_BYTE, {-2});
        nc.number<signed char>(mask, "valid_max", NC_BYTE, {-3});
        nc.endDefinitions();
        nc.values<short>(height, {-1, -25536, 7});
        nc.values<signed char>(mask, {-1, -56, 3});
    }));
    ASSERT_EQ(loaded.Error, "");
    const Plexa::GridPtr grid = loaded.Bundle->findSlice(0)->findGrid("x");
    ASSERT_TRUE(grid);
    const auto& height = valuesOf<double>(*grid, "height");
    EXPECT_TRUE(std::isnan(height(0)));
    EXPECT_EQ(height(1), 20001.0);
    EXPECT_EQ(height(2), 4.5);
    EXPECT_EQ(chunkValues<double>(grid->findField("height")->Attributes, "valid_range"),
              (std::vector<double>{1, 32768}));
    const auto& mask = valuesOf<std::uint8_t>(*grid, "mask");
    EXPECT_EQ((std::vector<int>{mask(0), mask(1), mask(2)}), (std::vector<int>{255, 200, 3}));
    const Plexa::SaveableAttributes& maskAttributes = grid->findField("mask")->Attributes;
    EXPECT_EQ(chunkValues<double>(maskAttributes, "_FillValue"), (std::vector<double>{255}));
    EXPECT_EQ(chunkValues<double>(maskAttributes, "missing_value"), (std::vector<double>{254}));
    EXPECT_EQ(chunkValues<double>(maskAttributes, "valid_max"), (std::vector<double>{253}));
}

TEST(NetcdfConventions, OnlyAMarkedOrUnmarkedRecordDimensionIsTime) {
    TempDir dir;
    // a CF writer's map with y unlimited and marked as space: one step at 0, a 2 x 2 map
    const auto unlimitedY = [](const char* mark, const char* value) {
        return [mark, value](NetcdfWriter& nc) {
            const int y = nc.dimension("y", NC_UNLIMITED);
            const int x = nc.dimension("x", 2);
            const int ys = nc.variable("y", NC_DOUBLE, {y});
            nc.text(ys, mark, value);
            const int f = nc.variable("f", NC_FLOAT, {y, x});
            nc.endDefinitions();
            nc.records<double>(ys, {2}, {600000, 400000});
            nc.records<float>(f, {2, 2}, {1, 2, 3, 4});
        };
    };
    for (const auto& [mark, value] : {std::pair<const char*, const char*>{"axis", "Y"},
                                      {"standard_name", "projection_y_coordinate"},
                                      {"units", "degrees_north"},
                                      {"positive", "up"}}) {
        const Loaded map = tryLoad(writeFile(dir, "map.nc", unlimitedY(mark, value)));
        ASSERT_EQ(map.Error, "") << mark;
        EXPECT_EQ(timesOf(*map.Bundle), std::vector<double>{0}) << mark;
        const Plexa::GridPtr grid = map.Bundle->findSlice(0)->findGrid("y_x");
        ASSERT_TRUE(grid) << mark;
        EXPECT_EQ(grid->topology().Axes[0].Coordinates, (std::vector<double>{600000, 400000}));
        EXPECT_EQ(valuesOf<float>(*grid, "f")(3), 4.0f) << mark;
        EXPECT_TRUE(textsOf(*grid, "NetcdfTimeDimension").empty()) << mark;
    }

    // an unmarked record dimension is time; a marked one keeps its units and calendar
    const Loaded records = tryLoad(writeFile(dir, "records.nc", [](NetcdfWriter& nc) {
        const int record = nc.dimension("record", NC_UNLIMITED);
        const int f = nc.variable("f", NC_FLOAT, {record, nc.dimension("x", 1)});
        nc.endDefinitions();
        nc.records<float>(f, {2, 1}, {5, 6});
    }));
    ASSERT_EQ(records.Error, "");
    EXPECT_EQ(timesOf(*records.Bundle), (std::vector<double>{0, 1}));
    EXPECT_EQ(valuesOf<float>(*records.Bundle->findSlice(1)->findGrid("x"), "f")(0), 6.0f);
    const Loaded calendar = tryLoad(writeFile(dir, "calendar.nc", [](NetcdfWriter& nc) {
        const int t = nc.dimension("t", 2);
        const int times = nc.variable("t", NC_DOUBLE, {t});
        nc.text(times, "units", "days since 1850-01-01").text(times, "calendar", "noleap");
        nc.variable("f", NC_FLOAT, {t});
        nc.variable("g", NC_FLOAT, {t, nc.dimension("x", 1)});
        nc.endDefinitions();
        nc.values<double>(times, {0, 365});
    }));
    ASSERT_EQ(calendar.Error, "");
    const Plexa::GridPtr grid = calendar.Bundle->findSlice(365)->findGrid("x");
    ASSERT_TRUE(grid);
    EXPECT_EQ(textsOf(*grid, "NetcdfTimeUnits"), Names{"days since 1850-01-01"});
    EXPECT_EQ(textsOf(*grid, "NetcdfTimeCalendar"), Names{"noleap"});
    const std::vector<double> unwritten = chunkValues<double>(*grid, "f");
    ASSERT_EQ(unwritten.size(), 1u);
    EXPECT_TRUE(std::isnan(unwritten[0])) << "a value never written is none";
}

TEST(NetcdfConventions, GroupsBecomeGridsNamedBelowTheirPath) {
    TempDir dir;
    const Loaded loaded = tryLoad(writeFile(
        dir, "groups.nc4",
        [](NetcdfWriter& nc) {
            const int y = nc.dimension("y", 2);
            const int x = nc.dimension("x", 2);
            const int f = nc.variable("f", NC_FLOAT, {y, x});
            int geolocation = 0, inner = 0, deeper = 0;
            ASSERT_EQ(nc_def_grp(nc.id(), "geolocation", &geolocation), NC_NOERR);
            ASSERT_EQ(nc_def_grp(nc.id(), "a", &inner), NC_NOERR);
            ASSERT_EQ(nc_def_grp(inner, "b", &deeper), NC_NOERR);
            int lat = 0, g = 0, level = 0, deep = 0;
            const int dimensions[] = {y, x};
            const int four[] = {y, x, y, x};
            ASSERT_EQ(nc_def_var(inner, "deep", NC_BYTE, 4, four, &deep), NC_NOERR);
            ASSERT_EQ(nc_def_var(geolocation, "lat", NC_DOUBLE, 2, dimensions, &lat), NC_NOERR);
            ASSERT_EQ(nc_def_var(deeper, "g", NC_INT, 1, &x, &g), NC_NOERR);
            ASSERT_EQ(nc_def_var(deeper, "level", NC_INT, 0, nullptr, &level), NC_NOERR);
            nc.endDefinitions();
            nc.values<float>(f, {1, 2, 3, 4});
            const double lats[] = {10, 10, 20, 20};
            const int gs[] = {7, 8}, levels[] = {850};
            ASSERT_EQ(nc_put_var_double(geolocation, lat, lats), NC_NOERR);
            ASSERT_EQ(nc_put_var_int(deeper, g, gs), NC_NOERR);
            ASSERT_EQ(nc_put_var_int(deeper, level, levels), NC_NOERR);
        },
        NC_NETCDF4));
    ASSERT_EQ(loaded.Error, "");
    const Plexa::SlicePtr slice = loaded.Bundle->findSlice(0);
    ASSERT_EQ(slice->grids().size(), 3u);
    EXPECT_EQ(valuesOf<float>(*slice->findGrid("y_x"), "f")(3), 4.0f);
    const Plexa::GridPtr geolocation = slice->findGrid("geolocation/y_x");
    ASSERT_TRUE(geolocation);
    EXPECT_EQ(valuesOf<double>(*geolocation, "lat")(2), 20.0);
    const Plexa::GridPtr deeper = slice->findGrid("a/b/x");
    ASSERT_TRUE(deeper);
    EXPECT_EQ(valuesOf<std::int32_t>(*deeper, "g")(1), 8);
    EXPECT_EQ(chunkValues<double>(*deeper, "a/b/level"), std::vector<double>{850});
    EXPECT_EQ(textsOf(*deeper, "NetcdfNote"),
              Names{"left out: the variable \"a/deep\" lies over the dimension \"y\" twice; each "
                    "axis of a grid has a dimension of its own"})
        << "a group's variable that cannot become a field is named, not a reason to refuse";
}

TEST(NetcdfConventions, TextScalarsAndGridMappingsBecomeGridAttributes) {
    TempDir dir;
    const auto rotated = [](NetcdfWriter& nc) {
        const int rlat = nc.dimension("rlat", 2);
        const int rlon = nc.dimension("rlon", 1);
        const int ensemble = nc.dimension("ensemble", 2);
        const int pole = nc.variable("rotated_pole", NC_CHAR, {});
        nc.text(pole, "grid_mapping_name", "rotated_latitude_longitude");
        nc.number<double>(pole, "grid_north_pole_latitude", NC_DOUBLE, {39.25});
        const int pr = nc.variable("pr", NC_FLOAT, {rlat, rlon});
        nc.text(pr, "grid_mapping", "rotated_pole");
        const int labels =
            nc.variable("experiment_id", NC_CHAR, {ensemble, nc.dimension("string4", 4)});
        const int height = nc.variable("height", NC_DOUBLE, {});
        nc.text(height, "units", "m");
        const int weight = nc.variable("weight", NC_FLOAT, {ensemble});
        nc.variable("deep", NC_FLOAT,
                    {nc.dimension("a", 1), nc.dimension("b", 1), nc.dimension("c", 1),
                     nc.dimension("d", 1)});
        nc.endDefinitions();
        nc.values<float>(pr, {0.5f, 1.5f});
        nc.values<char>(labels, {'a', 'b', ' ', ' ', 'c', 'd', 'e', 'f'});
        nc.values<double>(height, {2});
        nc.values<float>(weight, {1, 2});
    };
    const std::string file = writeFile(dir, "rotated.nc", rotated);
    EXPECT_NE(tryLoad(file).Error.find("the variable \"deep\" has 4 dimensions besides time"),
              std::string::npos)
        << "a selection that names nothing of the file leaves everything in";
    Plexa::ReadOptions read;
    read.Netcdf.Fields = {"pr", "weight", "nope"};
    const Loaded loaded = tryLoad(file, read);
    ASSERT_EQ(loaded.Error, "");
    const Plexa::GridPtr grid = loaded.Bundle->findSlice(0)->findGrid("rlat_rlon");
    ASSERT_TRUE(grid);
    EXPECT_EQ(valuesOf<float>(*grid, "pr")(1), 1.5f);
    EXPECT_EQ(textsOf(*grid, "rotated_pole:grid_mapping_name"),
              Names{"rotated_latitude_longitude"});
    EXPECT_EQ(chunkValues<double>(*grid, "rotated_pole:grid_north_pole_latitude"),
              std::vector<double>{39.25});
    EXPECT_EQ(textsOf(*grid, "experiment_id"), (Names{"ab  ", "cdef"}));
    EXPECT_EQ(chunkValues<double>(*grid, "height"), std::vector<double>{2});
    EXPECT_EQ(textsOf(*grid, "height:units"), Names{"m"});
    const Plexa::GridPtr other = loaded.Bundle->findSlice(0)->findGrid("ensemble");
    ASSERT_TRUE(other);
    EXPECT_TRUE(textsOf(*other, "rotated_pole:grid_mapping_name").empty())
        << "a grid mapping describes only the grids whose fields name it";
    EXPECT_EQ(textsOf(*other, "experiment_id"), (Names{"ab  ", "cdef"}));

    read.Netcdf.Fields.clear();
    read.Netcdf.Grids = {"ensemble"};
    const Loaded one = tryLoad(file, read);
    ASSERT_EQ(one.Error, "");
    EXPECT_EQ(one.Bundle->findSlice(0)->grids().size(), 1u);
}

TEST(NetcdfConventions, AVariableNamedLikeAnAxisOfItsGridIsRenamedAndSaves) {
    TempDir dir;
    const Loaded loaded = tryLoad(writeFile(dir, "clash.nc", [](NetcdfWriter& nc) {
        const int y = nc.dimension("y", 2);
        const int x = nc.dimension("x", 2);
        const int named = nc.variable("x", NC_FLOAT, {y, x});
        const int taken = nc.variable("x_variable", NC_FLOAT, {y, x});
        nc.endDefinitions();
        nc.values<float>(named, {1, 2, 3, 4});
        nc.values<float>(taken, {5, 6, 7, 8});
    }));
    ASSERT_EQ(loaded.Error, "");
    const Plexa::GridPtr grid = loaded.Bundle->findSlice(0)->findGrid("y_x");
    ASSERT_TRUE(grid);
    EXPECT_EQ(valuesOf<float>(*grid, "x_variable_")(3), 4.0f);
    EXPECT_EQ(valuesOf<float>(*grid, "x_variable")(3), 8.0f);
    EXPECT_EQ(textsOf(*grid, "NetcdfNote"),
              Names{"renamed: the variable \"x\" to \"x_variable_\", the name of an axis of its "
                    "grid"});
    const std::string saved = dir / "clash.qz";
    ASSERT_TRUE(Plexa::writeBundleFile(*loaded.Bundle, saved, nullptr))
        << "what the reader gives, the writer stores";
    EXPECT_EQ(valuesOf<float>(*firstGrid(saved, "y_x"), "x_variable_")(0), 1.0f);
}

// qz-inspect end to end: the description as text and JSON, the XDMF file and the PNG preview.
#include "tests/e2e/E2eSupport.hpp"

#include "convlib/MyStorage.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <random>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

class InspectConverter : public testing::Test {
protected:
    void SetUp() override {
        for (const char* file : {"hill.qz", "far1.qz"})
            Dir.write(file, readFile(convertedTree() / file));
        Fields = describe(Dir / "far1.qz");
        ASSERT_FALSE(Fields.empty());
    }

    TempDir Dir;
    Stored Fields;
};

// The numbers of the JSON list that follows the key after the given place.
std::vector<double> jsonNumbers(const std::string& json, const std::string& key, std::size_t from) {
    std::vector<double> numbers;
    const char* next = json.data() + json.find("\"" + key + "\":[", from) + key.size() + 4;
    for (double value; *next != ']'; next += *next == ',') {
        next = std::from_chars(next, json.data() + json.size(), value).ptr;
        numbers.push_back(value);
    }
    return numbers;
}

} // namespace

TEST_F(InspectConverter, DescribesForPeopleAndAsJsonWithExactNumbers) {
    RunResult text = run(QZ_INSPECT, {"far1.qz"}, Dir.path());
    ASSERT_EQ(text.Status, 0) << text.Err;
    for (const char* expected :
         {"Time step 0\n  Grid far1\n",
          "    Field Height: float64, 5 x 1 component(s), stored "
          "float32, compact\n",
          "Attribute Kestrelon::Provenience:\n      | Converter name: qz-pointcloud",
          "Attribute qz-pointcloudSuccessful?:"})
        EXPECT_NE(text.Out.find(expected), std::string::npos) << expected << "\n" << text.Out;

    RunResult json = run(QZ_INSPECT, {"far1.qz", "--json"}, Dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    EXPECT_TRUE(isValidJson(json.Out)) << json.Out;
    EXPECT_NE(
        json.Out.find("{\"name\":\"Height\",\"type\":\"float64\",\"size\":5,\"components\":1"),
        std::string::npos);
    const Plexa::StoredField& positions = findStored(Fields, "far1", "Positions");
    const std::size_t at = json.Out.find("\"path\":\"/000000/far1/Positions\"");
    ASSERT_NE(at, std::string::npos) << json.Out;
    EXPECT_TRUE(positions.Shift.empty()) << "lossless by default";
    EXPECT_EQ(jsonNumbers(json.Out, "shift", at), positions.Shift);
    EXPECT_EQ(json.Out.find("\"layout\":\"compact\"", at), json.Out.find("\"layout\"", at));
}

// The data item that reads the stored field from the file, as the XDMF file names it.
std::string hdfItem(const Plexa::StoredField& field, const std::string& file) {
    std::string shape = std::to_string(field.Shape[0]);
    if (field.Shape.size() > 1) shape += " " + std::to_string(field.Shape[1]);
    return "<DataItem Dimensions=\"" + shape + "\" NumberType=\"Float\" Precision=\"" +
           (field.StoredType == "float32" ? "4" : "8") + "\" Format=\"HDF\">" + file + ":" +
           field.Path + "</DataItem>";
}

TEST_F(InspectConverter, XdmfReadsShiftedFieldsFromAnExactSidecar) {
    Quorix::StrongPtr<ConvLib::MyStorage> single(new ConvLib::MyStorage(4, false, false, false));
    single->Precision.askSinglePrecision({Plexa::PositionsField});
    ASSERT_TRUE(Plexa::writeBundleFile(*loadBundle(Dir / "far1.qz"), Dir / "far1.qz", single));
    Fields = describe(Dir / "far1.qz");
    std::filesystem::create_directory(Dir / "views");
    RunResult result = run(QZ_INSPECT, {"far1.qz", "--xdmf", "views/far1.xmf"}, Dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string xml = readFile(Dir / "views/far1.xmf");
    EXPECT_TRUE(isValidXml(Dir / "views/far1.xmf")) << xml;
    EXPECT_NE(xml.find("TopologyType=\"Polyvertex\" NumberOfElements=\"5\""), std::string::npos);
    EXPECT_EQ(xml.find("Function"), std::string::npos) << xml;

    // the sidecar holds the shifted Positions as loaded, in double; Height comes from the bundle
    const std::string sidecar = Dir / "views/far1.xmf.h5";
    const Stored unshifted = describe(sidecar);
    ASSERT_EQ(unshifted.size(), 1u);
    EXPECT_EQ(unshifted[0].StoredType, "float64");
    EXPECT_TRUE(unshifted[0].Shift.empty());
    EXPECT_NE(xml.find("<Geometry GeometryType=\"XYZ\">" + hdfItem(unshifted[0], "far1.xmf.h5")),
              std::string::npos)
        << xml;
    EXPECT_NE(xml.find(hdfItem(findStored(Fields, "far1", "Height"), "../far1.qz")),
              std::string::npos)
        << xml;
    const auto values = [](const std::string& file) {
        const Plexa::BundlePtr bundle = loadBundle(file);
        const Plexa::Field* positions =
            bundle->findSlice(0)->findGrid("far1")->findField("Positions");
        const auto& array = dynamic_cast<const Plexa::MemArray<double>&>(*positions->Data);
        return std::vector<double>(array.data(), array.data() + array.elementCount());
    };
    // a bundle file in all but its name, which keeps it out of the programs' inputs
    std::filesystem::copy_file(sidecar, Dir / "sidecar.qz");
    EXPECT_EQ(values(Dir / "sidecar.qz"), values(Dir / "far1.qz"));
}

TEST(InspectXdmf, UnshiftedBundleNeedsNoSidecar) {
    TempDir dir;
    dir.write("exact.csv", "x,y,z\n1000000.01,2,3\n1000000.02,5,6\n");
    ASSERT_EQ(run(QZ_POINTCLOUD, {"exact.csv", "--compression", "-1"}, dir.path()).Status, 0);
    RunResult result = run(QZ_INSPECT, {"exact.qz", "--xdmf", "exact.xmf"}, dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string xml = readFile(dir / "exact.xmf");
    EXPECT_NE(
        xml.find(hdfItem(findStored(describe(dir / "exact.qz"), "exact", "Positions"), "exact.qz")),
        std::string::npos)
        << xml;
    EXPECT_FALSE(std::filesystem::exists(dir / "exact.xmf.h5"));
}

// Coordinates near 10^6 at centimetre resolution over 400 m, GPS times to the microsecond.
std::string surveyCloud(std::size_t points) {
    std::mt19937 random(7);
    std::uniform_int_distribution<long> centimetres(0, 40000);
    std::string text = "x,y,z,GpsTime\n";
    char line[128];
    for (std::size_t i = 0; i < points; ++i) {
        std::snprintf(line, sizeof line, "%.2f,%.2f,%.2f,%.6f\n",
                      1234567.0 + centimetres(random) / 100.0,
                      5432100.0 + centimetres(random) / 100.0, 250.0 + centimetres(random) / 1000.0,
                      321654987.0 + static_cast<double>(i) * 1e-4);
        text += line;
    }
    return text;
}

TEST(InspectXdmfInParaView, EveryReaderShowsTheBundleAtDoublePrecision) {
    if (!found(CONVLIB_PVPYTHON)) GTEST_SKIP() << "pvpython (Debian's paraview) is not installed";
    TempDir dir;
    dir.write("survey.csv", surveyCloud(20000));
    ASSERT_EQ(run(QZ_POINTCLOUD, {"survey.csv", "--single-precision"}, dir.path()).Status, 0);
    RunResult json = run(QZ_INSPECT, {"survey.qz", "--json", "--xdmf", "survey.xmf"}, dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    ASSERT_FALSE(findStored(describe(dir / "survey.qz"), "survey", "Positions").Shift.empty());
    dir.write("reference.json", json.Out);
    RunResult check = run(CONVLIB_PVPYTHON,
                          {"--force-offscreen-rendering",
                           std::string(CONVLIB_SOURCE_DIR) + "/scripts/check-xdmf.py", "survey.xmf",
                           "reference.json", "--input", "survey.csv", "--tolerance", "1e-4"},
                          dir.path());
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    std::cout << check.Out;
}

// The PNG the run wrote, or a failed test.
Image previewOf(const TempDir& dir, const std::vector<std::string>& arguments) {
    Image image;
    RunResult result = run(QZ_INSPECT, arguments, dir.path());
    EXPECT_EQ(result.Status, 0) << result.Err;
    EXPECT_TRUE(readPng(dir / arguments[2], image)) << arguments[2];
    return image;
}

TEST_F(InspectConverter, DrawsPreviewsOfEveryViewAndSize) {
    struct Case {
        std::vector<std::string> Options;
        unsigned Width, Height;
    };
    const Case cases[] = {{{}, 800, 600},
                          {{"--view", "side"}, 800, 600},
                          {{"--size", "320x200", "--field", "intensity"}, 320, 200},
                          {{"--size", "30x20"}, 30, 20}}; // too small for a title: points only
    std::vector<std::vector<std::uint8_t>> pictures;
    for (const Case& view : cases) {
        std::vector<std::string> arguments{"hill.qz", "--preview", "p.png"};
        arguments.insert(arguments.end(), view.Options.begin(), view.Options.end());
        const Image image = previewOf(Dir, arguments);
        EXPECT_EQ(image.Width, view.Width);
        EXPECT_EQ(image.Height, view.Height);
        EXPECT_GT(std::count_if(image.Rgb.begin(), image.Rgb.end(),
                                [](std::uint8_t channel) { return channel != 255; }),
                  std::ptrdiff_t(image.Rgb.size() / 50))
            << testing::PrintToString(view.Options);
        pictures.push_back(image.Rgb);
    }
    EXPECT_NE(pictures[0], pictures[1]); // the side view is not the top view
}

TEST(InspectPreview, ColoursByHeightElseByTheFirstScalarField) {
    TempDir dir;
    dir.write("plain.csv", "x,y,z,b,a\n0,0,1,5,2\n1,0,2,6,3\n0,1,3,7,1\n");
    ASSERT_EQ(run(QZ_POINTCLOUD, {"plain.csv", "--fields", "Positions,a,b"}, dir.path()).Status, 0);
    dir.write("tall.csv", "x,y,z,b\n0,0,1,5\n1,0,2,6\n0,1,3,7\n");
    ASSERT_EQ(run(QZ_POINTCLOUD, {"tall.csv"}, dir.path()).Status, 0);
    for (const auto& [file, field] : {std::pair{"plain.qz", "a"}, std::pair{"tall.qz", "Height"}})
        EXPECT_EQ(previewOf(dir, {file, "--preview", "default.png"}).Rgb,
                  previewOf(dir, {file, "--preview", "named.png", "--field", field}).Rgb)
            << file;

    ASSERT_EQ(
        run(QZ_POINTCLOUD, {"plain.csv", "-o", "bare.qz", "--fields", "Positions"}, dir.path())
            .Status,
        0);
    RunResult bare = run(QZ_INSPECT, {"bare.qz", "--preview", "bare.png"}, dir.path());
    EXPECT_EQ(bare.Status, 1);
    EXPECT_NE((bare.Out + bare.Err)
                  .find("no point cloud of the first time step has a field of one "
                        "value per point; name one with --field"),
              std::string::npos)
        << bare.Out << bare.Err;
    EXPECT_FALSE(std::filesystem::exists(dir / "bare.png"));
}

TEST(InspectOddNames, EscapesNamesInJsonAndXml) {
    TempDir dir;
    const std::string name = "a \"quoted\" & <odd> 'name'\\";
    dir.write(name + ".csv", "x,y,z,t\\ab\n0,0,1,2\n1,0,2,3\n");
    ASSERT_EQ(run(QZ_POINTCLOUD, {name + ".csv"}, dir.path()).Status, 0);
    RunResult json = run(QZ_INSPECT, {name + ".qz", "--json", "--xdmf", "odd.xmf"}, dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    EXPECT_TRUE(isValidJson(json.Out)) << json.Out;
    EXPECT_NE(json.Out.find("\"name\":\"a \\\"quoted\\\" & <odd> 'name'\\\\\""), std::string::npos)
        << json.Out;
    EXPECT_TRUE(isValidXml(dir / "odd.xmf"));
}

// Grids of three, two and one axis, rectilinear and uniform, beside each other in one time step.
class InspectStructured : public testing::Test {
protected:
    void SetUp() override {
        Plexa::Bundle bundle;
        Plexa::SlicePtr slice = bundle.addSlice(0);
        auto stress = Plexa::makeArray<std::int16_t>(30, 6); // more than a vector: a matrix
        for (std::size_t i = 0; i < stress->elementCount(); ++i)
            stress->data()[i] = static_cast<std::int16_t>(i % 7 * 11 - 30);
        addStructuredGrid(*slice, "rect", {2, 3, 5}, false)->addField("Stress", stress);
        addStructuredGrid(*slice, "flat", {3, 4}, true);
        addStructuredGrid(*slice, "line", {7}, true);
        auto storage = makeTestStorage();
        storage->Answer = automaticSettings(true, true); // shifted: the XDMF needs a sidecar
        storage->Answer.DeflateLevel = 3;
        storage->DeflateFields = storage->ShuffleFields = true;
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, Dir / "grids.qz", storage));
    }

    TempDir Dir;
};

TEST_F(InspectStructured, ShowsExtentsAndAxesAsTextAndJson) {
    RunResult text = run(QZ_INSPECT, {"grids.qz"}, Dir.path());
    ASSERT_EQ(text.Status, 0) << text.Err;
    for (const char* expected :
         {"  Grid flat\n    Structured grid: 3 x 4 = 12 nodes, last axis fastest\n"
          "    Axis latitude: 3 node(s), uniform, origin 5, spacing -0.5\n"
          "    Axis longitude: 4 node(s), uniform, origin 15, spacing 0.25\n",
          "    Structured grid: 7 nodes, last axis fastest\n",
          "    Axis level: 2 node(s), rectilinear, -5 .. -4.725\n",
          "    Field Temperature: float32, 30 x 1 component(s), stored float32, chunked, "
          "deflate level 3, shuffle\n"
          "      Attribute units:\n        | K\n"})
        EXPECT_NE(text.Out.find(expected), std::string::npos) << expected << "\n" << text.Out;

    RunResult json = run(QZ_INSPECT, {"grids.qz", "--json"}, Dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    EXPECT_TRUE(isValidJson(json.Out)) << json.Out;
    for (const char* expected :
         {"{\"name\":\"flat\",\"nodes\":12,\"axes\":[{\"name\":\"latitude\",\"extent\":3,"
          "\"uniform\":true,\"origin\":5,\"spacing\":-0.5},",
          "{\"name\":\"level\",\"extent\":2,\"uniform\":false,\"first\":-5,\"last\":-4.725}",
          "\"attributes\":{\"Shift\":[1,2],\"valid_range\":[-50,50]}}"})
        EXPECT_NE(json.Out.find(expected), std::string::npos) << expected << "\n" << json.Out;
}

TEST_F(InspectStructured, XdmfDescribesThreeDimensionalMeshesOfTheAxes) {
    RunResult result = run(QZ_INSPECT, {"grids.qz", "--xdmf", "grids.xmf"}, Dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    EXPECT_TRUE(isValidXml(Dir / "grids.xmf"));
    const std::string xml = readFile(Dir / "grids.xmf");
    for (const char* expected :
         {"<Topology TopologyType=\"3DRectMesh\" Dimensions=\"2 3 5\"/>",
          "<Topology TopologyType=\"3DCoRectMesh\" Dimensions=\"1 3 4\"/>\n"
          "        <Geometry GeometryType=\"ORIGIN_DXDYDZ\"><DataItem Dimensions=\"3\" "
          "NumberType=\"Float\" Precision=\"8\" Format=\"XML\">0 5 15</DataItem><DataItem "
          "Dimensions=\"3\" NumberType=\"Float\" Precision=\"8\" Format=\"XML\">1 -0.5 0.25",
          "<Topology TopologyType=\"3DCoRectMesh\" Dimensions=\"1 1 7\"/>",
          "<Attribute Name=\"Stress\" AttributeType=\"Matrix\" Center=\"Node\"><DataItem "
          "Dimensions=\"2 3 5 6\" NumberType=\"Int\" Precision=\"2\" "
          "Format=\"HDF\">grids.qz:/000000/rect/Stress</DataItem>",
          "<Attribute Name=\"Wind\" AttributeType=\"Vector\" Center=\"Node\"><DataItem "
          "Dimensions=\"1 3 4 3\" NumberType=\"Float\" Precision=\"8\" "
          "Format=\"HDF\">grids.xmf.h5:/000000/flat/Wind</DataItem>",
          "Dimensions=\"2 3 5\" NumberType=\"Float\" Precision=\"4\" "
          "Format=\"HDF\">grids.qz:/000000/rect/Temperature</DataItem>"})
        EXPECT_NE(xml.find(expected), std::string::npos) << expected << "\n" << xml;
}

TEST_F(InspectStructured, EveryParaViewReaderShowsTheMeshesWithTheirBoundsAndValues) {
    if (!found(CONVLIB_PVPYTHON)) GTEST_SKIP() << "pvpython (Debian's paraview) is not installed";
    RunResult json = run(QZ_INSPECT, {"grids.qz", "--json", "--xdmf", "grids.xmf"}, Dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    Dir.write("reference.json", json.Out);
    RunResult check = run(CONVLIB_PVPYTHON,
                          {"--force-offscreen-rendering",
                           std::string(CONVLIB_SOURCE_DIR) + "/scripts/check-xdmf.py", "grids.xmf",
                           "reference.json", "--tolerance", "1e-6"},
                          Dir.path());
    EXPECT_EQ(check.Status, 0) << check.Out << check.Err;
    std::cout << check.Out;
}

// The mean brightness of the first and of the last pixel row that holds colours of the map (no
// greys), left of the colour bar.
std::pair<double, double> topAndBottomBrightness(const Image& image) {
    std::vector<double> rows;
    for (unsigned y = 0; y < image.Height; ++y) {
        double sum = 0;
        unsigned count = 0;
        for (unsigned x = 0; x < image.Width / 2; ++x) {
            const std::uint8_t* pixel = &image.Rgb[(std::size_t(y) * image.Width + x) * 3];
            if (pixel[0] == pixel[1] && pixel[1] == pixel[2]) continue;
            sum += pixel[0] + pixel[1] + pixel[2];
            ++count;
        }
        if (count > 0) rows.push_back(sum / count);
    }
    return rows.empty() ? std::pair{0.0, 0.0} : std::pair{rows.front(), rows.back()};
}

TEST_F(InspectStructured, PreviewDrawsASliceWithTheRowAxisUpAndRefusesOneAxis) {
    // flat comes first; its latitudes decrease, so its first row (the least values) is on top
    const Image image = previewOf(Dir, {"grids.qz", "--preview", "p.png", "--size", "240x180"});
    EXPECT_EQ(image.Width, 240u);
    EXPECT_EQ(image.Height, 180u);
    const auto [top, bottom] = topAndBottomBrightness(image);
    EXPECT_LT(top, bottom) << "least values dark on top";
    EXPECT_NE(previewOf(Dir, {"grids.qz", "--preview", "w.png", "--field", "Wind"}).Rgb,
              previewOf(Dir, {"grids.qz", "--preview", "t.png"}).Rgb);

    Plexa::Bundle line;
    addStructuredGrid(*line.addSlice(0), "line", {7}, true);
    ASSERT_TRUE(Plexa::writeBundleFile(line, Dir / "line.qz", {}));
    RunResult refused = run(QZ_INSPECT, {"line.qz", "--preview", "line.png"}, Dir.path());
    EXPECT_EQ(refused.Status, 1);
    EXPECT_NE(refused.Err.find("the grid line that holds Temperature has one axis; a preview "
                               "draws grids of two or three axes"),
              std::string::npos)
        << refused.Err;
    EXPECT_FALSE(std::filesystem::exists(Dir / "line.png"));
}

// qz-inspect end to end: the description as text and JSON, the XDMF file and the PNG preview.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

class InspectConverter : public testing::Test {
protected:
    void SetUp() override {
        copySamples(Dir, {"hill.csv"});
        ASSERT_EQ(run(QZ_POINTCLOUD, {"hill.csv"}, Dir.path()).Status, 0);
        std::string error;
        ASSERT_TRUE(Plexa::describeFile(Dir / "hill.qz", Stored, error)) << error;
    }

    TempDir Dir;
    std::vector<Plexa::StoredField> Stored;
};

} // namespace

TEST_F(InspectConverter, DescribesFieldsStorageAndAttributes) {
    RunResult text = run(QZ_INSPECT, {"hill.qz"}, Dir.path());
    ASSERT_EQ(text.Status, 0) << text.Err;
    for (const char* expected :
         {"Time step 0\n", "  Grid hill\n",
          "    Field Height: float64, 144 x 1 component(s), stored float32",
          "Attribute Kestrelon::Provenience:\n      | Converter name: qz-pointcloud",
          "Attribute qz-pointcloudSuccessful?:"})
        EXPECT_NE(text.Out.find(expected), std::string::npos) << expected << "\n" << text.Out;
    EXPECT_NE(text.Err.find("qz-inspect: Execution Time: "), std::string::npos);

    RunResult json = run(QZ_INSPECT, {"hill.qz", "--json"}, Dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    if (pythonAvailable()) {
        EXPECT_TRUE(isValidJson(json.Out)) << json.Out;
    }
    for (const char* expected :
         {"\"name\":\"Height\",\"type\":\"float64\",\"size\":144,\"components\":1,\"stored\":true,"
          "\"path\":\"/000000/hill/Height\",\"storedType\":\"float32\"",
          "\"Kestrelon::Provenience\":[\"Converter name: qz-pointcloud \\nVersion: 1.0\\n"})
        EXPECT_NE(json.Out.find(expected), std::string::npos) << expected << "\n" << json.Out;
}

TEST_F(InspectConverter, WritesValidXdmfNamingEverySavedField) {
    std::filesystem::create_directory(Dir / "views");
    RunResult result = run(QZ_INSPECT, {"hill.qz", "--xdmf", "views/hill.xmf"}, Dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string xml = readFile(Dir / "views/hill.xmf");
    if (std::string(CONVLIB_XMLLINT).find("NOTFOUND") == std::string::npos) {
        EXPECT_EQ(run(CONVLIB_XMLLINT, {"--noout", Dir / "views/hill.xmf"}).Status, 0) << xml;
    }
    EXPECT_NE(xml.find("CollectionType=\"Temporal\""), std::string::npos);
    EXPECT_NE(xml.find("TopologyType=\"Polyvertex\" NumberOfElements=\"144\""), std::string::npos);
    ASSERT_FALSE(Stored.empty());
    for (const Plexa::StoredField& field : Stored) {
        std::string shape = std::to_string(field.Shape[0]);
        if (field.Shape.size() > 1) shape += " " + std::to_string(field.Shape[1]);
        const std::string item = "<DataItem Dimensions=\"" + shape +
                                 "\" NumberType=\"Float\" Precision=\"" +
                                 (field.StoredType == "float32" ? "4" : "8") +
                                 "\" Format=\"HDF\">../hill.qz:" + field.Path + "</DataItem>";
        EXPECT_NE(xml.find(item), std::string::npos) << item << "\n" << xml;
    }
}

TEST_F(InspectConverter, DrawsAPreviewOfTheRequestedSize) {
    RunResult result = run(
        QZ_INSPECT, {"hill.qz", "--preview", "top.png", "--field", "Height", "--size", "320x200"},
        Dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    Image image;
    ASSERT_TRUE(readPng(Dir / "top.png", image));
    EXPECT_EQ(image.Width, 320u);
    EXPECT_EQ(image.Height, 200u);
    const auto coloured = std::count_if(image.Rgb.begin(), image.Rgb.end(),
                                        [](std::uint8_t channel) { return channel != 255; });
    EXPECT_GT(coloured, 1000);
}

TEST_F(InspectConverter, ReportsWhatItCannotDo) {
    RunResult unknownField =
        run(QZ_INSPECT, {"hill.qz", "--preview", "top.png", "--field", "Nope"}, Dir.path());
    EXPECT_NE(unknownField.Status, 0);
    EXPECT_NE(unknownField.Err.find("Cannot write the preview top.png"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Dir / "top.png"));

    EXPECT_NE(run(QZ_INSPECT, {"hill.qz", "--preview", "top.png"}, Dir.path()).Status, 0);
    EXPECT_NE(run(QZ_INSPECT,
                  {"hill.qz", "--preview", "a.png", "--field", "Height", "--size", "0x5"},
                  Dir.path())
                  .Status,
              0);
    RunResult missing = run(QZ_INSPECT, {"nothere.qz", "--json"}, Dir.path());
    EXPECT_NE(missing.Status, 0);
    EXPECT_EQ(missing.Out, "");
    EXPECT_NE(missing.Err.find("Cannot load this bundle: nothere.qz"), std::string::npos);
}

TEST(InspectOddNames, EscapesNamesInJsonAndXml) {
    TempDir dir;
    const std::string name = "a \"quoted\" & <odd> 'name'\\";
    dir.write(name + ".csv", "x,y,z,t\\ab\n0,0,1,2\n1,0,2,3\n");
    ASSERT_EQ(run(QZ_POINTCLOUD, {name + ".csv"}, dir.path()).Status, 0);
    RunResult json = run(QZ_INSPECT, {name + ".qz", "--json", "--xdmf", "odd.xmf"}, dir.path());
    ASSERT_EQ(json.Status, 0) << json.Err;
    if (pythonAvailable()) {
        EXPECT_TRUE(isValidJson(json.Out)) << json.Out;
    }
    EXPECT_NE(json.Out.find("\"name\":\"a \\\"quoted\\\" & <odd> 'name'\\\\\""), std::string::npos)
        << json.Out;
    if (std::string(CONVLIB_XMLLINT).find("NOTFOUND") == std::string::npos) {
        EXPECT_EQ(run(CONVLIB_XMLLINT, {"--noout", dir / "odd.xmf"}).Status, 0)
            << readFile(dir / "odd.xmf");
    }
}

// qz-inspect end to end: the description as text and JSON, the XDMF file and the PNG preview.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <filesystem>

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
    ASSERT_EQ(positions.Shift.size(), 3u);
    EXPECT_EQ(jsonNumbers(json.Out, "shift", at), positions.Shift);
    EXPECT_EQ(json.Out.find("\"layout\":\"compact\"", at), json.Out.find("\"layout\"", at));
}

TEST_F(InspectConverter, WritesValidXdmfNamingEverySavedField) {
    std::filesystem::create_directory(Dir / "views");
    RunResult result = run(QZ_INSPECT, {"far1.qz", "--xdmf", "views/far1.xmf"}, Dir.path());
    ASSERT_EQ(result.Status, 0) << result.Err;
    const std::string xml = readFile(Dir / "views/far1.xmf");
    EXPECT_TRUE(isValidXml(Dir / "views/far1.xmf")) << xml;
    EXPECT_NE(xml.find("TopologyType=\"Polyvertex\" NumberOfElements=\"5\""), std::string::npos);
    for (const Plexa::StoredField& field : Fields) {
        std::string shape = std::to_string(field.Shape[0]);
        if (field.Shape.size() > 1) shape += " " + std::to_string(field.Shape[1]);
        const std::string item = "<DataItem Dimensions=\"" + shape +
                                 "\" NumberType=\"Float\" Precision=\"" +
                                 (field.StoredType == "float32" ? "4" : "8") +
                                 "\" Format=\"HDF\">../far1.qz:" + field.Path + "</DataItem>";
        EXPECT_NE(xml.find(item), std::string::npos) << item << "\n" << xml;
    }
    // the geometry adds each coordinate's shift back, exactly as stored
    std::vector<double> shifts;
    const std::string term = "Function=\"$0 + ";
    for (std::size_t at = xml.find(term); at != std::string::npos; at = xml.find(term, at + 1)) {
        double shift = 0;
        std::from_chars(xml.data() + at + term.size(), xml.data() + xml.size(), shift);
        shifts.push_back(shift);
    }
    EXPECT_EQ(shifts, findStored(Fields, "far1", "Positions").Shift) << xml;
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
    EXPECT_GT(std::count_if(image.Rgb.begin(), image.Rgb.end(),
                            [](std::uint8_t channel) { return channel != 255; }),
              1000);
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

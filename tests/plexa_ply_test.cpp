// PLY point clouds from a small writer here, in every encoding and with lists and other elements
// around the vertices: positions and fields exact; hostile headers refused, nothing loaded.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <filesystem>
#include <map>
#include <type_traits>

namespace {

using ConvLibTest::Names;

struct PlyProperty {
    std::string Type;
    std::string Name;
    std::string CountType = ""; // set for a list
};

// A record holds its values in property order; a list's are its count, then its items.
struct PlyElement {
    std::string Name;
    std::vector<PlyProperty> Properties;
    std::vector<std::vector<double>> Records;
};

// Calls visit with a value of the C++ type that the PLY type name stands for.
template <class Visit> void withPlyType(const std::string& type, Visit&& visit) {
    if (type == "char" || type == "int8") return visit(std::int8_t(), "int8");
    if (type == "uchar" || type == "uint8") return visit(std::uint8_t(), "uint8");
    if (type == "short" || type == "int16") return visit(std::int16_t(), "int16");
    if (type == "ushort" || type == "uint16") return visit(std::uint16_t(), "uint16");
    if (type == "int" || type == "int32") return visit(std::int32_t(), "int32");
    if (type == "uint" || type == "uint32") return visit(std::uint32_t(), "uint32");
    if (type == "float" || type == "float32") return visit(float(), "float32");
    ASSERT_TRUE(type == "double" || type == "float64") << type;
    visit(double(), "float64");
}

// What the value becomes in the file's type.
double asStored(const std::string& type, double value) {
    double stored = 0;
    withPlyType(type, [&](auto sample, const char*) {
        stored = static_cast<double>(static_cast<decltype(sample)>(value));
    });
    return stored;
}

void appendValue(std::string& body, const std::string& format, const std::string& type,
                 double value) {
    if (format == "ascii") {
        char text[32];
        withPlyType(type, [&](auto sample, const char*) {
            const auto typed = static_cast<decltype(sample)>(value);
            // integers as such: the shortest form of a double may hold an exponent
            const auto printed = std::conditional_t<std::is_integral_v<decltype(sample)>, long long,
                                                    decltype(sample)>(typed);
            body.append(text, std::to_chars(text, text + sizeof text, printed).ptr) += ' ';
        });
        return;
    }
    withPlyType(type, [&](auto sample, const char*) {
        const auto typed = static_cast<decltype(sample)>(value);
        char bytes[sizeof typed];
        std::memcpy(bytes, &typed, sizeof typed);
        if (format == "binary_big_endian") std::reverse(bytes, bytes + sizeof typed);
        body.append(bytes, sizeof typed);
    });
}

// Calls visit(type, value, scalar) for each value of the record: a list's count and items too.
template <class Visit>
void walkRecord(const PlyElement& element, const std::vector<double>& record, Visit&& visit) {
    auto value = record.begin();
    for (const PlyProperty& property : element.Properties) {
        if (property.CountType.empty()) {
            visit(property, property.Type, *value++, true);
            continue;
        }
        const auto items = static_cast<std::size_t>(*value);
        visit(property, property.CountType, *value++, false);
        for (std::size_t i = 0; i < items; ++i)
            visit(property, property.Type, *value++, false);
    }
}

std::string recordsOf(const PlyElement& element, const std::string& format, const char* lineEnd) {
    std::string body;
    for (const std::vector<double>& record : element.Records) {
        walkRecord(element, record,
                   [&](const PlyProperty&, const std::string& type, double value, bool) {
                       appendValue(body, format, type, value);
                   });
        if (format == "ascii") body += lineEnd;
    }
    return body;
}

std::string plyFile(const std::string& format, const std::vector<PlyElement>& elements,
                    const std::string& comments = "", const char* lineEnd = "\n") {
    std::string header = "ply" + std::string(lineEnd) + "format " + format + " 1.0" + lineEnd;
    std::string body;
    header += comments;
    for (const PlyElement& element : elements) {
        header +=
            "element " + element.Name + " " + std::to_string(element.Records.size()) + lineEnd;
        for (const PlyProperty& property : element.Properties)
            header += "property " +
                      (property.CountType.empty() ? "" : "list " + property.CountType + " ") +
                      property.Type + " " + property.Name + lineEnd;
        body += recordsOf(element, format, lineEnd);
    }
    return header + "end_header" + lineEnd + body;
}

// The values of an array of any element type, as doubles.
std::vector<double> valuesOf(const Plexa::MemBase& data) {
    std::vector<double> values;
    withPlyType(std::string(Plexa::elementTypeName(data.elementType())),
                [&](auto sample, const char*) {
                    const auto* typed = static_cast<const decltype(sample)*>(data.rawData());
                    values.assign(typed, typed + data.elementCount());
                });
    return values;
}

bool isAxis(const std::string& name) {
    return name == "x" || name == "y" || name == "z";
}

using Columns = std::map<std::string, std::vector<double>>;
using Types = std::map<std::string, std::string>;

// Every scalar vertex property as the grid should hold it: x, y and z in the positions, the
// others as fields of their own type.
void expectCloud(const Plexa::Grid& grid, const PlyElement& vertex, const std::string& label) {
    Types expectedTypes{{"Positions", "float64"}};
    for (const PlyProperty& property : vertex.Properties)
        if (property.CountType.empty() && !isAxis(property.Name))
            withPlyType(property.Type,
                        [&](auto, const char* name) { expectedTypes[property.Name] = name; });
    Columns expected;
    std::vector<double>& positions = expected["Positions"];
    for (const std::vector<double>& record : vertex.Records) {
        double position[3] = {};
        walkRecord(
            vertex, record,
            [&](const PlyProperty& property, const std::string& type, double value, bool scalar) {
                if (!scalar) return;
                if (isAxis(property.Name))
                    position[property.Name[0] - 'x'] = asStored(type, value);
                else
                    expected[property.Name].push_back(asStored(type, value));
            });
        positions.insert(positions.end(), position, position + 3);
    }
    Columns actual;
    Types types;
    for (const auto& [name, field] : grid.fields()) {
        actual[name] = valuesOf(*field.Data);
        types[name] = Plexa::elementTypeName(field.Data->elementType());
    }
    EXPECT_EQ(types, expectedTypes) << label;
    EXPECT_EQ(actual, expected) << label;
}

class PlyTest : public testing::Test {
protected:
    ConvLibTest::Loaded load(const std::string& name, const std::string& content) {
        return ConvLibTest::tryLoad(Dir.write(name, content));
    }

    // The grid a good file makes, named after it at time 0; null after a failed load.
    Plexa::GridPtr loadGrid(const std::string& content, const std::string& label) {
        const ConvLibTest::Loaded loaded = load("cloud.ply", content);
        EXPECT_EQ(loaded.Error, "") << label;
        const Plexa::SlicePtr slice = loaded.Bundle->findSlice(0.0);
        return slice ? slice->findGrid("cloud") : Plexa::GridPtr();
    }

    ConvLibTest::TempDir Dir;
};

const char* const Formats[] = {"ascii", "binary_little_endian", "binary_big_endian"};

const std::vector<PlyProperty> FloatXyz{{"float", "x"}, {"float", "y"}, {"float", "z"}};

PlyElement faces() {
    return {"face", {{"int", "vertex_indices", "uchar"}}, {{3, 0, 1, 2}, {4, 0, 1, 2, 3}}};
}

TEST_F(PlyTest, EveryEncodingAndTypeReadsExactlyPastListsAndOtherElements) {
    const std::vector<PlyProperty> everyType{
        {"double", "z"},    {"int", "y"},         {"uint", "x"},      {"char", "Char"},
        {"short", "Short"}, {"ushort", "UShort"}, {"int8", "Int8"},   {"uint8", "UInt8"},
        {"int16", "Int16"}, {"uint16", "UInt16"}, {"int32", "Int32"}, {"uint32", "UInt32"},
        {"float32", "F32"}, {"float64", "F64"}};
    const std::vector<std::vector<double>> extremes{
        {-0.1, -2147483648.0, 4294967295.0, -128, -32768, 65535, 127, 255, 32767, 0, 2147483647,
         4294967295.0, 0.1, 6378137.000123},
        {1e300, 7, 0, 0, 1, 2, 3, 4, 5, 6, -7, 8, -1e30, -0.0}};
    const PlyElement listsInVertex{"vertex",
                                   {{"float", "x"},
                                    {"float", "normal", "uchar"},
                                    {"float", "y"},
                                    {"float", "z"},
                                    {"uint8", "tags", "int"},
                                    {"ushort", "flag"}},
                                   {{1.5, 0, 2, -3, 2, 7, 8, 9}, {4, 3, 1, 2, 3, 5, 6, 0, 65535}}};
    const PlyElement before[] = {
        {"camera", {{"float", "view"}, {"uchar", "flag"}}, {{1.25, 1}, {2.5, 0}}},
        {"material", {{"float", "shine", "ushort"}}, {{2, 0.5, 0.25}, {0}}}};
    const struct {
        std::string Label;
        std::string Format;
        std::vector<PlyElement> Elements;
        std::string Note;
        const char* LineEnd;
    } cases[] = {
        {"colours and faces",
         "ascii",
         {{"vertex",
           {FloatXyz[0], FloatXyz[1], FloatXyz[2], {"uchar", "red"}, {"uchar", "green"}},
           {{1.5, -2.25, 3, 255, 0}, {0.1, 1e6, -7, 1, 2}}},
          faces()},
         "skipped: element face (2)",
         "\n"},
        {"every type", "binary_little_endian", {{"vertex", everyType, extremes}}, "", "\n"},
        {"every type", "binary_big_endian", {{"vertex", everyType, extremes}}, "", "\n"},
        {"every type, CRLF", "ascii", {{"vertex", everyType, extremes}}, "", "\r\n"},
        {"elements around the vertices",
         "binary_big_endian",
         {before[0],
          before[1],
          {"vertex", everyType, extremes},
          faces(),
          {"edge", {{"int", "from"}, {"int", "to"}}, {{0, 1}}}},
         "skipped: element camera (2), element material (2), element face (2), element edge (1)",
         "\n"},
    };
    for (const auto& test : cases) {
        const std::string label = test.Label + " in " + test.Format;
        const Plexa::GridPtr grid =
            loadGrid(plyFile(test.Format, test.Elements, "", test.LineEnd), label);
        ASSERT_TRUE(grid) << label;
        const auto vertex =
            std::find_if(test.Elements.begin(), test.Elements.end(),
                         [](const PlyElement& element) { return element.Name == "vertex"; });
        expectCloud(*grid, *vertex, label);
        EXPECT_EQ(ConvLibTest::textsOf(*grid, "PlyNote"),
                  test.Note.empty() ? Names() : Names{test.Note})
            << label;
    }
    for (const char* format : Formats) {
        const std::vector<PlyElement> elements{before[1], listsInVertex};
        const Plexa::GridPtr grid = loadGrid(plyFile(format, elements), format);
        ASSERT_TRUE(grid) << format;
        expectCloud(*grid, listsInVertex, std::string("lists in the vertex, ") + format);
        EXPECT_EQ(ConvLibTest::textsOf(*grid, "PlyNote"),
                  Names{"skipped: element material (2), vertex list normal, vertex list tags"});
    }
}

TEST_F(PlyTest, HeaderTextsBecomeAttributesAndOptionsNameTheGrid) {
    const PlyElement vertex{"vertex", FloatXyz, {{1, 2, 3}}};
    Plexa::ReadOptions named;
    named.GridName = "scan";
    named.Time = 2.5;
    const ConvLibTest::Loaded loaded =
        ConvLibTest::tryLoad(Dir.write("cloud.ply", plyFile("ascii", {vertex},
                                                            "comment made  by a test\ncomment\n"
                                                            "obj_info scanner 7\n")),
                             named);
    ASSERT_EQ(loaded.Error, "");
    const Plexa::GridPtr grid = loaded.Bundle->findSlice(2.5)->findGrid("scan");
    ASSERT_TRUE(grid);
    EXPECT_EQ(ConvLibTest::textsOf(*grid, "PlyComments"), (Names{"made  by a test", ""}));
    EXPECT_EQ(ConvLibTest::textsOf(*grid, "PlyObjInfo"), Names{"scanner 7"});
    EXPECT_EQ(ConvLibTest::textsOf(*grid, "PlyNote"), Names());
}

// Many records, so that records and lines cross the edges of the reader's buffer, and one line
// longer than it.
TEST_F(PlyTest, RecordsArriveWholeAcrossBufferEdges) {
    PlyElement fixed{"vertex", FloatXyz, {}};
    fixed.Properties.push_back({"uchar", "c"});
    fixed.Properties.push_back({"short", "d"});
    PlyElement listed{"vertex", FloatXyz, {}};
    listed.Properties.insert(listed.Properties.begin() + 1, {"short", "l", "uchar"});
    for (int i = 0; i < 75000; ++i) {
        const double x = i * 0.5, y = -i, z = i % 1000;
        fixed.Records.push_back(
            {x, y, z, static_cast<double>(i % 256), static_cast<double>(i % 30000)});
        listed.Records.push_back({x, static_cast<double>(i % 3), 1, 2, 3});
        listed.Records.back().resize(1 + 1 + i % 3);
        listed.Records.back().insert(listed.Records.back().end(), {y, z});
    }
    for (const char* format : {"binary_little_endian", "binary_big_endian"})
        for (const PlyElement* vertex : {&fixed, &listed}) {
            const std::string label = format + std::string(vertex == &fixed ? " fixed" : " listed");
            const Plexa::GridPtr grid = loadGrid(plyFile(format, {*vertex}), label);
            ASSERT_TRUE(grid) << label;
            expectCloud(*grid, *vertex, label);
        }
    PlyElement longLine{"vertex", FloatXyz, {{1, 600000}, {4, 0, 5, 6}}};
    longLine.Properties.insert(longLine.Properties.begin() + 1, {"short", "l", "int"});
    longLine.Records[0].resize(2 + 600000, 7);
    longLine.Records[0].insert(longLine.Records[0].end(), {2, 3});
    const Plexa::GridPtr grid = loadGrid(plyFile("ascii", {longLine}), "long line");
    ASSERT_TRUE(grid);
    expectCloud(*grid, longLine, "long line");
}

std::string zeros(std::size_t bytes) {
    return std::string(bytes, '\0');
}

TEST_F(PlyTest, HostileOrBrokenFilesAreRefusedWithTheirCause) {
    const std::string binary = "ply\nformat binary_little_endian 1.0\n";
    const std::string ascii = "ply\nformat ascii 1.0\n";
    const std::string xyz = "property float x\nproperty float y\nproperty float z\n";
    const std::string vertex = "element vertex 1\n" + xyz;
    const std::string faces = "element face 2\nproperty list uchar int vertex_indices\n";
    std::string endless = binary;
    while (endless.size() < 70000)
        endless += "comment a header that never ends\n";
    const struct {
        const char* Name;
        std::string Content;
        const char* Cause;
    } cases[] = {
        {"empty", "", "not a PLY file (no \"ply\" line)"},
        {"text", "x y z\n1 2 3\n", "not a PLY file (no \"ply\" line)"},
        {"format", "ply\nformat binary_middle_endian 1.0\n",
         "header line 2: unknown format \"binary_middle_endian\" (known: ascii, "},
        {"version", "ply\nformat ascii 2.0\n", "unsupported version \"2.0\", not 1.0"},
        {"no_format", "ply\n" + vertex + "end_header\n1 2 3\n", "no format line in the header"},
        {"type", binary + "element vertex 1\nproperty float16 x\n",
         "header line 4: unknown type \"float16\" of property \"x\""},
        {"float_count", binary + vertex + "property list float int n\n",
         "list \"n\" is counted in float; counts must be integers"},
        {"keyword", binary + "colour red\n", "header line 3: unknown keyword \"colour\""},
        {"orphan", binary + "property float x\n", "header line 3: a property before any element"},
        {"endless", endless, "no end_header within the first 65536 bytes"},
        {"unended", binary + vertex, "no end_header within the first 65536 bytes"},
        {"end_words", binary + vertex + "end_header now\n",
         "header line 7: words after end_header"},
        {"control", binary + "comment \x1b[2J\n", "header line 3: control bytes in the header"},
        {"no_vertex", binary + faces + "end_header\n" + zeros(2),
         "no vertex element, so no points (elements: face)"},
        {"no_z", binary + "element vertex 1\nproperty float x\nproperty float y\nend_header\n",
         "the vertex element has no property z (properties: x, y)"},
        {"list_x",
         binary + "element vertex 1\nproperty list uchar float x\n" + xyz.substr(17) +
             "end_header\n" + zeros(9),
         "vertex property x is a list, not a number"},
        {"twice", binary + vertex + "property uchar y\n",
         "header line 7: vertex property \"y\" appears twice"},
        {"positions", binary + vertex + "property float Positions\n",
         "a vertex property named \"Positions\" would replace the positions"},
        {"two_vertex", binary + vertex + vertex, "header line 7: a second vertex element"},
        {"no_points", binary + "element vertex 0\n" + xyz + "end_header\n",
         "no points (element vertex has 0 records)"},
        {"count", binary + "element vertex -3\n", "bad count \"-3\" for element vertex"},
        {"bare_element", binary + "element camera 5\n" + vertex + "end_header\n" + zeros(12),
         "element camera has records but no properties"},
        {"absurd", binary + "element vertex 1000000000000\n" + xyz + "end_header\n" + zeros(24),
         "the body holds 24 of 12000000000000 bytes the header describes"},
        {"overflow", binary + "element vertex 18446744073709551615\n" + xyz + "end_header\n",
         "the body holds 0 of more than 2^64 bytes the header describes"},
        {"short", binary + "element vertex 3\n" + xyz + "end_header\n" + zeros(30),
         "the body holds 30 of 36 bytes the header describes"},
        {"short_faces", binary + vertex + faces + "end_header\n" + zeros(13),
         "the body holds 13 of at least 14 bytes the header describes"},
        {"ascii_absurd", ascii + "element vertex 1000000\n" + xyz + "end_header\n1 2 3\n",
         "the header describes 3000000 values, more than the body's 6 bytes can hold"},
        {"long_list", binary + vertex + faces + "end_header\n" + zeros(12) + "\xff" + zeros(13),
         "list vertex_indices of 255 items runs past the end of the file"},
        {"negative_list",
         binary + vertex + "element face 1\nproperty list char int vertex_indices\nend_header\n" +
             zeros(12) + "\xff",
         "list vertex_indices has a count of -1"},
        {"ends_in_faces",
         binary + vertex + faces + "property int flag\nend_header\n" + zeros(12) + "\x02" +
             zeros(12) + "\x00",
         "the file ends inside element face, in record 2 of 2"},
        {"trailing", binary + vertex + "end_header\n" + zeros(17),
         "bytes after the last element (5 of them): the header does not describe the whole body"},
        {"bad_number", ascii + "element vertex 2\n" + xyz + "end_header\n1 2 3\n4 abc 6\n",
         "line 9: bad number \"abc\" for float property y"},
        {"range", ascii + vertex + "property uchar red\nend_header\n1 2 3 300\n",
         "line 9: bad number \"300\" for uchar property red"},
        {"few", ascii + vertex + "end_header\n1 22\n", "line 8: expected 3 values, found 2"},
        {"many", ascii + vertex + "end_header\n1 2 3 4\n", "line 8: expected 3 values, found 4"},
        {"list_items", ascii + vertex + faces + "end_header\n0 0 0\n3 0 1\n",
         "line 11: list vertex_indices holds 3 items, the line ends after 2"},
        {"list_count", ascii + vertex + faces + "end_header\n0 0 0\n-1\n",
         "line 11: bad count \"-1\" of list vertex_indices"},
        {"ascii_ends", ascii + "element vertex 2\n" + xyz + "end_header\n1.000000 2.0000 3.0000\n",
         "the file ends inside element vertex, after 1 of 2 records"},
        {"extra_line", ascii + vertex + "end_header\n1 2 3\n\n4 5 6\n",
         "line 10: more lines than the header's elements describe"},
    };
    for (const auto& bad : cases) {
        const ConvLibTest::Loaded loaded = load(std::string(bad.Name) + ".ply", bad.Content);
        EXPECT_NE(loaded.Error.find(bad.Cause), std::string::npos)
            << bad.Name << ": " << loaded.Error;
        EXPECT_TRUE(loaded.Bundle->slices().empty()) << bad.Name << ": nothing half loaded";
    }
}

// A header that claims more points than memory holds is refused before the arrays are made; the
// file is that large (sparse), so only memory refuses it.
TEST_F(PlyTest, ACloudLargerThanMemoryIsRefusedBeforeItsArraysAreMade) {
    const std::string header = "ply\nformat binary_little_endian 1.0\nelement vertex 4000000000\n"
                               "property float x\nproperty float y\nproperty float z\nend_header\n";
    const std::string file = Dir.write("huge.ply", header);
    std::filesystem::resize_file(file, header.size() + 4'000'000'000ull * 12);
    const ConvLibTest::Loaded loaded = ConvLibTest::tryLoad(file);
    EXPECT_EQ(loaded.Error.rfind(file + ": needs 89.4 GiB for 4000000000 points; ", 0), 0u)
        << loaded.Error;
    EXPECT_NE(loaded.Error.find(" available, so the file is refused before reading it"),
              std::string::npos)
        << loaded.Error;
}

} // namespace

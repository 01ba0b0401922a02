// Text point clouds in every common dialect, read right or refused with the line at fault; and
// read through a bounded buffer: lines across its edges and lines longer than it.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using ConvLibTest::Loaded;

using Values = std::vector<double>;

class PointCloudTextTest : public testing::Test {
protected:
    Loaded load(const std::string& name, const std::string& content,
                const Plexa::ReadOptions& options = {}) {
        return ConvLibTest::tryLoad(Dir.write(name, content), options);
    }

    ConvLibTest::TempDir Dir;
};

Values valuesOf(const Plexa::Field& field) {
    const auto& array = dynamic_cast<const Plexa::MemArray<double>&>(*field.Data);
    return Values(array.data(), array.data() + array.elementCount());
}

const Plexa::MemArray<double>& positionsOf(const Loaded& loaded, const std::string& grid) {
    const Plexa::Field* field =
        loaded.Bundle->findSlice(0.0)->findGrid(grid)->findField("Positions");
    return dynamic_cast<const Plexa::MemArray<double>&>(*field->Data);
}

Plexa::ReadOptions delimiter(char c) {
    Plexa::ReadOptions options;
    options.Text.Delimiter = c;
    return options;
}

Plexa::ReadOptions positionColumns(std::vector<std::string> names) {
    Plexa::ReadOptions options;
    options.Text.PositionColumns = std::move(names);
    return options;
}

constexpr double Infinity = std::numeric_limits<double>::infinity();

TEST_F(PointCloudTextTest, EveryDialectGivesItsPositionsAndFields) {
    const struct {
        const char* Name;
        std::string Text;
        Plexa::ReadOptions Options;
        Values Positions;
        std::map<std::string, Values> Fields; // every field besides the positions
    } dialects[] = {
        {"comma.csv", "x,y,z,i\n1,2,3,4\n5,6,7,8\n", {}, {1, 2, 3, 5, 6, 7}, {{"i", {4, 8}}}},
        {"semicolon.csv", "x;y;z;i\n1;2;3;4\n", {}, {1, 2, 3}, {{"i", {4}}}},
        {"tab.csv", "x\ty\tz\ti\n1\t 2 \t3\t4\n", {}, {1, 2, 3}, {{"i", {4}}}},
        {"blanks.xyz", "x  y z  i\n1 2\t 3   4\n", {}, {1, 2, 3}, {{"i", {4}}}},
        {"commas.xyz", "x, y, z\n1, 2, 3\n", {}, {1, 2, 3}, {}},
        {"blanks.csv", "X Y Z\n1 2 3\n", {}, {1, 2, 3}, {}},
        // what LiDAR tools write: quoted names, positions not in the first three columns
        {"quoted.csv",
         "\"Red\",\"X\",\"Y\",\"Z\",\"say \"\"hi\"\", \"\n9,1,2,3,4\n",
         {},
         {1, 2, 3},
         {{"Red", {9}}, {"say \"hi\", ", {4}}}},
        {"any_order.csv", "Z,intensity,x,Y\n3,4,1,2\n", {}, {1, 2, 3}, {{"intensity", {4}}}},
        {"bom_crlf.csv",
         "\xEF\xBB\xBF// exported\r\n  # by hand\r\nx,y,z\r\n\r\n1,2,3\r\n//\r\n+4,5e1,-6\r\n#",
         {},
         {1, 2, 3, 4, 50, -6},
         {}},
        {"headerless.csv", "1,2,3,4\n5,6,7,8\n", {}, {1, 2, 3, 5, 6, 7}, {{"col4", {4, 8}}}},
        {"headerless.xyz", "1 2 3 4 5\n", {}, {1, 2, 3}, {{"col4", {4}}, {"col5", {5}}}},
        {"quoted_blanks.xyz", "\"a b\"  \"X\" Y Z\n1 2 3 4\n", {}, {2, 3, 4}, {{"a b", {1}}}},
        {"all_quoted.csv",
         "\"x\",\"y\",\"z\"\n\"1\",\"2\",\"3\"\n\"4\", \"5\" ,\"+6\"\n",
         {},
         {1, 2, 3, 4, 5, 6},
         {}},
        {"quoted_numbers.csv", "x,y,z\n\"1.5\", \" 2\" ,3\n", {}, {1.5, 2, 3}, {}},
        {"infinite_field.csv", "x,y,z,i\n1,2,3,-inf\n", {}, {1, 2, 3}, {{"i", {-Infinity}}}},
        // the first line shows ';' and ',': only ';' splits every line alike
        {"settled.csv", "x;y;z;a,b\n1;2;3;4", {}, {1, 2, 3}, {{"a,b", {4}}}},
        {"tab_names.csv",
         "east\tnorth\tup\tpoint id\n1\t2\t3\t4\n",
         positionColumns({"east", "NORTH", "\"up\""}),
         {1, 2, 3},
         {{"point id", {4}}}},
        {"chosen.csv",
         "x,y,z,e,n,h\n1,2,3,4,5,6\n",
         positionColumns({"e", "n", "h"}),
         {4, 5, 6},
         {{"x", {1}}, {"y", {2}}, {"z", {3}}}},
        {"chosen.xyz",
         "1 2 3 4\n",
         positionColumns({"col2", "col3", "col4"}),
         {2, 3, 4},
         {{"col1", {1}}}},
        // tabs or blanks: the rows after the first hold numbers only when split at blanks
        {"mixed_blanks.xyz", "x  y\tz i\n1 2\t 3   4\n", {}, {1, 2, 3}, {{"i", {4}}}},
        {"forced.xyz", "1\t2 3\n", delimiter(' '), {1, 2, 3}, {}},
    };
    for (const auto& dialect : dialects) {
        const Loaded loaded = load(dialect.Name, dialect.Text, dialect.Options);
        ASSERT_EQ(loaded.Error, "") << dialect.Name;
        const std::string grid =
            std::string(dialect.Name).substr(0, std::string(dialect.Name).find('.'));
        const Plexa::Grid& cloud = *loaded.Bundle->findSlice(0.0)->findGrid(grid);
        std::map<std::string, Values> fields;
        for (const auto& [name, field] : cloud.fields())
            if (name != "Positions") fields[name] = valuesOf(field);
        EXPECT_EQ(valuesOf(*cloud.findField("Positions")), dialect.Positions) << dialect.Name;
        EXPECT_EQ(fields, dialect.Fields) << dialect.Name;
    }
}

TEST_F(PointCloudTextTest, GridNameAndTimeComeFromTheOptions) {
    Plexa::ReadOptions options;
    options.GridName = "scan";
    options.Time = 2.5;
    const Loaded loaded = load("file.xyz", "1 2 3\n", options);
    ASSERT_EQ(loaded.Error, "");
    ASSERT_EQ(loaded.Bundle->slices().size(), 1u);
    ASSERT_TRUE(loaded.Bundle->findSlice(2.5));
    EXPECT_TRUE(loaded.Bundle->findSlice(2.5)->findGrid("scan"));
}

// One value per column, count of them.
std::string manyValues(std::size_t count, const char* separator) {
    std::string line = "1";
    for (std::size_t i = 1; i < count; ++i)
        line.append(separator).append("1");
    return line + "\n";
}

// Rows of growing length, so that some end exactly at, and some cross, a buffer's edge.
std::string manyRows(std::size_t count, const char* separator) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i)
        text += std::to_string(i) + separator + std::to_string(i % 977) + ".25" + separator +
                std::string(i % 13, '0') + std::to_string(i * 3) + "\n";
    return text;
}

TEST_F(PointCloudTextTest, RefusalsNameTheLineAndTheCause) {
    const std::string good = "1 2 3\n";
    const char* const xyzHint = "; choose the position columns with --xyz NAME,NAME,NAME";
    const struct {
        const char* Name;
        std::string Text;
        Plexa::ReadOptions Options;
        std::string Cause;
    } refusals[] = {
        // columns
        {"rgb.csv",
         "Red,Green,Blue,Alpha\n1,2,3,4\n",
         {},
         "line 1: no columns named x, y and z among \"Red\", \"Green\", \"Blue\", \"Alpha\"" +
             std::string(xyzHint)},
        {"no_z.csv",
         "# c\nx,y,height\n1,2,3\n",
         {},
         "line 2: no column named z among \"x\", \"y\", \"height\"" + std::string(xyzHint)},
        {"two_x.csv",
         "x,X,y,z\n1,2,3,4\n",
         {},
         "line 1: columns \"x\" and \"X\" both could be \"x\"" + std::string(xyzHint)},
        {"unknown.csv", "a,b,c\n1,2,3\n", positionColumns({"a", "b", "q"}),
         "line 1: no column \"q\" for the positions among \"a\", \"b\", \"c\""},
        {"two_names.csv", "a,b,c\n1,2,3\n", positionColumns({"a", "b"}),
         "the positions need three columns, 2 given"},
        {"same_twice.csv", "a,b,c\n1,2,3\n", positionColumns({"a", "b", "A"}),
         "line 1: column \"a\" is chosen twice for the positions"},
        {"positions.csv",
         "x,y,z,Positions\n1,2,3,4\n",
         {},
         "line 1: a column named \"Positions\" would replace the positions"},
        {"twice.csv", "x,y,z,i,i\n1,2,3,4,5\n", {}, "line 1: column \"i\" appears twice"},
        {"unnamed.csv", "x,,z\n1,2,3\n", {}, "line 1: column 2 has no name"},
        {"narrow.xyz", "1 2\n", {}, "line 1: a point needs three coordinates, found 2 columns"},
        {"wide.xyz",
         manyValues(10001, " "),
         {},
         "line 1: found more than 10000 columns, a cloud takes at most 10000"},
        {"wide_header.csv", manyValues(20000, ","), {}, "found more than 10000"},
        // delimiters
        {"unclear.csv",
         "1;2;3,5\n",
         {},
         "line 1: the values may be separated by semicolons or commas; choose the delimiter "
         "with --delimiter"},
        {"uneven.csv", "x,y;z\n1,2;3\n4;5,6\n", {}, "line 1: the values may be separated by"},
        {"tab_or_blank.xyz",
         "1\t2 3\n",
         {},
         "line 1: the values may be separated by tabs or blanks"},
        {"forced.csv", "x,y,z\n1,2,3\n", delimiter(';'),
         "line 1: a point needs three coordinates, found 1 columns"},
        {"pipe.csv", "x|y|z\n", delimiter('|'), "unknown delimiter \"|\""},
        {"decimal_comma.csv", "x;y;z\n1,5;2;3\n", {}, "line 2: bad number \"1,5\" in column \"x\""},
        {"spaces_in_tabs.xyz",
         "1\t2\t3\n4 5 6\n",
         {},
         "line 2: expected 3 values, found 1 (separated by tabs)"},
        // quoting
        {"open_quote.csv", "\"x,y,z\n1,2,3\n", {}, "line 1: a quoted value has no closing quote"},
        {"after_quote.csv", "x,\"y\"z,z\n", {}, "line 1: text after the closing quote of a value"},
        {"escaped_number.csv", "x,y,z\n1,2,\"3\"\"\"\n", {}, "line 2: bad number \"3\"\"\""},
        // rows
        {"short.csv",
         "# c\nx,y,z\n\n1,2\n",
         {},
         "line 4: expected 3 values, found 2 (separated by commas)"},
        {"more.xyz", good + "1 2 3 4\n", {}, "line 2: expected 3 values, found 4"},
        {"trailing_comma.csv", "x,y,z\n1,2,3,\n", {}, "line 2: expected 3 values, found 4"},
        {"empty_value.csv", "x,y,z\n1,,3\n", {}, "line 2: no value in column \"y\""},
        {"empty_first.csv", "1,,3\n", {}, "line 1: no value in column \"col2\""},
        {"quoted_empty.xyz", "x y z\n1 \"\" 3\n", {}, "line 2: no value in column \"y\""},
        {"suffix.xyz", good + "1 2 3x\n", {}, "line 2: bad number \"3x\" in column \"col3\""},
        {"exponent.xyz", good + "1 2 3e\r\n", {}, "line 2: bad number \"3e\""},
        {"plus_minus.xyz", good + "1 +-2 3\n", {}, "line 2: bad number \"+-2\""},
        {"plus_twice.xyz", good + "1 ++2 3\n", {}, "line 2: bad number \"++2\""},
        {"huge.xyz", good + "1 2 1e999\n", {}, "line 2: bad number \"1e999\""},
        {"header_twice.csv", "x,y,z\nx,y,z\n", {}, "line 2: bad number \"x\" in column \"x\""},
        {"lone_slash.xyz", good + "/", {}, "line 2: expected 3 values, found 1"},
        {"late.xyz",
         manyRows(100000, " ") + "1 2\n",
         {},
         "line 100001: expected 3 values, found 2"},
        {"wide_row.xyz",
         good + manyValues(50000, " "),
         {},
         "line 2: expected 3 values, found more than 10000"},
        {"nan.csv",
         "x,y,z\n1,nan,3\n",
         {},
         "line 2: the position value \"nan\" in column \"y\" is not a finite number"},
        {"infinity.xyz",
         good + "1 2 -inf\n",
         {},
         "line 2: the position value \"-inf\" in column \"col3\" is not a finite number"},
        // no cloud at all
        {"empty.xyz", "", {}, "no points"},
        {"blank.xyz", " \r\n\t\n# none\n// none", {}, "no points"},
        {"header_only.csv", "x,y,z", {}, "no points"},
        {"nul.csv",
         std::string("x,y,z\n1,2,3\n\0\0\x01\x02", 16),
         {},
         "line 3: looks binary, not text"},
        {"controls.xyz", "1 2 3\n" + std::string(40, '\x01'), {}, "line 2: looks binary, not text"},
        {"utf16.csv", std::string("\xFF\xFEx\0,\0y\0", 8), {}, "is UTF-16 text; save it as UTF-8"},
    };
    for (const auto& bad : refusals) {
        const Loaded loaded = load(bad.Name, bad.Text, bad.Options);
        EXPECT_NE(loaded.Error.find(bad.Cause), std::string::npos)
            << bad.Name << ": " << loaded.Error;
        EXPECT_TRUE(loaded.Bundle->slices().empty()) << bad.Name << ": nothing half loaded";
    }
}

TEST_F(PointCloudTextTest, EveryRowArrivesAcrossBufferEdgesAndLongLines) {
    const std::size_t rows = 200000; // several MiB: many refills of the buffer
    const std::string longComment = "# " + std::string(3 << 20, 'c') + "\n";
    for (const auto& [name, text] :
         {std::pair{std::string("rows.xyz"), manyRows(rows, "  ") + longComment + "7 8 9"},
          std::pair{std::string("rows.csv"),
                    "x, y ,z\r\n" + manyRows(rows, " , ") + longComment + "7,8,+9"},
          std::pair{std::string("rows.tsv.xyz"), manyRows(rows, " \t") + "7\t8\t9"}}) {
        const Loaded loaded = load(name, text);
        ASSERT_EQ(loaded.Error, "") << name;
        const auto& points = positionsOf(loaded, name.substr(0, name.rfind('.')));
        ASSERT_EQ(points.size(), rows + 1) << name;
        for (std::size_t i : {std::size_t(0), std::size_t(40000), rows - 1}) {
            EXPECT_EQ(points(i, 0), static_cast<double>(i)) << name << " row " << i;
            EXPECT_EQ(points(i, 1), static_cast<double>(i % 977) + 0.25) << name;
            EXPECT_EQ(points(i, 2), static_cast<double>(i * 3)) << name;
        }
        EXPECT_EQ(points(rows, 2), 9.0) << name << ": the last line has no line end";
    }
}

// The first pass counts the rows in blocks of 1 MiB: a line that starts with '/' as the last
// byte of a block is a comment or a row by the next block's first byte.
TEST_F(PointCloudTextTest, ASlashAtTheEdgeOfABlockIsCountedByWhatFollows) {
    const std::size_t block = 1 << 20;
    const std::string start = "x y z\n#" + std::string(block - 9, 'c') + "\n";
    ASSERT_EQ(start.size(), block - 1);
    const Loaded comment = load("comment.xyz", start + "// note\n1 2 3\n");
    EXPECT_EQ(comment.Error, "");
    const Loaded row = load("row.xyz", start + "/\n1 2 3\n");
    EXPECT_NE(row.Error.find("line 3: expected 3 values, found 1"), std::string::npos) << row.Error;
}

// A first row of many columns over many short lines claims no memory for rows it cannot hold.
TEST_F(PointCloudTextTest, AWideFirstRowOverManyLinesFailsWithoutHugeArrays) {
    std::string text = manyValues(5000, " ");
    for (int i = 0; i < 1000000; ++i)
        text += "\n1";
    const Loaded loaded = load("wide.xyz", text);
    EXPECT_NE(loaded.Error.find("expected 5000 values, found 1"), std::string::npos)
        << loaded.Error;
}

// A cloud of several MiB, so that it is read in blocks on every core, in the spellings a file may
// mix: signs, exponents, quotes (some only the careful path takes), padding, comments, CRLF.
struct GeneratedCloud {
    std::string Text = "x, y ,z,\"intensity\"\n";
    Values Positions;
    Values Intensity;
    std::vector<std::size_t> LineOfRow; // the line number of every row
};

GeneratedCloud generatedCloud(std::size_t rows) {
    GeneratedCloud cloud;
    std::mt19937_64 random(2024);
    std::size_t line = 1;
    const auto value = [&] {
        const double mantissa = static_cast<double>(random() >> 11) * 0x1.0p-53;
        const int exponent = static_cast<int>(random() % 121) - 60;
        return std::ldexp(random() % 2 ? -mantissa : mantissa, exponent);
    };
    for (std::size_t row = 0; row < rows; ++row) {
        if (row % 5000 == 0) line += 2, cloud.Text += "\n// block of rows\n";
        const int spelling = static_cast<int>(row % 7);
        const char* const quote = spelling == 5 || spelling == 6 ? "\"" : "";
        for (int column = 0; column < 4; ++column) {
            double number = row % 1000 == 999 && column == 3 ? -0.0 : value();
            char digits[40];
            // every third row as scanners write, with a fixed number of decimals
            const auto end = row % 3 == 0
                                 ? std::to_chars(digits, digits + sizeof digits, number,
                                                 std::chars_format::fixed, row % 17)
                                       .ptr
                                 : std::to_chars(digits, digits + sizeof digits, number).ptr;
            std::from_chars(digits, end, number);
            (column < 3 ? cloud.Positions : cloud.Intensity).push_back(number);
            const bool plus = spelling == 1 && number > 0;
            cloud.Text += std::string(column == 0     ? ""
                                      : spelling == 2 ? " , "
                                                      : ",") +
                          quote + (spelling == 6 ? " " : "") + (plus ? "+" : "") +
                          std::string(digits, end) + quote;
        }
        cloud.Text += spelling == 3 ? "\r\n" : "\n";
        cloud.LineOfRow.push_back(++line);
    }
    return cloud;
}

bool sameBits(const Values& loaded, const Values& expected) {
    return loaded.size() == expected.size() &&
           std::memcmp(loaded.data(), expected.data(), loaded.size() * sizeof(double)) == 0;
}

TEST_F(PointCloudTextTest, ALargeFileReadInBlocksGivesEveryValueBitForBit) {
    const std::size_t rows = 120000;
    const GeneratedCloud cloud = generatedCloud(rows);
    ASSERT_GT(cloud.Text.size(), std::size_t(6) << 20) << "large enough for blocks";
    const Loaded loaded = load("large.csv", cloud.Text);
    ASSERT_EQ(loaded.Error, "");
    const Plexa::Grid& grid = *loaded.Bundle->findSlice(0.0)->findGrid("large");
    EXPECT_TRUE(sameBits(valuesOf(*grid.findField("Positions")), cloud.Positions));
    EXPECT_TRUE(sameBits(valuesOf(*grid.findField("intensity")), cloud.Intensity));
}

// The fuzz target lowers the threshold of the parallel path; its tiny blocks give the same values.
TEST_F(PointCloudTextTest, ALoweredThresholdReadsASmallFileInBlocksBitForBit) {
    const GeneratedCloud cloud = generatedCloud(300);
    for (const char* threshold : {"64", "1000", "100000"}) {
        const ConvLibTest::ScopedVariable lowered("PLEXA_PARALLEL_TEXT_BYTES", threshold);
        const Loaded loaded = load("small.csv", cloud.Text);
        ASSERT_EQ(loaded.Error, "") << threshold;
        const Plexa::Grid& grid = *loaded.Bundle->findSlice(0.0)->findGrid("small");
        EXPECT_TRUE(sameBits(valuesOf(*grid.findField("Positions")), cloud.Positions)) << threshold;
        EXPECT_TRUE(sameBits(valuesOf(*grid.findField("intensity")), cloud.Intensity)) << threshold;
    }
}

// A bad line in any block is named as the careful reading names it: the first one in the file.
TEST_F(PointCloudTextTest, ABadLineDeepInALaterBlockIsNamedWithItsLine) {
    const std::size_t rows = 120000;
    const GeneratedCloud cloud = generatedCloud(rows);
    // the text with a row's line replaced
    const auto withRow = [&](const std::string& text, std::size_t row, const std::string& line) {
        std::size_t start = 0;
        for (std::size_t number = 1; number < cloud.LineOfRow[row]; ++number)
            start = text.find('\n', start) + 1;
        return text.substr(0, start) + line + text.substr(text.find('\n', start));
    };
    const std::size_t early = rows / 3, late = rows * 9 / 10;
    const std::string earlyLine = std::to_string(cloud.LineOfRow[early]);
    const std::string lateLine = std::to_string(cloud.LineOfRow[late]);
    const struct {
        std::string Name;
        std::string Text;
        std::string Cause;
    } refusals[] = {
        {"bad_number.csv", withRow(cloud.Text, late, "1,2,zz,4"),
         "line " + lateLine + ": bad number \"zz\" in column \"z\""},
        {"short_row.csv", withRow(cloud.Text, late, "1,2,3"),
         "line " + lateLine + ": expected 4 values, found 3 (separated by commas)"},
        {"two_bad.csv", withRow(withRow(cloud.Text, late, "1,2,3,4,5"), early, "1,nan,3,4"),
         "line " + earlyLine +
             ": the position value \"nan\" in column \"y\" is not a finite number"},
    };
    for (const auto& bad : refusals) {
        const Loaded loaded = load(bad.Name, bad.Text);
        EXPECT_NE(loaded.Error.find(bad.Cause), std::string::npos)
            << bad.Name << ": " << loaded.Error;
        EXPECT_TRUE(loaded.Bundle->slices().empty()) << bad.Name << ": nothing half loaded";
    }
}

} // namespace

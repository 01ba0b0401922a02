// Text point clouds read through a bounded buffer: lines across its edges, lines longer than it,
// and every malformed row named with its line, as a line-by-line reader would name it.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

struct Loaded {
    Plexa::BundlePtr Bundle;
    std::string Error; // empty when the load succeeded
};

class PointCloudTextTest : public testing::Test {
protected:
    Loaded load(const std::string& name, const std::string& content) {
        bool success = false;
        Plexa::BundlePtr bundle =
            Plexa::Bundle::load(success,
                                Quorix::StrongPtr<Quorix::LoaderParameters>(
                                    new Quorix::LoaderParameters(Dir.write(name, content))),
                                Plexa::BundlePtr());
        return {bundle, success ? std::string() : bundle->lastError()};
    }

    const Plexa::MemArray<double>& positions(const Loaded& loaded, const std::string& grid) {
        const Plexa::Field* field =
            loaded.Bundle->findSlice(0.0)->findGrid(grid)->findField("Positions");
        return dynamic_cast<const Plexa::MemArray<double>&>(*field->Data);
    }

    ConvLibTest::TempDir Dir;
};

// One line of count values.
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

TEST_F(PointCloudTextTest, EveryRowArrivesAcrossBufferEdgesAndLongLines) {
    const std::size_t rows = 200000; // several MiB: many refills of the buffer
    const std::string longComment = "# " + std::string(3 << 20, 'c') + "\n";
    for (const auto& [name, text] :
         {std::pair{std::string("rows.xyz"), manyRows(rows, " \t") + longComment + "7 8 9"},
          std::pair{std::string("rows.csv"),
                    "x, y ,z\r\n" + manyRows(rows, " , ") + longComment + "7,8,+9"}}) {
        const Loaded loaded = load(name, text);
        ASSERT_EQ(loaded.Error, "") << name;
        const auto& points = positions(loaded, "rows");
        ASSERT_EQ(points.size(), rows + 1) << name;
        for (std::size_t i : {std::size_t(0), std::size_t(40000), rows - 1}) {
            EXPECT_EQ(points(i, 0), static_cast<double>(i)) << name << " row " << i;
            EXPECT_EQ(points(i, 1), static_cast<double>(i % 977) + 0.25) << name;
            EXPECT_EQ(points(i, 2), static_cast<double>(i * 3)) << name;
        }
        EXPECT_EQ(points(rows, 2), 9.0) << name << ": the last line has no line end";
    }
}

TEST_F(PointCloudTextTest, MalformedRowsAreNamedWithTheirLine) {
    const std::string good = "1 2 3\n";
    const struct {
        const char* Name;
        std::string Content;
        const char* Cause;
    } cases[] = {
        {"more.xyz", good + "1 2 3 4\n", "line 2: expected 3 values, found 4"},
        {"count_first.xyz", good + "1 x 3 4\n", "line 2: expected 3 values, found 4"},
        {"suffix.xyz", good + "1 2 3x\n", "line 2: bad number \"3x\""},
        {"exponent.xyz", good + "1 2 3e\r\n", "line 2: bad number \"3e\""},
        {"plus.xyz", good + "1 + 3\n", "line 2: bad number \"\""},
        {"plus_twice.xyz", good + "1 ++2 3\n", "line 2: bad number \"+2\""},
        {"empty_value.csv", "x,y,z\n1,,3\n", "line 2: bad number \"\""},
        {"inner_blank.csv", "x,y,z\n1,2 5,3\n", "line 2: bad number \"2 5\""},
        {"trailing_comma.csv", "x,y,z\n1,2,3,\n", "line 2: expected 3 values, found 4"},
        {"late.xyz", manyRows(100000, " ") + "1 2\n", "line 100001: expected 3 values, found 2"},
        {"empty.xyz", "", "no points"},
        {"blank.xyz", " \r\n\t\n# none\n", "no points"},
        {"header_only.csv", "x,y,z", "no points"},
        {"wide.xyz", manyValues(10001, " "),
         "line 1: found more than 10000 columns, a cloud takes at most 10000"},
        {"wide_header.csv", manyValues(20000, ","), "found more than 10000"},
        {"wide_row.xyz", good + manyValues(50000, " "),
         "line 2: expected 3 values, found more than 10000"},
        {"binary.xyz", std::string("1 2 3\n\0\xff\n", 10), "line 2: expected 3 values, found 1"},
    };
    for (const auto& bad : cases) {
        const Loaded loaded = load(bad.Name, bad.Content);
        EXPECT_NE(loaded.Error.find(bad.Cause), std::string::npos)
            << bad.Name << ": " << loaded.Error;
        EXPECT_TRUE(loaded.Bundle->slices().empty()) << bad.Name << ": nothing half loaded";
    }
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

} // namespace

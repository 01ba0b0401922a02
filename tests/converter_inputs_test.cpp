#include "convlib/BasicConverterDefs.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

using Names = std::vector<std::string>;

struct Converter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

// Works inside a fresh folder tree, so input names can be relative as users give them.
class InputTree : public testing::Test {
protected:
    void SetUp() override {
        for (const char* file :
             {"data/f2", "data/f1", "data/g.dat", "x.txt", "a/b.txt", "other/y.txt", "dir\\x.txt",
              "order/B.txt", "order/a.txt", "order/f10", "order/f2", "order/ab", "order/ab.txt"})
            Tree.write(file, "content");
        Previous = std::filesystem::current_path();
        std::filesystem::current_path(Tree.path());
    }
    void TearDown() override { std::filesystem::current_path(Previous); }

    static std::pair<std::string, Names> expand(const std::list<std::string>& names) {
        auto [prefix, files] = ConvLib::BasicConverterDefs::expandFiles(names);
        return {prefix, Names(files.begin(), files.end())};
    }

    ConvLibTest::TempDir Tree;
    std::filesystem::path Previous;
};

using Expanded = std::pair<std::string, Names>;

TEST_F(InputTree, PlainFilesKeepTheirSpelling) {
    EXPECT_EQ(expand({}), Expanded("", {}));
    EXPECT_EQ(expand({"a/b.txt"}), Expanded("a/", {"a/b.txt"}));
    EXPECT_EQ(expand({"x.txt"}), Expanded("", {"x.txt"}));
    EXPECT_EQ(expand({"dir\\x.txt"}), Expanded("", {"dir\\x.txt"}));
}

TEST_F(InputTree, FoldersWithAndWithoutTrailingSlash) {
    Names all = {"data/f1", "data/f2", "data/g.dat"};
    EXPECT_EQ(expand({"data/"}), Expanded("data/", all));
    EXPECT_EQ(expand({"data"}), Expanded("", all));
    EXPECT_EQ(expand({Tree / "data/"}).second.size(), 3u);
}

TEST_F(InputTree, PatternsAndNamesThatMatchNothing) {
    EXPECT_EQ(expand({"data/*.dat"}), Expanded("data/", {"data/g.dat"}));
    EXPECT_EQ(expand({"data/f?", "missing.txt", "none/*.zz"}),
              Expanded("none/", {"data/f1", "data/f2"}));
}

TEST_F(InputTree, DuplicatesMergeOnlyWhenSpelledAlike) {
    EXPECT_EQ(expand({"data/", "data/f1"}).second, Names({"data/f1", "data/f2", "data/g.dat"}));
    EXPECT_EQ(expand({"./data/f1", "data/f1"}).second, Names({"./data/f1", "data/f1"}));
}

TEST_F(InputTree, PrefixIsAlwaysTheLastName) {
    EXPECT_EQ(expand({"data/", "other/y.txt"}).first, "other/");
    EXPECT_EQ(expand({"other/y.txt", "x.txt"}).first, "");
}

TEST_F(InputTree, SetInByteOrder) {
    EXPECT_EQ(expand({"order/"}).second, Names({"order/B.txt", "order/a.txt", "order/ab",
                                                "order/ab.txt", "order/f10", "order/f2"}));
}

TEST_F(InputTree, ReadManyFilesReplacesTheList) {
    Converter converter;
    converter.InDirectory = "kept";
    converter.readManyFiles();
    EXPECT_FALSE(converter.InFiles.valid());
    EXPECT_EQ(converter.InDirectory, "kept");

    Quorix::StrongPtr<Quorix::StringList> given(
        new Quorix::StringList{"data/", "missing", "x.txt"});
    converter.InFiles = given;
    converter.readManyFiles();
    EXPECT_EQ(Names(converter.InFiles->begin(), converter.InFiles->end()),
              Names({"data/f1", "data/f2", "data/g.dat", "x.txt"}));
    EXPECT_EQ(converter.InDirectory, "");
    EXPECT_EQ(Names(given->begin(), given->end()), Names({"data/", "missing", "x.txt"}));

    converter.InFiles.reset(new Quorix::StringList{"x.txt", "data/"});
    converter.readManyFiles();
    EXPECT_EQ(converter.InFiles->size(), 4u);
    EXPECT_EQ(converter.InDirectory, "data/");
}

TEST_F(InputTree, ReadManyFilesWithNothingFound) {
    Converter converter;
    Quorix::StrongPtr<Quorix::StringList> given(new Quorix::StringList);
    converter.InFiles = given;
    converter.InDirectory = "old";
    converter.readManyFiles();
    ASSERT_TRUE(converter.InFiles.valid());
    EXPECT_NE(converter.InFiles, given);
    EXPECT_TRUE(converter.InFiles->empty());
    EXPECT_EQ(converter.InDirectory, "");

    converter.InFiles.reset(new Quorix::StringList{"gone/nothing*"});
    converter.readManyFiles();
    EXPECT_TRUE(converter.InFiles->empty());
    EXPECT_EQ(converter.InDirectory, "gone/");
    EXPECT_TRUE(converter.ErrorMessages.empty());
}

} // namespace

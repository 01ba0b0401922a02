#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

namespace {

using ConvLibTest::Names;
using StringListPtr = Quorix::StrongPtr<Quorix::StringList>;

class InputTree : public ConvLibTest::InFreshFolder {
protected:
    InputTree() {
        for (const char* file :
             {"data/f2", "data/f1", "data/g.dat", "x.txt", "a/b.txt", "dir\\x.txt", "order/B.txt",
              "order/a.txt", "order/f10", "order/f2", "order/ab", "order/ab.txt"})
            Folder.write(file, "content");
    }
};

TEST_F(InputTree, ExpandFilesGivesLastPrefixAndSortedFiles) {
    const Names data = {"data/f1", "data/f2", "data/g.dat"};
    struct Case {
        std::list<std::string> Input;
        std::string Prefix;
        Names Files;
    };
    const Case cases[] = {
        {{}, "", {}},
        {{"a/b.txt"}, "a/", {"a/b.txt"}},
        {{"dir\\x.txt"}, "", {"dir\\x.txt"}},
        {{"data/"}, "data/", data},
        {{"data"}, "", data},
        {{"data/*.dat"}, "data/", {"data/g.dat"}},
        {{"data/f?", "missing.txt", "none/*.zz"}, "none/", {"data/f1", "data/f2"}},
        {{"data/", "data/f1", "x.txt"}, "", {"data/f1", "data/f2", "data/g.dat", "x.txt"}},
        {{"./data/f1", "data/f1"}, "data/", {"./data/f1", "data/f1"}},
        {{"order/"},
         "order/",
         {"order/B.txt", "order/a.txt", "order/ab", "order/ab.txt", "order/f10", "order/f2"}},
    };
    for (const Case& c : cases) {
        auto [prefix, files] = ConvLib::BasicConverterDefs::expandFiles(c.Input);
        EXPECT_EQ(prefix, c.Prefix);
        EXPECT_EQ(Names(files.begin(), files.end()), c.Files) << testing::PrintToString(c.Input);
    }
}

TEST_F(InputTree, ReadManyFilesReplacesButNeverEditsTheList) {
    ConvLibTest::TestConverter converter;
    converter.InDirectory = "kept";
    converter.readManyFiles();
    EXPECT_FALSE(converter.InFiles.valid());
    EXPECT_EQ(converter.InDirectory, "kept");

    StringListPtr given(new Quorix::StringList{"x.txt", "missing", "data/"});
    converter.InFiles = given;
    converter.readManyFiles();
    EXPECT_EQ(Names(converter.InFiles->begin(), converter.InFiles->end()),
              Names({"data/f1", "data/f2", "data/g.dat", "x.txt"}));
    EXPECT_EQ(converter.InDirectory, "data/");
    EXPECT_EQ(Names(given->begin(), given->end()), Names({"x.txt", "missing", "data/"}));

    given.reset(new Quorix::StringList{"gone/nothing*"});
    converter.InFiles = given;
    converter.readManyFiles();
    ASSERT_TRUE(converter.InFiles.valid());
    EXPECT_NE(converter.InFiles, given);
    EXPECT_TRUE(converter.InFiles->empty());
    EXPECT_EQ(converter.InDirectory, "gone/");
}

} // namespace

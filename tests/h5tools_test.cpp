// What a converter writes must open in the standard HDF5 tools, not only in our own reader.
#include "outside/Plexa.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>

namespace {

struct Output {
    int status = -1;
    std::string text;
};

Output run(const std::string& command) {
    Output output;
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe) return output;
    char buffer[4096];
    while (std::size_t n = std::fread(buffer, 1, sizeof buffer, pipe))
        output.text.append(buffer, n);
    output.status = ::pclose(pipe);
    return output;
}

TEST(Hdf5Tools, OpenWhatABundleSaveWrites) {
    ConvLibTest::TempDir dir;
    const std::string file = dir / "tools.qz";
    {
        Plexa::BundlePtr bundle(new Plexa::Bundle);
        Plexa::GridPtr grid = bundle->addSlice(0.5)->addGrid("Cloud");
        auto positions = Plexa::makeArray<double>(4, 3);
        (*positions)(3, 2) = 7.25;
        grid->addField("Positions", positions);
        grid->setAttribute("Note", Quorix::StrongPtr<Quorix::ChunkBase>(
                                       new Quorix::Chunk<std::string>{"two\nlines"}));
        ASSERT_TRUE(bundle->bindToNew(file, Plexa::StoragePtr()));
        Plexa::BindResult saved = bundle->save();
        ASSERT_TRUE(saved) << saved.Text;
    }

    Output listing = run("h5ls -r '" + file + "'");
    ASSERT_EQ(listing.status, 0) << listing.text;
    EXPECT_TRUE(
        std::regex_search(listing.text, std::regex(R"(/000000/Cloud/Positions +Dataset \{4, 3\})")))
        << listing.text;

    Output dump = run("h5dump '" + file + "'");
    ASSERT_EQ(dump.status, 0) << dump.text;
    EXPECT_NE(dump.text.find("ATTRIBUTE \"Note\""), std::string::npos) << dump.text;
    EXPECT_NE(dump.text.find("7.25"), std::string::npos) << dump.text;
}

} // namespace

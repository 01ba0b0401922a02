// What a converter writes must open in the standard HDF5 tools, not only in our own reader.
#include "convlib/MyStorage.hpp"
#include "outside/Plexa.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <regex>
#include <string>

namespace {

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

    const ConvLibTest::RunResult listing = ConvLibTest::run("h5ls", {"-r", file});
    ASSERT_EQ(listing.Status, 0) << listing.Err;
    EXPECT_TRUE(
        std::regex_search(listing.Out, std::regex(R"(/000000/Cloud/Positions +Dataset \{4, 3\})")))
        << listing.Out;

    const ConvLibTest::RunResult dump = ConvLibTest::run("h5dump", {file});
    ASSERT_EQ(dump.Status, 0) << dump.Err;
    EXPECT_NE(dump.Out.find("ATTRIBUTE \"Note\""), std::string::npos) << dump.Out;
    EXPECT_NE(dump.Out.find("7.25"), std::string::npos) << dump.Out;
}

// Deflated chunks written a chunk at a time, with a checksum: h5dump decodes and checks them.
TEST(Hdf5Tools, DumpWhatACompressedSaveWrites) {
    ConvLibTest::TempDir dir;
    const std::string file = dir / "packed.qz";
    constexpr std::size_t Points = 600000; // three chunks, the last one partial
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    auto heights = Plexa::makeArray<float>(Points);
    for (std::size_t i = 0; i < Points; ++i)
        (*heights)(i) = static_cast<float>(i % 1000) * 0.25f;
    bundle->addSlice(0)->addGrid("Cloud")->addField("Height", heights);
    const Plexa::BindResult saved = Plexa::writeBundleFile(
        *bundle, file, Plexa::StoragePtr(new ConvLib::MyStorage(6, false, false, true)));
    ASSERT_TRUE(saved) << saved.Text;

    const ConvLibTest::RunResult dump =
        ConvLibTest::run("h5dump", {"-p", "-d", "/000000/Cloud/Height", "-s", "599999", file});
    ASSERT_EQ(dump.Status, 0) << dump.Err;
    for (const char* shown : {"SHUFFLE", "COMPRESSION DEFLATE", "CHECKSUM FLETCHER32", "249.75"})
        EXPECT_NE(dump.Out.find(shown), std::string::npos) << shown << "\n" << dump.Out;
}

} // namespace

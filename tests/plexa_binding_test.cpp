// Binding bundles to files: loading what is there, saving explicitly and on the way out, and
// never losing the old file to a failed save.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using ConvLibTest::makeTestStorage;

// Asks for chunks that HDF5 cannot make, so writing fails halfway through the file.
class BrokenChunks : public ConvLibTest::TestStorage {
public:
    BrokenChunks() { Answer = ConvLibTest::automaticSettings(false, false); }
    Plexa::DynamicSize computeChunkSize(const Plexa::DynamicSize&, unsigned long long,
                                        std::string&) override {
        return Plexa::DynamicSize();
    }
};

class NoStorage : public Quorix::Interface<int> {};

class BindingTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(Plexa::writeBundleFile(*Sample, File, Plexa::StoragePtr()));
        Before = ConvLibTest::readFile(File);
    }

    // The failed save left the bound file as it was and nothing else in its folder.
    void expectOldFileKept(const Plexa::BindResult& result, const std::string& cause) {
        EXPECT_FALSE(result);
        EXPECT_NE(result.Text.find(cause), std::string::npos) << result.Text;
        EXPECT_EQ(ConvLibTest::readFile(File), Before);
        auto entries = std::filesystem::directory_iterator(Dir.path());
        EXPECT_EQ(std::distance(begin(entries), end(entries)), 1);
    }

    ConvLibTest::TempDir Dir;
    std::string File = Dir / "bound.qz";
    std::string Before;
    Plexa::BundlePtr Sample = ConvLibTest::makeSampleBundle();
    Plexa::BundlePtr Bundle{new Plexa::Bundle};
};

TEST_F(BindingTest, BindToLoadsTheFileAndSaveWritesTheExtendedBundle) {
    Plexa::BindResult bound = Bundle->bindTo(File, makeTestStorage(), {});
    ASSERT_TRUE(bound) << bound.Text;
    EXPECT_FALSE(Bundle->isModified());
    ConvLibTest::expectSameBundles(*Sample, *Bundle);

    Bundle->addSlice(7.0)->addGrid("Added")->addField("Values", Plexa::makeArray<float>(4, 2));
    EXPECT_TRUE(Bundle->isModified());
    Plexa::BindResult saved = Bundle->save();
    ASSERT_TRUE(saved) << saved.Text;
    EXPECT_FALSE(Bundle->isModified());
    ConvLibTest::expectSameBundles(*Bundle, *ConvLibTest::loadBundle(File));
}

TEST_F(BindingTest, OnlySaveWritesAndAnUnsavedChangeIsReported) {
    ASSERT_TRUE(Bundle->bindTo(File, {}, {}));
    std::filesystem::remove(File);
    EXPECT_EQ(ConvLibTest::captureStderr([&] { Bundle.release(); }), "");
    EXPECT_FALSE(std::filesystem::exists(File)) << "an unchanged bundle was written again";

    const std::string other = Dir.write("other.qz", "not a bundle yet");
    ASSERT_TRUE(Sample->bindToNew(other, makeTestStorage()));
    EXPECT_TRUE(Sample->isModified());
    EXPECT_EQ(ConvLibTest::captureStderr([&] { Sample.release(); }),
              "Plexa::Bundle: " + other + " was changed but never saved; nothing was written\n");
    EXPECT_EQ(ConvLibTest::readFile(other), "not a bundle yet");
}

TEST_F(BindingTest, BindingFailuresLeaveTheBundleUnbound) {
    Plexa::BindResult wrongPolicy =
        Bundle->bindTo(File, Quorix::StrongPtr<Quorix::InterfaceBase>(new NoStorage), {});
    EXPECT_EQ(wrongPolicy.Text, File + ": the storage policy is no Plexa::StorageTransformations");
    EXPECT_EQ(Bundle->lastError(), wrongPolicy.Text);
    Plexa::BindResult missing = Bundle->bindTo(Dir / "missing.qz", {}, {});
    EXPECT_EQ(missing.Text, Dir / "missing.qz" + ": no such file");
    const std::string cloud = Dir.write("cloud.csv", "x,y,z\n1,2,3\n");
    Plexa::BindResult overText = Bundle->bindTo(cloud, {}, {});
    EXPECT_NE(overText.Text.find("a text cloud is never overwritten"), std::string::npos);
    EXPECT_EQ(Bundle->lastError(), overText.Text);
    EXPECT_FALSE(Bundle->bindToNew(Dir / "new.XYZ", {}));
    EXPECT_FALSE(wrongPolicy || missing || overText || Bundle->isBound() || Bundle->save());
}

TEST_F(BindingTest, FailedSaveKeepsTheOldFileQuietly) {
    ASSERT_TRUE(Bundle->bindTo(File, Plexa::StoragePtr(new BrokenChunks), {}));
    Bundle->addSlice(9.0)->addGrid("More")->addField("Values", Plexa::makeArray<double>(8));
    Plexa::BindResult result;
    EXPECT_EQ(ConvLibTest::captureStderr([&] { result = Bundle->save(); }), "");
    expectOldFileKept(result, "unusable chunk extents");
    EXPECT_EQ(Bundle->lastError(), result.Text);
    Bundle->unbind();
}

TEST_F(BindingTest, SaveIntoAMissingFolderFailsClearly) {
    const std::string target = Dir / "no/such/folder/x.qz";
    Plexa::BindResult result = Plexa::writeBundleFile(*Sample, target, Plexa::StoragePtr());
    expectOldFileKept(result, target + ": folder " + Dir / "no/such/folder" + " does not exist");
}

} // namespace

// Whatever fails inside, a reader, the HDF5 library or the writer, comes out of load, bind and
// save as one whole message "<file>: <cause>", and the cause alone for messages of their own.
TEST(FailureTest, LoadBindAndSaveSayTheFileAndTheCauseInOneMessage) {
    ConvLibTest::TempDir dir;
    const std::string damaged = dir.write("damaged.qz", "\x89HDF\r\n\x1a\n but no bundle");
    const std::string cloud = dir.write("cloud.csv", "x,y,z\n1,2,oops\n");
    const auto expectWhole = [](const Plexa::Bundle& bundle, const std::string& file,
                                const std::string& cause) {
        EXPECT_EQ(bundle.lastError(), file + ": " + bundle.lastCause());
        EXPECT_EQ(bundle.lastCause().rfind(cause, 0), 0u) << bundle.lastCause();
        EXPECT_EQ(bundle.lastError().find('\n'), std::string::npos);
    };
    for (const auto& [file, cause] : {std::pair{damaged, std::string("not a readable HDF5 file")},
                                      std::pair{cloud, std::string("line 2: bad number")}}) {
        const ConvLibTest::Loaded loaded = ConvLibTest::tryLoad(file);
        expectWhole(*loaded.Bundle, file, cause);
        EXPECT_EQ(loaded.Error, loaded.Bundle->lastError());
    }
    Plexa::Bundle bundle;
    const Plexa::BindResult bound = bundle.bindTo(damaged, {}, {});
    expectWhole(bundle, damaged, "not a readable HDF5 file");
    EXPECT_EQ(bound.Text, bundle.lastError());

    const std::string nowhere = dir / "nodir/out.qz";
    ASSERT_TRUE(bundle.bindToNew(nowhere, {}));
    bundle.addSlice(0)->addGrid("G")->addField("f", Plexa::makeArray<double>(1));
    const Plexa::BindResult saved = bundle.save();
    expectWhole(bundle, nowhere, "folder");
    EXPECT_EQ(saved.Text, bundle.lastError());
    bundle.unbind();
}

// Binding bundles to files: loading what is there, saving explicitly and on the way out, and
// never losing the old file to a failed save.
#include "outside/Plexa.hpp"

#include "tests/support/PlexaSupport.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

namespace {

using ConvLibTest::makeTestStorage;

std::vector<std::string> folderEntries(const std::string& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    return names;
}

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
    }

    ConvLibTest::TempDir Dir;
    std::string File = Dir / "bound.qz";
    Plexa::BundlePtr Sample = ConvLibTest::makeSampleBundle();
    Plexa::BundlePtr Bundle{new Plexa::Bundle};
};

TEST_F(BindingTest, BindToLoadsTheFileAndSaveWritesTheExtendedBundle) {
    Plexa::BindResult bound = Bundle->bindTo(File, makeTestStorage(), {});
    ASSERT_TRUE(bound) << bound.Text;
    EXPECT_EQ(Bundle->boundFile(), File);
    EXPECT_FALSE(Bundle->isModified());
    ConvLibTest::expectSameBundles(*Sample, *Bundle);

    Bundle->addSlice(7.0)->addGrid("Added")->addField("Values", Plexa::makeArray<float>(4, 2));
    EXPECT_TRUE(Bundle->isModified());
    Plexa::BindResult saved = Bundle->save();
    ASSERT_TRUE(saved) << saved.Text;
    EXPECT_FALSE(Bundle->isModified());
    ConvLibTest::expectSameBundles(*Bundle, *ConvLibTest::loadBundle(File));
}

TEST_F(BindingTest, LastReferenceSavesOnlyAModifiedBundle) {
    ASSERT_TRUE(Bundle->bindTo(File, {}, {}));
    std::filesystem::remove(File);
    Bundle.release();
    EXPECT_FALSE(std::filesystem::exists(File)) << "an unchanged bundle was written again";

    Plexa::BundlePtr fresh(new Plexa::Bundle);
    ASSERT_TRUE(fresh->bindToNew(File, makeTestStorage()));
    fresh->addSlice(1.0)->addGrid("Late")->addField("Values", Plexa::makeArray<double>(3));
    fresh.release();
    Plexa::BundlePtr loaded = ConvLibTest::loadBundle(File);
    ASSERT_TRUE(loaded->findSlice(1.0));
    EXPECT_TRUE(loaded->findSlice(1.0)->findGrid("Late"));
}

TEST_F(BindingTest, BindToNewReplacesAnExistingFileOnSave) {
    const std::string other = Dir.write("other.qz", "not a bundle yet");
    ASSERT_TRUE(Sample->bindToNew(other, {}));
    EXPECT_TRUE(Sample->isModified());
    ASSERT_TRUE(Sample->save());
    ConvLibTest::expectSameBundles(*Sample, *ConvLibTest::loadBundle(other));
}

TEST_F(BindingTest, BindingFailuresLeaveTheBundleUnbound) {
    Plexa::BindResult wrongPolicy =
        Bundle->bindTo(File, Quorix::StrongPtr<Quorix::InterfaceBase>(new NoStorage), {});
    EXPECT_FALSE(wrongPolicy);
    EXPECT_EQ(wrongPolicy.Text, File + ": the storage policy is no Plexa::StorageTransformations");

    Plexa::BindResult missing = Bundle->bindTo(Dir / "missing.qz", {}, {});
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.Text, Dir / "missing.qz" + ": no such file");
    EXPECT_FALSE(Bundle->isBound());
    EXPECT_FALSE(Bundle->save());
}

TEST_F(BindingTest, FailedSavesKeepTheOldFileAndLeaveNoTemporary) {
    const std::string before = ConvLibTest::readFile(File);
    ASSERT_TRUE(Bundle->bindTo(File, Plexa::StoragePtr(new BrokenChunks), {}));
    Bundle->addSlice(9.0)->addGrid("More")->addField("Values", Plexa::makeArray<double>(8));

    Plexa::BindResult result;
    EXPECT_EQ(ConvLibTest::captureStderr([&] { result = Bundle->save(); }), "");
    EXPECT_FALSE(result);
    EXPECT_NE(result.Text.find("unusable chunk extents"), std::string::npos) << result.Text;
    EXPECT_EQ(Bundle->lastError(), result.Text);
    EXPECT_EQ(ConvLibTest::readFile(File), before);
    EXPECT_EQ(folderEntries(Dir.path()), std::vector<std::string>{"bound.qz"});
    Bundle->unbind();
}

TEST_F(BindingTest, SaveIntoAMissingFolderFailsClearly) {
    Plexa::BindResult result =
        Plexa::writeBundleFile(*Sample, Dir / "no/such/folder/x.qz", Plexa::StoragePtr());
    EXPECT_FALSE(result);
    EXPECT_EQ(result.Text, Dir / "no/such/folder/x.qz" + ": folder " + Dir / "no/such/folder" +
                               " does not exist");
}

TEST_F(BindingTest, SaveIntoAReadOnlyFolderKeepsTheOldFile) {
    if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
    const std::string before = ConvLibTest::readFile(File);
    std::filesystem::permissions(Dir.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    Plexa::BindResult result = Plexa::writeBundleFile(*Sample, File, Plexa::StoragePtr());
    std::filesystem::permissions(Dir.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
    EXPECT_FALSE(result);
    EXPECT_NE(result.Text.find("H5Fcreate failed"), std::string::npos) << result.Text;
    EXPECT_EQ(ConvLibTest::readFile(File), before);
    EXPECT_EQ(folderEntries(Dir.path()), std::vector<std::string>{"bound.qz"});
}

} // namespace

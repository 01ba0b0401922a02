#include "convlib/MyStorage.hpp"
#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

namespace {

using Policy = Plexa::StorageTransformations;

TEST(StoragePolicy, ConstructionFollowsTheSignOfCompression) {
    for (int compression : {-1, 0, 5}) {
        for (bool extra : {false, true}) {
            ConvLib::MyStorage storage(compression, !extra, extra, extra);
            const bool on = compression >= 0;
            EXPECT_EQ(storage.FilterDefaults.automaticStrategy(),
                      on ? Policy::AutomaticFilters : Policy::NoAutomaticFilters);
            EXPECT_EQ(storage.FilterDefaults.NumericalShift, on);
            EXPECT_FALSE(storage.FilterDefaults.SinglePrecision);
            for (bool compressionSwitch :
                 {storage.DeflateFields, storage.ShuffleFields, storage.CompactSmallFields})
                EXPECT_EQ(compressionSwitch, on);
            EXPECT_EQ(storage.TrackCreationOrder, extra);
            EXPECT_EQ(storage.FilterDefaults.ExtraFilter, extra);
        }
    }
}

TEST(StoragePolicy, PrecisionRulesOnlyWhenCompressingAndHeightAlways) {
    const Plexa::MemPtr doubles = Plexa::makeArray<double>(4);
    const Plexa::MemPtr integers = Plexa::makeArray<std::int32_t>(4), none;
    struct Case {
        int Compression;
        const char* Field;
        Plexa::MemPtr Data;
        bool SinglePrecision, NumericalShift;
    };
    const Case cases[] = {
        {-1, "Pressure", doubles, false, false}, {0, "Pressure", doubles, false, true},
        {5, "Pressure", doubles, false, true},   {0, "Pressure", integers, false, false},
        {0, "Pressure", none, false, false},     {0, "height", doubles, false, true},
        {0, "Height2", integers, false, false},  {-1, "Height", doubles, true, false},
        {0, "Height", doubles, true, false},     {5, "Height", integers, true, false},
        {0, "Height", none, true, false},
    };
    for (const Case& c : cases) {
        const ConvLib::MyStorage storage(c.Compression, false, false, true);
        Plexa::Field field(c.Field, c.Data);
        Plexa::CreativeArrayBase array(c.Data);
        Policy::FilterSettings answer =
            storage.getFilterSettings(0.0, "Grid", Plexa::GridWeakPtr(), Plexa::SkeletonID(),
                                      "Points", field, c.Field, array, nullptr, c.Data);
        EXPECT_EQ(answer.SinglePrecision, c.SinglePrecision) << c.Compression << c.Field;
        EXPECT_EQ(answer.NumericalShift, c.NumericalShift) << c.Compression << c.Field;
        EXPECT_EQ(answer.automaticStrategy(), storage.FilterDefaults.automaticStrategy());
        EXPECT_TRUE(answer.ExtraFilter);
        EXPECT_FALSE(storage.FilterDefaults.SinglePrecision);
    }
}

TEST(StoragePolicy, SaveableFieldsSelectWhatIsWritten) {
    ConvLib::MyStorage storage(0, false, false, false);
    auto saveable = [&](const std::string& name) {
        Plexa::Field field(name, Plexa::MemPtr());
        return storage.isSaveableField(field.ID, field, Plexa::GridWeakPtr(), "Grid", 0.0, "Points",
                                       Plexa::SkeletonID());
    };
    EXPECT_TRUE(saveable("Pressure"));
    storage.SaveableFields.reset(new Quorix::StringList);
    EXPECT_FALSE(saveable("Pressure"));
    storage.SaveableFields.reset(new Quorix::StringList{"Height", "Pressure"});
    EXPECT_TRUE(saveable("Pressure") && saveable("Height"));
    EXPECT_FALSE(saveable("pressure"));
}

TEST(StoragePolicy, AnswersShowInTheWrittenFile) {
    ConvLibTest::TempDir dir;
    Plexa::Bundle bundle;
    Plexa::GridPtr grid = bundle.addSlice(0)->addGrid("G");
    for (const char* name : {"Positions", "Height", "Intensity"})
        grid->addField(name, Plexa::makeArray<double>(20000)); // above the compact limit
    for (int compression : {-1, 5}) {
        auto* storage = new ConvLib::MyStorage(compression, false, false, false);
        storage->SaveableFields.reset(new Quorix::StringList{"Positions", "Height"});
        const std::string file = dir / "policy.qz";
        ASSERT_TRUE(Plexa::writeBundleFile(bundle, file, Plexa::StoragePtr(storage)));
        const ConvLibTest::Stored stored = ConvLibTest::describe(file);
        EXPECT_EQ(ConvLibTest::findStored(stored, "G", "Intensity").Field, "");
        EXPECT_EQ(ConvLibTest::findStored(stored, "G", "Height").StoredType, "float32");
        const Plexa::StoredField& positions = ConvLibTest::findStored(stored, "G", "Positions");
        EXPECT_EQ(positions.StoredType, compression < 0 ? "float64" : "float32") << compression;
        EXPECT_EQ(positions.Deflate, compression >= 0) << compression;
    }
}

} // namespace

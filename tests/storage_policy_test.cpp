#include "convlib/MyStorage.hpp"

#include <gtest/gtest.h>

namespace {

using Settings = Plexa::StorageTransformations::FilterSettings;

// What the policy answers for one field, with its data given or not.
Settings settingsFor(const ConvLib::MyStorage& storage, const std::string& fieldName,
                     const Plexa::MemPtr& data) {
    Plexa::Field field(fieldName, data);
    Plexa::CreativeArrayBase array(data);
    return storage.getFilterSettings(0.0, "Grid", Plexa::GridWeakPtr(), Plexa::SkeletonID(),
                                     "Points", field, fieldName, array, nullptr, data);
}

bool saveable(ConvLib::MyStorage& storage, const std::string& name) {
    Plexa::Field field(name, Plexa::MemPtr());
    return storage.isSaveableField(field.ID, field, Plexa::GridWeakPtr(), "Grid", 0.0, "Points",
                                   Plexa::SkeletonID());
}

Plexa::MemPtr doubles() {
    return Plexa::makeArray<double>(4);
}
Plexa::MemPtr integers() {
    return Plexa::makeArray<std::int32_t>(4);
}

TEST(StoragePolicy, NegativeCompressionTurnsFiltersOff) {
    ConvLib::MyStorage storage(-1, true, true, true);
    EXPECT_EQ(storage.FilterDefaults.automaticStrategy(),
              Plexa::StorageTransformations::NoAutomaticFilters);
    EXPECT_FALSE(storage.DeflateFields || storage.ShuffleFields || storage.CompactSmallFields);
    EXPECT_TRUE(storage.TrackCreationOrder);
    EXPECT_TRUE(storage.FilterDefaults.ExtraFilter);
    Settings answer = settingsFor(storage, "Pressure", doubles());
    EXPECT_FALSE(answer.SinglePrecision);
    EXPECT_FALSE(answer.NumericalShift);
    EXPECT_EQ(answer.automaticStrategy(), Plexa::StorageTransformations::NoAutomaticFilters);
    EXPECT_TRUE(answer.ExtraFilter);
}

TEST(StoragePolicy, ZeroAndPositiveCompressionAskThePrecisionRules) {
    for (int compression : {0, 5}) {
        ConvLib::MyStorage storage(compression, false, false, false);
        EXPECT_EQ(storage.FilterDefaults.automaticStrategy(),
                  Plexa::StorageTransformations::AutomaticFilters);
        EXPECT_TRUE(storage.FilterDefaults.NumericalShift);
        EXPECT_TRUE(storage.DeflateFields && storage.ShuffleFields && storage.CompactSmallFields);
        EXPECT_FALSE(storage.TrackCreationOrder);
        EXPECT_FALSE(storage.FilterDefaults.ExtraFilter);
        Settings onDoubles = settingsFor(storage, "Pressure", doubles());
        EXPECT_TRUE(onDoubles.SinglePrecision);
        EXPECT_TRUE(onDoubles.NumericalShift);
        Settings onIntegers = settingsFor(storage, "Pressure", integers());
        EXPECT_FALSE(onIntegers.SinglePrecision);
        EXPECT_FALSE(onIntegers.NumericalShift);
        EXPECT_EQ(onIntegers.automaticStrategy(), Plexa::StorageTransformations::AutomaticFilters);
    }
}

TEST(StoragePolicy, NoDataAsksWithTypeVoid) {
    ConvLib::MyStorage storage(0, false, false, false);
    Settings answer = settingsFor(storage, "Pressure", Plexa::MemPtr());
    EXPECT_FALSE(answer.SinglePrecision);
    EXPECT_FALSE(answer.NumericalShift);
}

TEST(StoragePolicy, HeightIsSingleAndUnshiftedForEveryCompression) {
    for (int compression : {-1, 0, 5}) {
        ConvLib::MyStorage storage(compression, false, false, false);
        for (const Plexa::MemPtr& data : {doubles(), integers(), Plexa::MemPtr()}) {
            Settings answer = settingsFor(storage, "Height", data);
            EXPECT_TRUE(answer.SinglePrecision);
            EXPECT_FALSE(answer.NumericalShift);
        }
        EXPECT_FALSE(storage.FilterDefaults.SinglePrecision);
    }
    ConvLib::MyStorage storage(0, false, false, false);
    for (const char* lookalike : {"height", "Height2"}) {
        EXPECT_FALSE(settingsFor(storage, lookalike, integers()).SinglePrecision);
        EXPECT_TRUE(settingsFor(storage, lookalike, doubles()).NumericalShift);
    }
}

TEST(StoragePolicy, SaveableFieldsSelectWhatIsWritten) {
    ConvLib::MyStorage storage(0, false, false, false);
    EXPECT_TRUE(saveable(storage, "Pressure"));
    storage.SaveableFields.reset(new Quorix::StringList);
    EXPECT_FALSE(saveable(storage, "Pressure"));
    storage.SaveableFields.reset(new Quorix::StringList{"Height", "Pressure"});
    EXPECT_TRUE(saveable(storage, "Pressure"));
    EXPECT_TRUE(saveable(storage, "Height"));
    EXPECT_FALSE(saveable(storage, "pressure"));
}

} // namespace

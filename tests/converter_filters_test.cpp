#include "convlib/BasicConverterDefs.hpp"

#include <gtest/gtest.h>

namespace {

struct Converter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

TEST(SelectionFilters, EmptySetsSelectEverything) {
    Converter converter;
    EXPECT_TRUE(converter.UseThisGrid(""));
    EXPECT_TRUE(converter.UseThisGrid("any"));
    EXPECT_TRUE(converter.UseThisTime(-1.5));
    EXPECT_FALSE(converter.FieldUsed);
    EXPECT_TRUE(converter.UseThisField("anything"));
    EXPECT_TRUE(converter.FieldUsed);
}

TEST(SelectionFilters, GridNamesMatchExactly) {
    Converter converter;
    converter.DoThisGrids = {"Mesh"};
    EXPECT_TRUE(converter.UseThisGrid("Mesh"));
    for (const char* other : {"mesh", "Mesh ", "Me", ""})
        EXPECT_FALSE(converter.UseThisGrid(other));
    converter.DoThisGrids = {""};
    EXPECT_TRUE(converter.UseThisGrid(""));
    EXPECT_FALSE(converter.UseThisGrid("Mesh"));
}

TEST(SelectionFilters, TimesMatchWithoutTolerance) {
    Converter converter;
    converter.DoThisTime = {0.5, 1.0, 0.1};
    EXPECT_TRUE(converter.UseThisTime(0.5));
    EXPECT_TRUE(converter.UseThisTime(1.0));
    EXPECT_TRUE(converter.UseThisTime(0.10000000000000001));
    EXPECT_FALSE(converter.UseThisTime(0.75));
    EXPECT_FALSE(converter.UseThisTime(0.5000001));
}

TEST(SelectionFilters, FieldUsedOnlyEverTurnsOn) {
    Converter converter;
    converter.DoThisFields = {"pressure"};
    EXPECT_FALSE(converter.UseThisField("velocity"));
    EXPECT_FALSE(converter.FieldUsed);
    EXPECT_TRUE(converter.UseThisField("pressure"));
    EXPECT_TRUE(converter.FieldUsed);
    EXPECT_FALSE(converter.UseThisField("velocity"));
    EXPECT_TRUE(converter.FieldUsed);
}

} // namespace

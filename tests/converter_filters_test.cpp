#include "tests/support/ConverterSupport.hpp"

#include <gtest/gtest.h>

namespace {

TEST(SelectionFilters, EmptySetSelectsAllElseOnlyAnExactMatch) {
    ConvLibTest::TestConverter converter;
    EXPECT_TRUE(converter.UseThisGrid("") && converter.UseThisTime(-1.5));
    EXPECT_TRUE(converter.UseThisField("any") && converter.FieldUsed);
    converter.DoThisGrids = {"Mesh", ""};
    converter.DoThisTime = {0.5, 1.0, 0.1};
    for (const char* name : {"Mesh", ""})
        EXPECT_TRUE(converter.UseThisGrid(name)) << name;
    for (const char* name : {"mesh", "Mesh ", "Me"})
        EXPECT_FALSE(converter.UseThisGrid(name)) << name;
    for (double time : {0.5, 1.0, 0.10000000000000001})
        EXPECT_TRUE(converter.UseThisTime(time)) << time;
    for (double time : {0.75, 0.5000001})
        EXPECT_FALSE(converter.UseThisTime(time)) << time;
}

TEST(SelectionFilters, FieldUsedOnlyEverTurnsOn) {
    ConvLibTest::TestConverter converter;
    converter.DoThisFields = {"pressure"};
    EXPECT_FALSE(converter.UseThisField("velocity") || converter.FieldUsed);
    EXPECT_TRUE(converter.UseThisField("pressure") && converter.FieldUsed);
    EXPECT_FALSE(converter.UseThisField("velocity"));
    EXPECT_TRUE(converter.FieldUsed);
}

} // namespace

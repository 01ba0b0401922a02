#include "convlib/ElapsedTime.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <stdexcept>

namespace {

using namespace std::chrono;
using ConvLibTest::TestConverter;

TEST(ElapsedTime, HundredthsOfASecondUpToTheRoundedHour) {
    struct Case {
        nanoseconds First, Second;
        const char* Text;
    };
    const Case cases[] = {
        {nanoseconds(4'900'000), nanoseconds(4'900'000), "0.00[s]"},
        {nanoseconds(3'599'994'999'000), nanoseconds(3'599'994'999'000), "3599.99[s]"},
        {nanoseconds(3'599'995'000'000), nanoseconds(3'599'995'000'000), "1.00[h]"},
        {minutes(90), minutes(90), "1.50[h]"},
        {minutes(100), minutes(100), "1.67[h]"},
        // the hour form takes the second reading, the seconds form the first
        {minutes(90), minutes(100), "1.67[h]"},
        {seconds(10), minutes(100), "10.00[s]"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ConvLib::detail::elapsedTimeText(c.First, c.Second), c.Text) << c.Text;
}

// What a converter that ran 90 minutes prints when it is deleted through the base, in a pipe.
std::string summaryOf(const std::string& name, const ConvLibTest::Names& errors) {
    return ConvLibTest::captureStdout([&] {
        std::unique_ptr<ConvLib::BasicConverterDefs> converter(new TestConverter);
        converter->ConverterName = name;
        converter->ErrorMessages = errors;
        converter->StartTime -= minutes(90);
    });
}

TEST(RunSummary, ErrorBannerIfAnyThenTheTime) {
    const std::string bangs(62, '!'), stars(43, '*');
    const std::string time =
        "\n\n" + stars + "\n   \033[36mSample: Execution Time: 1.50[h]\033[0m\n" + stars + "\n\n";
    EXPECT_EQ(summaryOf("Sample", {}), time);
    EXPECT_EQ(summaryOf("", {"x"}),
              "\n\n" + bangs + "\n   \033[31m: Error! Message: x\033[0m\n" + bangs + "\n\n\n\n" +
                  stars + "\n   \033[36m: Execution Time: 1.50[h]\033[0m\n" + stars + "\n\n");
    EXPECT_EQ(summaryOf("Sample", {"first", ""}),
              "\n\n" + bangs +
                  "\n   \033[31mSample: Error! Message: first\033[0m\n"
                  "   \033[31mSample: Error! Message: \033[0m\n" +
                  bangs + "\n\n" + time);
}

const std::string Frame = "\n########################## \n";
const std::string Lead = ": Parameters... Have In-Files:";
const std::string Tail = "\nHave out file:  \nHave out grid name:  \nHave compression: 0 "
                         "\nSkip calculation if success attribute is set";

TEST(ParameterReport, FullConverterIsKeptAndRepeatable) {
    TestConverter converter;
    converter.ConverterName = "Sample";
    converter.InFiles.reset(new Quorix::StringList{"a.dat", "b.dat"});
    converter.DoThisGrids = {"Mesh"};
    converter.DoThisTime = {2.0, 0.5};
    converter.OutFile = "out.qz";
    converter.OutGridName = "Grid";
    converter.Compression = 5;
    converter.ExternalLinking = true;
    const std::string expected = Frame +
                                 "Sample: Parameters... Have In-Files: a.dat b.dat\n"
                                 "DoThisGrids: Mesh \n"
                                 "DoThisTime: 0.5 2 \n"
                                 "Have out file: out.qz \n"
                                 "Have out grid name: Grid \n"
                                 "Have compression: 5 \n"
                                 "Skip calculation if success attribute is set\n"
                                 "Have external linking \n"
                                 " NO Secondary parameters available" +
                                 Frame;
    EXPECT_EQ(converter.printParameters(), expected);
    EXPECT_EQ(converter.printParameters(), expected);
    EXPECT_EQ(converter.ParameterText, expected);
}

TEST(ParameterReport, SelectionsInSetOrderAndTheOtherSwitches) {
    TestConverter converter;
    converter.InFiles.reset(new Quorix::StringList{""});
    converter.DoThisFields = {"velocity", "Pressure"};
    converter.DoThisTime = {-0.0, 1e-4, 0.001, 250.0, 1e20, 1e6};
    converter.Compression = -1;
    converter.IgnoreSuccess = true;
    EXPECT_EQ(converter.printPrimary(),
              Lead +
                  " \nDoThisFields: Pressure velocity \nDoThisTime: -0 1e-04 0.001 250 1e+06 1e+20 "
                  "\nHave out file:  \nHave out grid name:  \nHave compression: -1 "
                  "\nIgnore success attribute and redo");
}

TEST(ParameterReport, OverriddenSecondaryIsInsertedAsIs) {
    struct OwnSettings : TestConverter {
        std::string printSecondary() override { return Secondary; }
        std::string Secondary;
    } converter;
    for (const char* secondary : {" level=3", ""}) {
        converter.Secondary = secondary;
        EXPECT_EQ(converter.printParameters(), Frame + Lead + Tail + secondary + Frame);
    }
}

// The report is built aside: the secondary part still sees the previous report, and a secondary
// part that throws leaves the previous report in place.
TEST(ParameterReport, PreviousReportStaysUntilTheNewOneIsWhole) {
    struct Peeking : TestConverter {
        std::string printSecondary() override {
            if (Fail) throw std::runtime_error("no settings");
            Seen = ParameterText;
            return "";
        }
        std::string Seen;
        bool Fail = false;
    } converter;
    converter.ParameterText = "old report";
    const std::string report = converter.printParameters();
    EXPECT_EQ(converter.Seen, "old report");
    converter.Fail = true;
    EXPECT_THROW(converter.printParameters(), std::runtime_error);
    EXPECT_EQ(converter.ParameterText, report);
}

TEST(SelectionFilters, EmptySetSelectsAllElseOnlyAnExactMatch) {
    TestConverter converter;
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
    TestConverter converter;
    converter.DoThisFields = {"pressure"};
    EXPECT_FALSE(converter.UseThisField("velocity") || converter.FieldUsed);
    EXPECT_TRUE(converter.UseThisField("pressure") && converter.FieldUsed);
    EXPECT_FALSE(converter.UseThisField("velocity"));
    EXPECT_TRUE(converter.FieldUsed);
}

} // namespace

#include "convlib/BasicConverterDefs.hpp"
#include "convlib/ElapsedTime.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

using namespace std::chrono;
using ConvLib::detail::elapsedTimeText;

struct Converter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

std::string timeOf(nanoseconds elapsed) {
    return elapsedTimeText(elapsed, elapsed);
}

const std::string Bangs(62, '!');
const std::string Stars(43, '*');

std::string timeBlock(const std::string& name, const std::string& figure) {
    return "\n\n" + Stars + "\n   \033[36m" + name + ": Execution Time: " + figure + "\033[0m\n" +
           Stars + "\n\n";
}

std::string errorLine(const std::string& name, const std::string& message) {
    return "   \033[31m" + name + ": Error! Message: " + message + "\033[0m\n";
}

// The summary of a converter that ran 90 minutes, as printed when it is destroyed.
std::string summaryOf(const std::string& name, const std::vector<std::string>& errors) {
    return ConvLibTest::captureStdout([&] {
        Converter converter;
        converter.ConverterName = name;
        converter.ErrorMessages = errors;
        converter.StartTime -= minutes(90);
    });
}

TEST(ElapsedTime, SecondsUpToTheRoundedHour) {
    EXPECT_EQ(timeOf(nanoseconds(4'900'000)), "0.00[s]");
    EXPECT_EQ(timeOf(milliseconds(75'300)), "75.30[s]");
    EXPECT_EQ(timeOf(microseconds(12'345'000)), "12.35[s]");
    EXPECT_EQ(timeOf(nanoseconds(3'599'994'999'000)), "3599.99[s]");
}

TEST(ElapsedTime, HoursFromTheRoundedHourOn) {
    EXPECT_EQ(timeOf(nanoseconds(3'599'995'000'000)), "1.00[h]");
    EXPECT_EQ(timeOf(minutes(90)), "1.50[h]");
    EXPECT_EQ(timeOf(minutes(100)), "1.67[h]");
}

TEST(ElapsedTime, HourFormUsesTheSecondReading) {
    EXPECT_EQ(elapsedTimeText(minutes(90), minutes(100)), "1.67[h]");
    EXPECT_EQ(elapsedTimeText(seconds(10), minutes(100)), "10.00[s]");
}

TEST(RunSummary, WithoutErrorsOnlyTheTime) {
    EXPECT_EQ(summaryOf("Sample", {}), timeBlock("Sample", "1.50[h]"));
}

TEST(RunSummary, ErrorsInOrderInsideOneBanner) {
    std::string expected = "\n\n" + Bangs + "\n" + errorLine("Sample", "first") +
                           errorLine("Sample", "") + errorLine("Sample", "third") + Bangs + "\n\n" +
                           timeBlock("Sample", "1.50[h]");
    EXPECT_EQ(summaryOf("Sample", {"first", "", "third"}), expected);
}

TEST(RunSummary, EmptyConverterName) {
    std::string expected =
        "\n\n" + Bangs + "\n" + errorLine("", "lost") + Bangs + "\n\n" + timeBlock("", "1.50[h]");
    EXPECT_EQ(summaryOf("", {"lost"}), expected);
}

TEST(RunSummary, DeletingThroughTheBasePrintsOnce) {
    std::string output = ConvLibTest::captureStdout([] {
        std::unique_ptr<ConvLib::BasicConverterDefs> converter(new Converter);
        converter->ConverterName = "Sample";
        converter->StartTime -= minutes(90);
    });
    EXPECT_EQ(output, timeBlock("Sample", "1.50[h]"));
}

} // namespace

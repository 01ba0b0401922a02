#include "convlib/ElapsedTime.hpp"
#include "tests/support/ConverterSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

namespace {

using namespace std::chrono;

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

std::string errorLine(const std::string& name, const std::string& message) {
    return "   \033[31m" + name + ": Error! Message: " + message + "\033[0m\n";
}

std::string timeBlock(const std::string& name) {
    const std::string stars(43, '*');
    return "\n\n" + stars + "\n   \033[36m" + name + ": Execution Time: 1.50[h]\033[0m\n" + stars +
           "\n\n";
}

// What a converter that ran 90 minutes prints when it is deleted through the base.
std::string summaryOf(const std::string& name, const ConvLibTest::Names& errors) {
    return ConvLibTest::captureStdout([&] {
        std::unique_ptr<ConvLib::BasicConverterDefs> converter(new ConvLibTest::TestConverter);
        converter->ConverterName = name;
        converter->ErrorMessages = errors;
        converter->StartTime -= minutes(90);
    });
}

TEST(RunSummary, ErrorBannerIfAnyThenTheTime) {
    const std::string bangs(62, '!');
    EXPECT_EQ(summaryOf("Sample", {}), timeBlock("Sample"));
    EXPECT_EQ(summaryOf("Sample", {"first", "", "third"}),
              "\n\n" + bangs + "\n" + errorLine("Sample", "first") + errorLine("Sample", "") +
                  errorLine("Sample", "third") + bangs + "\n\n" + timeBlock("Sample"));
    EXPECT_EQ(summaryOf("", {"lost"}),
              "\n\n" + bangs + "\n" + errorLine("", "lost") + bangs + "\n\n" + timeBlock(""));
}

} // namespace

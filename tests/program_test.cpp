// The program layer: shard specs, shard slices, progress lines, the colour of the console and the
// column delimiter of text clouds.
#include "convlib/Program.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <unistd.h>

using ConvLib::Tools::Progress;
using ConvLib::Tools::Shard;

TEST(Shard, ParsesOnlyKOfNWithKInRange) {
    Shard shard;
    std::string error;
    ASSERT_TRUE(ConvLib::Tools::parseShard("3/8", shard, error));
    EXPECT_EQ(std::make_pair(shard.Index, shard.Count), std::make_pair(3, 8));
    for (const char* bad :
         {"", "3", "/8", "3/", "0/8", "9/8", "-1/8", "1/0", "1/8x", " 1/8", "a/b"}) {
        EXPECT_FALSE(ConvLib::Tools::parseShard(bad, shard, error)) << bad;
        EXPECT_NE(error.find(bad), std::string::npos) << error;
    }
    EXPECT_EQ(shard.Index, 3) << "a rejected value leaves the shard as it was";
}

TEST(Shard, SlicesCoverEveryFileOnceInOrderAndDifferInSizeByAtMostOne) {
    for (int files = 0; files <= 20; ++files) {
        std::list<std::string> all;
        for (int i = 0; i < files; ++i)
            all.push_back("f" + std::to_string(100 + i));
        for (int count = 1; count <= 8; ++count) {
            std::list<std::string> joined;
            std::size_t smallest = all.size(), largest = 0;
            for (int index = 1; index <= count; ++index) {
                std::list<std::string> slice = ConvLib::Tools::takeShard(all, {index, count});
                smallest = std::min(smallest, slice.size());
                largest = std::max(largest, slice.size());
                joined.splice(joined.end(), slice);
            }
            EXPECT_EQ(joined, all) << files << " files, " << count << " shards";
            EXPECT_LE(largest - smallest, 1u);
        }
    }
}

TEST(Progress, WritesCountedLinesOnlyWhenEnabled) {
    const std::string shown = ConvLibTest::captureStderr([] {
        Progress progress(2, true);
        progress.step("a.csv");
        progress.step("b.csv");
    });
    EXPECT_EQ(shown, "[1/2] a.csv\n[2/2] b.csv\n");
    EXPECT_EQ(ConvLibTest::captureStderr([] { Progress(1, false).step("a.csv"); }), "");
}

namespace {

const std::string Coloured = "a \033[31mred\033[0m \033[1;36mword\033[0m";

// What a console message of coloured text looks like through the colour sink on the stream.
void writeColoured(std::FILE* stream, const char* noColour) {
    const ConvLibTest::ScopedVariable variable("NO_COLOR", noColour);
    const Quorix::Console::Sink previous =
        Quorix::Console::setSink(ConvLib::Tools::colourSink(stream));
    Quorix::Console() << Coloured;
    Quorix::Console::setSink(previous);
}

std::string shownOnStderr(const char* noColour) {
    return ConvLibTest::captureStderr([&] { writeColoured(stderr, noColour); });
}

} // namespace

TEST(ColourSink, KeepsColourOnlyOnATerminalWithoutNoColorOrWhenForced) {
    EXPECT_EQ(shownOnStderr(nullptr), "a red word\n") << "not a terminal";
    {
        const ConvLibTest::ScopedVariable force("CLICOLOR_FORCE", "1");
        EXPECT_EQ(shownOnStderr(nullptr), Coloured + "\n");
        EXPECT_EQ(shownOnStderr("1"), "a red word\n") << "NO_COLOR wins";
    }

    // a pseudo-terminal stands for the user's terminal
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master) | unlockpt(master), 0);
    std::FILE* terminal = std::fopen(ptsname(master), "w");
    ASSERT_NE(terminal, nullptr);
    for (const auto& [noColour, expected] : {std::pair<const char*, std::string>{nullptr, Coloured},
                                             {"", Coloured},
                                             {"1", "a red word"}}) {
        writeColoured(terminal, noColour);
        char buffer[256];
        const ssize_t got = read(master, buffer, sizeof buffer);
        ASSERT_GT(got, 0);
        EXPECT_EQ(std::string(buffer, got), expected + "\r\n") << (noColour ? noColour : "unset");
    }
    std::fclose(terminal);
    close(master);
}

TEST(Delimiter, IsReadFromItsWordOrItsCharacter) {
    const std::pair<const char*, char> spellings[] = {
        {"comma", ','}, {",", ','},    {"semicolon", ';'}, {";", ';'}, {"tab", '\t'},
        {"\t", '\t'},   {"\\t", '\t'}, {"space", ' '},     {" ", ' '}};
    for (const auto& [text, expected] : spellings) {
        char delimiter = 0;
        std::string error;
        EXPECT_TRUE(ConvLib::Tools::parseDelimiter(text, delimiter, error)) << text;
        EXPECT_EQ(delimiter, expected) << text;
    }
    for (const char* bad : {"", "|", "Comma", "commas", ",;", "\\s"}) {
        char delimiter = 'x';
        std::string error;
        EXPECT_FALSE(ConvLib::Tools::parseDelimiter(bad, delimiter, error)) << bad;
        EXPECT_EQ(delimiter, 'x') << bad;
    }
}

namespace {

// A converter whose convert() does what the test tells it, over a bundle bound to a new file.
struct ScriptedConverter : ConvLib::BasicConverterDefs {
    explicit ScriptedConverter(std::function<bool(ScriptedConverter&)> script)
        : Script(std::move(script)) {
        ConverterName = "scripted";
    }
    bool convert() override { return Script(*this); }
    void bindChanged(const std::string& file) {
        myBundle = Plexa::BundlePtr(new Plexa::Bundle);
        myBundle->addSlice(0)->addGrid("g")->addField("f", Plexa::makeArray<double>(2));
        ASSERT_TRUE(myBundle->bindToNew(file, Plexa::StoragePtr()));
    }
    std::function<bool(ScriptedConverter&)> Script;
};

struct RunCase {
    const char* What;
    std::function<bool(ScriptedConverter&)> Script;
    int Status;
    std::string Message; // in the run summary; empty: none
};

} // namespace

TEST(RunConverter, StatusCountsTheResultEveryMessageAndAnOutputLeftUnsaved) {
    ConvLibTest::TempDir dir;
    const std::string output = dir / "out.qz";
    const RunCase cases[] = {
        {"success", [](ScriptedConverter&) { return true; }, 0, ""},
        {"a failure without a message", [](ScriptedConverter&) { return false; }, 1,
         "The conversion failed without giving a reason"},
        {"an error message with success",
         [](ScriptedConverter& c) {
             c.ErrorMessages.push_back("bad thing");
             return true;
         },
         1, "bad thing"},
        {"an output left unsaved",
         [&](ScriptedConverter& c) {
             c.bindChanged(output);
             return true;
         },
         1, "The output " + output + " was changed but not saved; nothing was written"},
        {"an exception", [](ScriptedConverter&) -> bool { throw std::runtime_error("boom"); }, 1,
         "The run stopped early: boom"},
    };
    for (const RunCase& run : cases) {
        int status = -1;
        const std::string shown = ConvLibTest::captureStdout([&] {
            status = ConvLib::Tools::runConverter(std::make_unique<ScriptedConverter>(run.Script));
        });
        EXPECT_EQ(status, run.Status) << run.What;
        if (!run.Message.empty()) {
            EXPECT_NE(shown.find("scripted: Error! Message: " + run.Message), std::string::npos)
                << run.What << "\n"
                << shown;
        }
        EXPECT_FALSE(std::filesystem::exists(output)) << run.What;
    }
}

// Converters killed at random moments while they save a large bundle: the file they replace
// always loads with its old or its new contents, and the next full run leaves no temporary file.
#include "tests/e2e/E2eSupport.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

using namespace ConvLibTest;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// About 23 MiB of positions: large enough that a save takes a good part of a run.
constexpr std::size_t Points = 1'000'000;
// At least this many kills, more until enough of them came during a save, within a bound.
constexpr int MinKills = 12;
constexpr int MaxKills = 40;
constexpr std::size_t SavesToInterrupt = 4;

Plexa::MemArrayPtr<double> positions(double offset) {
    auto xyz = Plexa::makeArray<double>(Points, 3);
    for (std::size_t i = 0; i < xyz->elementCount(); ++i)
        xyz->data()[i] = offset + static_cast<double>(i % 1013) * 0.25;
    return xyz;
}

// A bundle file with one grid of the given positions.
void writeCloud(const std::string& file, const std::string& grid,
                const Plexa::MemArrayPtr<double>& xyz) {
    Plexa::BundlePtr bundle(new Plexa::Bundle);
    bundle->addSlice(0)->addGrid(grid)->addField("Positions", xyz);
    ASSERT_TRUE(Plexa::writeBundleFile(*bundle, file, Plexa::StoragePtr()));
}

// The file's only grid when the file loads and the grid is one of the clouds with exactly its
// positions; empty otherwise.
Plexa::GridPtr intactCloud(const std::string& file,
                           const std::map<std::string, Plexa::MemArrayPtr<double>>& clouds) {
    bool loaded = false;
    Plexa::BundlePtr bundle = Plexa::Bundle::load(
        loaded, Quorix::StrongPtr<Quorix::LoaderParameters>(new Quorix::LoaderParameters(file)),
        Plexa::BundlePtr());
    if (!loaded || bundle->slices().size() != 1) return {};
    const auto& grids = bundle->slices().begin()->second->grids();
    if (grids.size() != 1 || !clouds.count(grids.begin()->first)) return {};
    const Plexa::GridPtr& grid = grids.begin()->second;
    const Plexa::Field* field = grid->findField("Positions");
    const auto* stored =
        field ? dynamic_cast<const Plexa::MemArray<double>*>(field->Data.rawptr()) : nullptr;
    const Plexa::MemArray<double>& expected = *clouds.at(grid->name());
    const bool same =
        stored && stored->elementCount() == expected.elementCount() &&
        std::memcmp(stored->data(), expected.data(), expected.elementCount() * sizeof(double)) == 0;
    return same ? grid : Plexa::GridPtr();
}

// Starts a program with its output discarded.
pid_t start(const std::vector<std::string>& command) {
    std::vector<char*> argv;
    for (const std::string& word : command)
        argv.push_back(const_cast<char*>(word.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int stream : {0, 1, 2})
        posix_spawn_file_actions_addopen(&actions, stream, "/dev/null", O_RDWR, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << std::strerror(error);
    return error == 0 ? pid : -1;
}

// Kills the program after the delay unless it ended before; true when it was killed.
bool runKilledAfter(const std::vector<std::string>& command, Clock::duration delay) {
    const pid_t pid = start(command);
    if (pid < 0) return false;
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) == 0))
        << "status " << status;
    return WIFSIGNALED(status);
}

// How long a run takes when it is left alone.
Clock::duration fullRun(const std::vector<std::string>& command) {
    const Clock::time_point begin = Clock::now();
    const pid_t pid = start(command);
    int status = -1;
    if (pid > 0) ::waitpid(pid, &status, 0);
    EXPECT_EQ(status, 0);
    return Clock::now() - begin;
}

std::set<std::string> namesIn(const std::string& folder) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    return names;
}

class CrashSafety : public testing::Test {
protected:
    CrashSafety() {
        const unsigned seed = std::random_device{}();
        std::cout << "kill delays from seed " << seed << "\n";
        Random.seed(seed);
        Clouds = {{"east", positions(5.0e5)}, {"west", positions(-3.0e3)}};
        for (const auto& [grid, xyz] : Clouds)
            writeCloud(Dir / (grid + ".qz"), grid, xyz);
    }

    // Runs the commands in turn, each killed at a random moment of its run, and after each run
    // asks `check` to look at the file with the index of the command. Delays spread over the
    // shortest full run, measured first. Every kill leaves at most one temporary file, and a last
    // full run none. Returns how many kills left one, the saves they interrupted.
    std::size_t killRepeatedly(const std::vector<std::vector<std::string>>& commands,
                               const std::function<void(std::size_t command)>& check) {
        Clock::duration shortest = Clock::duration::max();
        for (int pass = 0; pass < 2; ++pass) // the first run of a file is slower
            for (std::size_t which = 0; which < commands.size(); ++which) {
                shortest = std::min(shortest, fullRun(commands[which]));
                check(which);
            }
        const std::set<std::string> files = namesIn(Dir.path());
        std::uniform_int_distribution<Clock::rep> delays(0, shortest.count());
        std::set<std::string> leftovers;
        int kill = 0;
        for (; kill < MaxKills && (kill < MinKills || leftovers.size() < SavesToInterrupt);
             ++kill) {
            const std::size_t which = static_cast<std::size_t>(kill) % commands.size();
            runKilledAfter(commands[which], Clock::duration(delays(Random)));
            check(which);
            std::set<std::string> extra;
            for (const std::string& name : namesIn(Dir.path()))
                if (!files.count(name)) extra.insert(name);
            EXPECT_LE(extra.size(), 1u) << "stale temporary files pile up";
            leftovers.insert(extra.begin(), extra.end());
        }
        fullRun(commands[0]);
        check(0);
        EXPECT_EQ(namesIn(Dir.path()), files);
        std::cout << leftovers.size() << " of " << kill << " kills came during a save\n";
        return leftovers.size();
    }

    TempDir Dir;
    std::map<std::string, Plexa::MemArrayPtr<double>> Clouds;
    std::mt19937 Random;
};

TEST_F(CrashSafety, KilledMergeLeavesTheOldOutputOrTheNewOne) {
    const std::string merged = Dir / "merged.qz";
    const std::vector<std::string> sources = {"east", "west"};
    std::vector<std::vector<std::string>> commands;
    for (const std::string& source : sources)
        commands.push_back({QZ_MERGE, Dir / (source + ".qz"), "-o", merged, "-c", "-1"});
    std::string current;
    const std::size_t interrupted = killRepeatedly(commands, [&](std::size_t which) {
        const Plexa::GridPtr grid = intactCloud(merged, Clouds);
        const std::string now = grid ? grid->name() : "broken";
        EXPECT_TRUE(now == current || now == sources[which])
            << "before " << current << ", after merging " << sources[which] << ": " << now;
        current = now;
    });
    EXPECT_GE(interrupted, SavesToInterrupt);
}

TEST_F(CrashSafety, KilledInPlaceConversionLeavesTheInputIntact) {
    const std::string input = Dir / "east.qz";
    const std::size_t interrupted =
        killRepeatedly({{QZ_POINTCLOUD, input, "--ignore-success", "-c", "-1"}}, [&](std::size_t) {
            const Plexa::GridPtr grid = intactCloud(input, Clouds);
            ASSERT_TRUE(grid) << "the input was damaged";
            EXPECT_TRUE(grid->findField("Height")) << "the first full run's Height was lost";
        });
    EXPECT_GE(interrupted, SavesToInterrupt);
}

} // namespace

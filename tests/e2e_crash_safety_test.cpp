// Converters killed at random moments while they save a large bundle: the file they replace
// always loads with its old or its new contents, and the next full run leaves no temporary file.
#include "tests/e2e/E2eSupport.hpp"
#include "tests/support/NetcdfWriter.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <deque>
#include <filesystem>
#include <functional>
#include <random>
#include <set>
#include <thread>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/inotify.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace ConvLibTest;

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// About 23 MiB of positions: large enough that a save takes a good while.
constexpr std::size_t Points = 1'000'000;
// At least this many kills, more until enough of them came during a save, within a bound.
constexpr int MinKills = 12;
constexpr int MaxKills = 30;
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
    // a group of its own, so that a signal reaches the program's workers too, as a job
    // scheduler's or a terminal's does
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
    posix_spawnattr_setpgroup(&attributes, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(error, 0) << std::strerror(error);
    return error == 0 ? pid : -1;
}

// A program started in a watched folder: tells when its save makes its temporary file, when it
// renames it, and when the program ends, waiting on the events rather than on the clock.
class WatchedRun {
public:
    enum Event { SaveBegins, SaveEnds, Ended };

    WatchedRun(const std::vector<std::string>& command, const std::string& folder)
        : Events(::inotify_init1(IN_CLOEXEC)) {
        EXPECT_GE(::inotify_add_watch(Events, folder.c_str(), IN_CREATE | IN_MOVED_FROM), 0);
        Pid = start(command);
        Exit = Pid > 0 ? static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0)) : -1;
        EXPECT_GE(Exit, 0) << std::strerror(errno);
    }
    WatchedRun(const WatchedRun&) = delete;
    WatchedRun& operator=(const WatchedRun&) = delete;
    ~WatchedRun() {
        if (Pid > 0) end();
        ::close(Exit);
        ::close(Events);
    }

    Clock::duration elapsed() const { return Clock::now() - Begin; }

    // The next thing that happens; the folder's events come before the program's end.
    Event next() {
        while (Pending.empty()) {
            pollfd waits[] = {{Events, POLLIN, 0}, {Exit, POLLIN, 0}};
            if (Exit < 0 || ::poll(waits, 2, -1) <= 0 || !waits[0].revents) return Ended;
            alignas(inotify_event) char buffer[4096];
            const ssize_t length = ::read(Events, buffer, sizeof buffer);
            for (ssize_t at = 0; at < length;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                Pending.push_back(event->mask & IN_CREATE ? SaveBegins : SaveEnds);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
            }
        }
        const Event event = Pending.front();
        Pending.pop_front();
        return event;
    }

    // Kills the program and its workers after the delay unless it ended before; true when it was
    // killed.
    bool killAfter(Clock::duration delay, int signal = SIGKILL) {
        std::this_thread::sleep_for(delay);
        ::kill(-Pid, signal);
        const int status = end();
        EXPECT_TRUE((WIFSIGNALED(status) && WTERMSIG(status) == signal) || status == 0)
            << "status " << status;
        return WIFSIGNALED(status);
    }

    // Waits for the program's end; its wait status.
    int end() {
        int status = -1;
        ::waitpid(std::exchange(Pid, -1), &status, 0);
        return status;
    }

private:
    Clock::time_point Begin = Clock::now();
    int Events;
    pid_t Pid = -1;
    int Exit = -1;
    std::deque<Event> Pending;
};

// When, counted from its start, a run made its temporary file and when it renamed it.
struct SaveWindow {
    Clock::duration Begin{};
    Clock::duration End{};
};

// Runs the program to its end, watching its save.
SaveWindow measuredRun(const std::vector<std::string>& command, const std::string& folder) {
    WatchedRun run(command, folder);
    SaveWindow window;
    for (WatchedRun::Event event; (event = run.next()) != WatchedRun::Ended;)
        (event == WatchedRun::SaveBegins ? window.Begin : window.End) = run.elapsed();
    EXPECT_EQ(run.end(), 0);
    return window;
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

    // Runs the commands in turn, each killed at a random moment, and after each run asks `check`
    // to look at the file with the index of the command. Every other kill comes anywhere before
    // the end of the shortest save measured first; the others come while a save is under way. Every
    // kill leaves at most one temporary file, and a last full run none. Returns how many kills left
    // one, the saves they interrupted.
    std::size_t killRepeatedly(const std::vector<std::vector<std::string>>& commands,
                               const std::function<void(std::size_t command)>& check) {
        // the first run of a file is slower, and a sync now and then takes much longer
        SaveWindow save{Clock::duration::zero(), Clock::duration::max()};
        for (std::size_t run = 0; run < 4; ++run) {
            const std::size_t which = run % commands.size();
            const SaveWindow measured = measuredRun(commands[which], Dir.path());
            check(which);
            if (run > 0 && measured.End - measured.Begin < save.End - save.Begin) save = measured;
        }
        if (save.Begin >= save.End) {
            ADD_FAILURE() << "no save seen";
            return 0;
        }
        using Ms = std::chrono::milliseconds;
        std::cout << "a save from " << std::chrono::duration_cast<Ms>(save.Begin).count() << " to "
                  << std::chrono::duration_cast<Ms>(save.End).count() << " ms into a run\n";
        std::uniform_int_distribution<Clock::rep> anyTime(0, save.End.count());
        std::uniform_int_distribution<Clock::rep> inSave(0,
                                                         (save.End - save.Begin).count() * 5 / 4);
        const std::set<std::string> files = namesIn(Dir.path());
        std::set<std::string> leftovers;
        int kill = 0;
        for (; kill < MaxKills && (kill < MinKills || leftovers.size() < SavesToInterrupt);
             ++kill) {
            const std::size_t which = static_cast<std::size_t>(kill / 2) % commands.size();
            WatchedRun run(commands[which], Dir.path());
            if (kill % 2 == 0)
                run.killAfter(Clock::duration(anyTime(Random)));
            else if (run.next() == WatchedRun::SaveBegins)
                run.killAfter(Clock::duration(inSave(Random)));
            check(which);
            std::set<std::string> extra;
            for (const std::string& name : namesIn(Dir.path()))
                if (!files.count(name)) extra.insert(name);
            EXPECT_LE(extra.size(), 1u) << "stale temporary files pile up";
            leftovers.insert(extra.begin(), extra.end());
        }
        measuredRun(commands[0], Dir.path());
        check(0);
        EXPECT_EQ(namesIn(Dir.path()), files);
        std::cout << leftovers.size() << " of " << kill << " kills came during a save\n";
        return leftovers.size();
    }

    TempDir Dir;
    std::map<std::string, Plexa::MemArrayPtr<double>> Clouds;
    std::mt19937 Random;
};

// The merge compresses, so its saves filter chunks on every core; the positions, multiples of
// 0.25 around their midpoint, come back exactly from single precision.
TEST_F(CrashSafety, KilledParallelSaveOfAMergeLeavesTheOldOutputOrTheNewOne) {
    const std::string merged = Dir / "merged.qz";
    const std::vector<std::string> sources = {"east", "west"};
    std::vector<std::vector<std::string>> commands;
    for (const std::string& source : sources)
        commands.push_back({QZ_MERGE, Dir / (source + ".qz"), "-o", merged, "-c", "4"});
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

TEST_F(CrashSafety, InterruptedSaveRemovesItsTemporaryFile) {
    const std::set<std::string> files = namesIn(Dir.path());
    int interrupted = 0;
    for (int attempt = 0; attempt < 10 && interrupted < 4; ++attempt) {
        const int signal = attempt % 2 ? SIGTERM : SIGINT;
        WatchedRun run({QZ_MERGE, Dir / "east.qz", "-o", Dir / "merged.qz", "-c", "-1"},
                       Dir.path());
        // a save that ends before the signal arrives leaves its output, which is no temporary
        if (run.next() == WatchedRun::SaveBegins && run.killAfter(Clock::duration::zero(), signal))
            ++interrupted;
        std::filesystem::remove(Dir / "merged.qz");
        EXPECT_EQ(namesIn(Dir.path()), files) << "after signal " << signal;
    }
    EXPECT_GE(interrupted, 2);
}

// qz-netcdf writes 40 steps in five parts to one temporary file: killed or interrupted as its
// first part is written, it leaves the old output, and its next run converts anew and leaves no
// temporary.
TEST_F(CrashSafety, ConversionInPartsStoppedBetweenPartsLeavesTheOldOutput) {
    writeTimeSteps(Dir / "steps.nc", 40, 100);
    const std::string output = Dir / "steps.qz";
    const std::vector<std::string> command{QZ_NETCDF, Dir / "steps.nc", "-o",
                                           output,    "--memory",       "1"};
    measuredRun(command, Dir.path());
    const std::string old = readFile(output);
    const std::set<std::string> files = namesIn(Dir.path());
    for (const int signal : {SIGKILL, SIGTERM}) {
        WatchedRun run(command, Dir.path());
        ASSERT_EQ(run.next(), WatchedRun::SaveBegins);
        EXPECT_TRUE(run.killAfter(Clock::duration::zero(), signal)) << "ended before the signal";
        EXPECT_EQ(readFile(output), old) << "signal " << signal;
    }
    measuredRun(command, Dir.path());
    EXPECT_EQ(namesIn(Dir.path()), files);
    EXPECT_EQ(loadBundle(output)->slices().size(), 40u);
}

} // namespace

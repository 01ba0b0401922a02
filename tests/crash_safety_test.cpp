// What a save does with the temporary files that killed saves left beside its file.
#include "outside/Plexa.hpp"
#include "tests/support/PlexaSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <sys/wait.h>
#include <unistd.h>

using namespace ConvLibTest;

namespace {

// The number of a process that has ended.
std::string endedProcess() {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ::waitpid(child, nullptr, 0);
    return std::to_string(child);
}

std::string hostName() {
    char host[256] = {};
    ::gethostname(host, sizeof host - 1);
    return host;
}

TEST(StaleTemporaries, ASaveRemovesOnlyWhatEndedSavesOnThisMachineLeftInItsFolder) {
    TempDir dir;
    const std::string ended = endedProcess();
    const std::string here = "@" + hostName() + ".tmp";
    const std::pair<std::string, bool> planted[] = {
        {".out.qz." + ended + "-7-0" + here, true},
        {".out.qz." + ended + "-7-12" + here, true},
        {".out.qz.1-7-0" + here, false},                    // its writer still runs
        {".out.qz." + ended + "-7-0@elsewhere.tmp", false}, // another machine's
        {".out.qz.x." + ended + "-7-0" + here, true},       // the file out.qz.x's
        {".out.qz." + ended + "-7" + here, false},          // not our shape
        {".out.qz." + ended + "-7-0-1" + here, false},      // not our shape
        {"out.qz." + ended + "-7-0" + here, false},         // not hidden
        {"." + ended + "-7-0" + here, false},               // no file's name
        {".out.qz.99999999999999999999-7-0" + here, false}, // no process number
    };
    for (const auto& [name, stale] : planted)
        dir.write(name, "left behind");

    Plexa::BindResult saved =
        Plexa::writeBundleFile(*makeSampleBundle(), dir / "out.qz", Plexa::StoragePtr());
    ASSERT_TRUE(saved) << saved.Text;
    for (const auto& [name, stale] : planted)
        EXPECT_EQ(std::filesystem::exists(dir / name), !stale) << name;
    expectSameBundles(*makeSampleBundle(), *loadBundle(dir / "out.qz"));
}

} // namespace

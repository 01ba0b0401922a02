// Inputs that crash the HDF5 library, pass their time or memory limit, or would write one output:
// each ends only itself, named with its cause; the rest of the batch converts, the exit status is
// 1, and nothing partial is left. --jobs gives what one job at a time gives.
#include "tests/e2e/E2eSupport.hpp"
#include "tests/support/NetcdfWriter.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>

using namespace ConvLibTest;
using namespace ConvLibTest::E2e;

namespace {

// Bundle files whose group of many links (dense link storage) claims more or fewer links than it
// holds, with their checksums made good: HDF5 1.10 frees bad pointers iterating it.
const char* const DamagedBundles[] = {"damaged-links-fewer.qz", "damaged-links-more.qz",
                                      "damaged-links-many.qz"};

// The same damage in a netCDF-4 file, whose groups libnetcdf has HDF5 iterate.
const char* const DamagedNetcdf[] = {"damaged-links-fewer.nc"};

std::string damagedFile(const std::string& corpus, const std::string& name) {
    return readFile(std::string(CONVLIB_SOURCE_DIR) + "/fuzz/corpus/" + corpus + "/" + name);
}

std::string damagedBundle(const std::string& name) {
    return damagedFile("bundle", name);
}

// How a run names a damaged file. The sanitizers' allocators fill and guard memory otherwise, so
// under them HDF5 may refuse such a file instead of crashing, or read past its fault unharmed:
// what a crash gives is then checked only where the library crashes.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool UnderSanitizers = true;
std::string crashMessage(const std::string& file, const std::string&) {
    return file + ": ";
}
#else
constexpr bool UnderSanitizers = false;
std::string crashMessage(const std::string& file, const std::string& library) {
    return file + ": damaged: the " + library + " library crashed reading it (";
}
#endif
const std::string CrashMessage = crashMessage("damaged.qz", "HDF5");

// The run summary's error lines, without the execution time, which differs from run to run.
std::string errorLines(const std::string& err) {
    std::string lines;
    const std::regex error("Error! Message: .*");
    for (auto it = std::sregex_iterator(err.begin(), err.end(), error);
         it != std::sregex_iterator(); ++it)
        lines += it->str() + "\n";
    return lines;
}

class Contained : public InFreshFolder {
protected:
    void writeClouds() {
        Folder.write("a.csv", "x,y,z\n0,0,1\n1,0,2\n");
        Folder.write("z.csv", "x,y,z\n0,0,5\n1,1,7\n");
    }
};

TEST_F(Contained, ABundleThatCrashesTheLibraryIsNamedAndTheBatchGoesOn) {
    if (UnderSanitizers)
        GTEST_SKIP() << "HDF5 reads one of the files unharmed under the sanitizers";
    writeClouds();
    for (const char* name : DamagedBundles) {
        SCOPED_TRACE(name);
        const std::string bytes = damagedBundle(name);
        Folder.write("damaged.qz", bytes);
        std::filesystem::remove("z.qz");
        for (int pass = 0; pass < 2; ++pass) { // a rerun fails alike and skips what is finished
            const RunResult run = ConvLibTest::run(QZ_POINTCLOUD, {"a.csv", "damaged.qz", "z.csv"});
            EXPECT_EQ(run.Status, 1);
            EXPECT_NE(run.Err.find(CrashMessage), std::string::npos) << run.Err;
            EXPECT_NE(run.Out.find("damaged.qz: not converted, see the errors below"),
                      std::string::npos)
                << run.Out;
            EXPECT_NE(run.Out.find(pass == 0 ? "z.csv -> z.qz: Height added to z (2 points)"
                                             : "z.csv -> z.qz: nothing to do"),
                      std::string::npos)
                << run.Out;
        }
        EXPECT_EQ(readFile("damaged.qz"), bytes) << "the input stays as it was";
        EXPECT_EQ(snapshot(".").size(), 5u) << "a.csv, a.qz, damaged.qz, z.csv, z.qz, no temporary";
        const RunResult limited =
            ConvLibTest::run(QZ_POINTCLOUD, {"damaged.qz", "--memory-limit", "4096"});
        EXPECT_NE(limited.Err.find("damaged.qz: the HDF5 library crashed reading it ("),
                  std::string::npos)
            << limited.Err;
        EXPECT_NE(limited.Err.find("): the file is damaged, or reading it passed the memory limit "
                                   "of 4096 MiB per input (--memory-limit)"),
                  std::string::npos)
            << "a crash under a limit the user set may be the limit's doing\n"
            << limited.Err;
    }
}

TEST_F(Contained, InspectAndMergeNameABundleThatCrashesTheLibrary) {
    writeClouds();
    ASSERT_EQ(run(QZ_POINTCLOUD, {"a.csv", "z.csv"}).Status, 0);
    Folder.write("damaged.qz", damagedBundle(DamagedBundles[1]));
    const RunResult inspected = run(QZ_INSPECT, {"damaged.qz"});
    EXPECT_EQ(inspected.Status, 1);
    EXPECT_NE(inspected.Err.find(CrashMessage), std::string::npos) << inspected.Err;
    const RunResult merged = run(QZ_MERGE, {"a.qz", "damaged.qz", "z.qz", "-o", "m.qz"});
    EXPECT_EQ(merged.Status, 1);
    EXPECT_NE(merged.Err.find(CrashMessage), std::string::npos) << merged.Err;
    EXPECT_NE(merged.Out.find("z.qz: merged z at time 0"), std::string::npos) << merged.Out;
    EXPECT_FALSE(std::filesystem::exists("m.qz")) << "a merge with an error writes nothing";
}

TEST_F(Contained, ANetcdfFileThatCrashesTheLibraryIsNamedAndTheBatchGoesOn) {
    {
        NetcdfWriter good("good.nc", 0);
        const int x = good.dimension("x", 2);
        const int values = good.variable("v", NC_FLOAT, {x});
        good.endDefinitions();
        good.values(values, std::vector<float>{1, 2});
    }
    for (const char* name : DamagedNetcdf) {
        SCOPED_TRACE(name);
        Folder.write("damaged.nc", damagedFile("netcdf", name));
        const RunResult run = ConvLibTest::run(QZ_NETCDF, {"damaged.nc", "good.nc"});
        EXPECT_EQ(run.Status, 1);
        EXPECT_NE(run.Err.find(crashMessage("damaged.nc", "netCDF")), std::string::npos) << run.Err;
        EXPECT_NE(run.Out.find("damaged.nc -> damaged.qz: not converted"), std::string::npos)
            << run.Out;
        EXPECT_TRUE(std::filesystem::exists("good.qz"));
        EXPECT_FALSE(std::filesystem::exists("damaged.qz"));
    }
}

TEST_F(Contained, AnInputPastItsLimitsIsEndedAndNamed) {
    std::string big = "x,y,z\n";
    for (int i = 0; i < 200000; ++i)
        big += std::to_string(i) + "," + std::to_string(i % 7) + ",1.5\n";
    Folder.write("big.csv", big);
    Folder.write("a.csv", "x,y,z\n0,0,1\n1,0,2\n");
    const RunResult late = run(QZ_POINTCLOUD, {"big.csv", "--time-limit", "0.01"});
    EXPECT_EQ(late.Status, 1);
    EXPECT_NE(late.Err.find("big.csv: ended at the time limit of 0.01 s per input (--time-limit)"),
              std::string::npos)
        << late.Err;
    EXPECT_NE(late.Out.find("not converted, see the errors below"), std::string::npos) << late.Out;
    if (UnderSanitizers) return; // their shadow memory takes terabytes of address space: no limit
    const RunResult hungry = run(QZ_POINTCLOUD, {"big.csv", "a.csv", "--memory-limit", "1"});
    EXPECT_EQ(hungry.Status, 1);
    EXPECT_NE(hungry.Err.find("big.csv: "), std::string::npos) << hungry.Err;
    const auto files = snapshot(".");
    EXPECT_EQ(files.size(), 2u) << "nothing written, no temporary left";
}

TEST_F(Contained, JobsGiveTheOutputsLinesAndMessagesOfOneAtATime) {
    writeClouds();
    for (int i = 0; i < 6; ++i)
        Folder.write("c" + std::to_string(i) + ".xyz", "0 0 " + std::to_string(i) + "\n1 1 9\n");
    Folder.write("bad.csv", "x,y,z\n1,2,oops\n");
    Folder.write("damaged.qz", damagedBundle(DamagedBundles[0]));
    const std::vector<std::string> inputs = {"./", "--ignore-success"};
    const RunResult one = run(QZ_POINTCLOUD, inputs);
    const auto serial = snapshot(".");
    std::vector<std::string> parallel = inputs;
    parallel.insert(parallel.end(), {"--jobs", "3"});
    const RunResult three = run(QZ_POINTCLOUD, parallel);
    EXPECT_EQ(one.Status, 1);
    EXPECT_EQ(three.Status, 1);
    EXPECT_EQ(three.Out, one.Out);
    EXPECT_EQ(errorLines(three.Err), errorLines(one.Err));
    EXPECT_NE(one.Err.find("bad.csv"), std::string::npos) << one.Err;
    EXPECT_EQ(snapshot(".").size(), serial.size());
}

TEST_F(Contained, TwoInputsForOneOutputAreBothRefusedAndLazBesideLasIsRefusedAsLaz) {
    Folder.write("tile.csv", "x,y,z\n0,0,1\n1,0,2\n");
    Folder.write("tile.xyz", "0 0 1\n1 0 2\n2 2 2\n");
    Folder.write("a.csv", "x,y,z\n0,0,1\n1,0,2\n");
    const RunResult shared = run(QZ_POINTCLOUD, {"./"});
    EXPECT_EQ(shared.Status, 1);
    for (const char* message : {"./tile.csv is not converted: it and ./tile.xyz would both write "
                                "./tile.qz, one over the other",
                                "./tile.xyz is not converted: it and ./tile.csv would both write "
                                "./tile.qz, one over the other"})
        EXPECT_NE(shared.Err.find(message), std::string::npos) << shared.Err;
    EXPECT_FALSE(std::filesystem::exists("tile.qz"));
    EXPECT_TRUE(std::filesystem::exists("a.qz"));
    EXPECT_EQ(run(QZ_POINTCLOUD, {"tile.xyz"}).Status, 0) << "one at a time converts";

    Folder.write("simple.csv", "x,y,z\n0,0,1\n1,0,2\n");
    Folder.write("simple.laz", "LASF");
    for (int pass = 0; pass < 2; ++pass) { // also once simple.qz exists
        const RunResult laz = run(QZ_POINTCLOUD, {"simple.csv", "simple.laz"});
        EXPECT_EQ(laz.Status, 1);
        EXPECT_NE(laz.Err.find("simple.laz: compressed LAS (LAZ) is not read"), std::string::npos)
            << laz.Err;
        EXPECT_TRUE(std::filesystem::exists("simple.qz"));
    }
}

} // namespace

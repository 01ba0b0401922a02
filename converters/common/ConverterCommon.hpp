// What the converter programs share: the batch shard option, progress lines, the storage policy
// from the command line, one-input-at-a-time loading and the program frame with its exit status.
#pragma once

#include "convlib/BasicConverterDefs.hpp"
#include "convlib/MyStorage.hpp"

#include <CLI/CLI.hpp>

#include <cstddef>
#include <functional>
#include <list>
#include <set>
#include <string>
#include <vector>

namespace ConvLib::Tools {

// The K-th (1-based) of N equal contiguous slices of a sorted input list.
struct Shard {
    int Index = 1;
    int Count = 1;
};

// Reads "K/N" with 1 <= K <= N; false with a reason otherwise.
bool parseShard(const std::string& text, Shard& shard, std::string& error);
// The shard's slice; the slices of 1/N .. N/N cover every file exactly once.
std::list<std::string> takeShard(const std::list<std::string>& files, const Shard& shard);
// "--shard K/N", rejected by CLI11 with its usual message and exit code when malformed.
void addShardOption(CLI::App& app, Shard& shard);

// "[k/n] name" lines on standard error, only when it is a terminal.
class Progress {
public:
    explicit Progress(std::size_t total);
    Progress(std::size_t total, bool enabled) : Total(total), Enabled(enabled) {}
    void step(const std::string& name);

private:
    std::size_t Total;
    std::size_t Done = 0;
    bool Enabled;
};

// The version the converter programs record in their provenance blocks.
constexpr int ProgramMajorVersion = 1;
constexpr int ProgramMinorVersion = 0;

// What every batch converter takes from its command line.
struct BatchSettings {
    std::vector<std::string> Inputs;
    std::string Output;
    int Compression = 4;
    Shard InputShard;
};

// "--compression N" and "--shard K/N", the same in every batch converter.
void addBatchOptions(CLI::App& app, BatchSettings& settings);
// The shard's line in the parameter report.
std::string shardReport(const Shard& shard);

// The names given on the command line as the converter's input list.
Quorix::StrongPtr<Quorix::StringList> inputList(const std::vector<std::string>& names);

// The storage policy for a compression setting (negative: off) and the fields to save (empty:
// all), installed as the converter's myStorage.
void installStorage(BasicConverterDefs& converter, int compression,
                    const std::vector<std::string>& fieldsToSave);

// Narrows the expanded input list before it is sharded, e.g. to one file per data set.
using InputSelection = std::function<std::list<std::string>(const std::list<std::string>&)>;

// Expands the converter's input names, narrows them and keeps the shard's slice; false with a
// message when the names yield no file at all.
bool gatherInputs(BasicConverterDefs& converter, const Shard& shard,
                  const InputSelection& select = nullptr);

// Calls the action for each input file with a progress line, so that each one succeeds or fails
// alone; the action may replace the converter's input list.
void forEachInput(BasicConverterDefs& converter,
                  const std::function<void(const std::string&)>& action);

// What was done to one input, a short phrase each.
using Outcomes = std::vector<std::string>;
// One console line per input, "<subject>: <outcomes>", or the given text when there are none.
void reportInput(const std::string& subject, const Outcomes& outcomes, const std::string& whenNone);

// Loads one file through the library; on failure the data model's reason follows its message.
bool loadSingleInput(BasicConverterDefs& converter, const std::string& file,
                     BasicConverterDefs::myReadType type);

// Appends the data model's reason as a message of its own, when there is one.
void addReason(BasicConverterDefs& converter, const std::string& reason);

// Writes the bound bundle once now and lets it go unbound, so nothing is written again at its
// release; false with the save result's text when the write fails.
bool saveAndRelease(BasicConverterDefs& converter);
// Lets the bundle go without writing anything.
void discardBundle(BasicConverterDefs& converter);

// Prints the parameter report, converts, and gives the exit status: 0 when no error message was
// collected. The run summary follows when the caller destroys the converter.
int runConverter(BasicConverterDefs& converter);

// Parses the command line; false with CLI11's exit status after a mistake or --help.
bool parseCommandLine(CLI::App& app, int argc, char** argv, int& status);

// A converter program's main(): options defined and parsed, the converter built from the parsed
// settings and run; the status is known before the converter goes and prints the run summary.
template <class Converter, class Settings>
int runProgram(int argc, char** argv, const std::string& description,
               void (*defineOptions)(CLI::App&, Settings&)) {
    CLI::App app{description};
    Settings settings;
    defineOptions(app, settings);
    int status = 0;
    if (!parseCommandLine(app, argc, argv, status)) return status;
    Converter converter(settings);
    return runConverter(converter);
}

// Names given with commas, as a set for the selection filters.
template <class T> std::set<T> toSet(const std::vector<T>& values) {
    return std::set<T>(values.begin(), values.end());
}

} // namespace ConvLib::Tools

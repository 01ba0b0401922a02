// The program layer: what a converter program needs around its convert(): the command line (batch
// options, --shard), input gathering, one-input-at-a-time loading and reporting, the save or
// discard of each output, and the runner with its exit status. A program is main() plus convert().
#pragma once

#include "convlib/BasicConverterDefs.hpp"
#include "convlib/MyStorage.hpp"
#include "convlib/Version.hpp"
#include "convlib/Numbers.hpp"

#include <CLI/CLI.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <list>
#include <map>
#include <memory>
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
CONVLIB_API bool parseShard(const std::string& text, Shard& shard, std::string& error);
// The shard's slice; the slices of 1/N .. N/N cover every file exactly once.
CONVLIB_API std::list<std::string> takeShard(const std::list<std::string>& files,
                                             const Shard& shard);
// "--shard K/N", rejected by CLI11 with its usual message and exit code when malformed.
CONVLIB_API void addShardOption(CLI::App& app, Shard& shard);

// How much a program says: --quiet only its errors, --verbose also each file's fields as they are
// written and the HDF5 library's account of a failure. One setting for the process.
enum class Verbosity { Quiet, Normal, Verbose };
CONVLIB_API void setVerbosity(Verbosity level);
CONVLIB_API Verbosity verbosity();

// A result or per-input line on standard output; nothing under --quiet.
CONVLIB_API void printResult(const std::string& line);

// How the inputs are kept apart: their work runs in worker processes, so that a crash, a hang or
// a runaway allocation inside a library we read with ends that input alone. One setting for the
// process.
struct Containment {
    double Seconds = 600;      // time limit per input; 0: none
    std::size_t MebiBytes = 0; // memory (data segment) limit per input; 0: the machine's memory
    bool InProcess = false;    // no child processes and no limits (a baseline for benchmarks)
};
CONVLIB_API void setContainment(const Containment& containment);
CONVLIB_API Containment containment();

// What every program takes from its command line besides its own options.
struct CommonSettings {
    bool Quiet = false;
    bool Verbose = false;
    Containment Limits;
};
// "--version", "-q/--quiet", "-v/--verbose", "--time-limit SECONDS" and "--memory-limit MiB".
CONVLIB_API void addCommonOptions(CLI::App& app, CommonSettings& common);
// Sets the verbosity and the containment, and sends the console (parameter report, run summary,
// notes) to standard error through colourSink, or nowhere under --quiet.
CONVLIB_API void applyCommonSettings(const CommonSettings& common);
// A console sink for the stream that keeps the colour sequences only where they show as colour: on
// a terminal unless NO_COLOR is set, or anywhere with CLICOLOR_FORCE.
CONVLIB_API Quorix::Console::Sink colourSink(std::FILE* stream);

// "[k/n] name" lines on standard error, only when it is a terminal and the program not quiet; a
// worker's lines go to the program's terminal at once.
class CONVLIB_API Progress {
public:
    explicit Progress(std::size_t total);
    Progress(std::size_t total, bool enabled) : Total(total), Enabled(enabled) {}
    void step(const std::string& name);

private:
    std::size_t Total;
    std::size_t Done = 0;
    bool Enabled;
    int Stream = 2; // standard error
};

// The version the converter programs record in their provenance blocks: the project's own.
constexpr int ProgramMajorVersion = CONVLIB_VERSION_MAJOR;
constexpr int ProgramMinorVersion = CONVLIB_VERSION_MINOR;

// What every batch converter takes from its command line.
// Lossy storage, only when asked: doubles in single precision, floating point mantissas rounded
// to a number of significant bits; each for the named fields, or every field when none is named.
struct LossyStorage {
    std::string SinglePrecision; // empty: not asked; "*": every field; else names, comma-separated
    int KeptBits = 0;            // 0: every bit kept
    std::vector<std::string> KeptBitsFields;
};

struct BatchSettings {
    std::vector<std::string> Inputs;
    std::string Output;
    int Compression = 4;
    Shard InputShard;
    bool InPlace = false;
    Plexa::ReadOptions Read; // for the inputs that are not bundle files
    LossyStorage Lossy;
    int Jobs = 1; // inputs converted at a time
};

// "--compression N", "--shard K/N", "--in-place", "--grid-name NAME", "--time T",
// "--single-precision[=FIELDS]" and "--keep-bits N[:FIELDS]", the same in every batch converter.
CONVLIB_API void addBatchOptions(CLI::App& app, BatchSettings& settings);
// "--jobs N": how many inputs convertEachInput converts at a time.
CONVLIB_API void addJobsOption(CLI::App& app, int& jobs);
// "--delimiter D" and "--xyz NAME,NAME,NAME" for text clouds.
CONVLIB_API void addTextCloudOptions(CLI::App& app, Plexa::TextCloudOptions& options);
// Reads a column delimiter given as a word (comma, semicolon, tab, space) or as the character;
// false with a reason otherwise.
CONVLIB_API bool parseDelimiter(const std::string& text, char& delimiter, std::string& error);
// The shard's line in the parameter report.
CONVLIB_API std::string shardReport(const Shard& shard);

// The names given on the command line as the converter's input list.
CONVLIB_API Quorix::StrongPtr<Quorix::StringList> inputList(const std::vector<std::string>& names);

// The storage policy for a compression setting (negative: off), the fields to save (empty: all)
// and the lossy storage asked for, installed as the converter's myStorage.
CONVLIB_API void installStorage(BasicConverterDefs& converter, int compression,
                                const std::vector<std::string>& fieldsToSave,
                                const LossyStorage& lossy = {});

// Narrows the expanded input list before it is sharded, e.g. to one file per data set.
using InputSelection = std::function<std::list<std::string>(const std::list<std::string>&)>;

// The kinds of input a program takes (none named: every kind).
using InputKinds = std::vector<Plexa::InputKind>;

// True when the program takes the file's kind, or no reader knows its type; else false, with a
// message naming the program that takes it. The file is not read.
CONVLIB_API bool takesInput(BasicConverterDefs& converter, const std::string& file,
                            const InputKinds& kinds);

// Expands the converter's input names, leaves out what folders and patterns yield that no reader
// knows or that is of a kind the program does not take (a line names each group), narrows them
// and keeps the shard's slice; everyInput gets the list before it is narrowed. A file named
// outright of a kind not taken is refused by its extension, unread, in the shard that holds it:
// "x.nc is a netCDF file (structured grids); qz-netcdf converts it". False with a message when
// the names yield no file at all.
CONVLIB_API bool gatherInputs(BasicConverterDefs& converter, const Shard& shard,
                              std::list<std::string>& everyInput,
                              const InputSelection& select = nullptr, const InputKinds& kinds = {});

// True, with a message, when the output is one of the inputs in any spelling and replacing it
// was not asked for.
CONVLIB_API bool refuseOutputAmongInputs(BasicConverterDefs& converter, const std::string& output,
                                         const std::list<std::string>& inputs, bool inPlace);

// Converters that make a bundle file from each input (<name>.qz beside it) and extend bundle
// files in place.
struct OutputPlan {
    std::string Source;             // what is read: the input, or the bundle already made from it
    std::string Output;             // what is written
    std::vector<std::string> Notes; // why the source was chosen, when it needs a word
};

// "<name>.qz" beside the file.
CONVLIB_API std::string bundleBeside(const std::string& file);
// An input and the bundle made from it are one input, so that the list, and with it every
// shard's slice, stays the same while bundles appear beside the inputs.
CONVLIB_API std::list<std::string> oneInputPerSource(const std::list<std::string>& files);
// Inputs that would write the same bundle beside them (tile.csv and tile.xyz both tile.qz), each
// with the others. None of them is converted, since the later output would replace the earlier.
using SharedOutputs = std::map<std::string, std::vector<std::string>>;
CONVLIB_API SharedOutputs sharedOutputs(const std::list<std::string>& inputs);
// True, with the input's line and a message naming the others, when it shares its output.
CONVLIB_API bool refuseSharedOutput(BasicConverterDefs& converter, const SharedOutputs& shared,
                                    const std::string& file);
// Bundles are extended in place and other inputs get a bundle file of their own beside them (or
// `output` when given). An input whose bundle exists is represented by it, so that a rerun of a
// batch skips what is done, unless the input changed since or `redo` reads it again.
CONVLIB_API OutputPlan planOutput(const std::string& file, const std::string& output, bool redo);
// False, with a message, when an --output is given for more than one input or is one of them.
CONVLIB_API bool outputFitsInputs(BasicConverterDefs& converter, const BatchSettings& settings,
                                  const std::list<std::string>& everyInput);
// The library takes the output name "out.qz" for the input itself; another spelling of the same
// name is taken as it is.
CONVLIB_API std::string literalOutputName(const std::string& name);

// What loaded inputs hold, for messages about selections that match nothing.
struct CONVLIB_API HeldNames {
    std::set<double> Times;
    std::set<std::string> Grids;
    std::set<std::string> Fields;
    void add(const Plexa::Bundle& bundle);
};

// An error when the option chose values and none of them is among those held, e.g.
// "--grids a,b selects nothing; the inputs hold the grids hill, ridge" (`holding` says who holds
// what).
template <class T>
void requireSelected(BasicConverterDefs& converter, const std::string& option,
                     const std::set<T>& chosen, const std::set<T>& held,
                     const std::string& holding) {
    if (chosen.empty()) return;
    for (const T& value : chosen)
        if (held.count(value)) return;
    converter.ErrorMessages.push_back(option + " " + joinValues(chosen, ",") +
                                      " selects nothing; " + holding + " " +
                                      joinValues(held, ", "));
}

// Calls the action for each input file with a progress line, so that each one succeeds or fails
// alone; the action may replace the converter's input list.
CONVLIB_API void forEachInput(BasicConverterDefs& converter,
                              const std::function<void(const std::string&)>& action);

// What an input's work hands on to the rest of the run besides its messages, e.g. the grids it
// held.
using Carried = std::vector<std::string>;
using InputWork = std::function<void(const std::string& file, Carried& carried)>;

// As forEachInput, but the work runs in worker processes under the limits, one input at a time
// each, up to `jobs` at a time; a worker is replaced after an input that failed or that HDF5 or
// libnetcdf read. What a worker says of an input (its lines on both streams, its messages, what
// it carried, which `collect` gets) comes back in input order, so the run's output is the same for
// any number of jobs. A worker that crashes, passes a limit or ends without a word is an error that
// names the input and the cause, e.g. "x.qz: damaged: the HDF5 library crashed reading it
// (segmentation fault)".
CONVLIB_API void convertEachInput(BasicConverterDefs& converter, int jobs, const InputWork& work,
                                  const std::function<void(const Carried&)>& collect = nullptr);

// The phrase of an input's line when it was not converted.
inline constexpr const char* NotConverted = "not converted, see the errors below";
// Inside convertEachInput's work: the subject of the input's line, which the run prints with
// NotConverted should the worker die before the work reports the input itself.
CONVLIB_API void reportIfLost(const std::string& subject);

// What was done to one input, a short phrase each.
using Outcomes = std::vector<std::string>;
// One console line per input, "<subject>: <outcomes>", or the given text when there are none.
CONVLIB_API void reportInput(const std::string& subject, const Outcomes& outcomes,
                             const std::string& whenNone);

// Loads one file through the library with the read options; on failure the frame's message says
// why. Outside convertEachInput's workers the file is read in a worker process
// first, so that a file that crashes the library, or fails at all, is never opened here.
CONVLIB_API bool loadSingleInput(BasicConverterDefs& converter, const std::string& file,
                                 BasicConverterDefs::myReadType type,
                                 const Plexa::ReadOptions& options = {});

// Runs `read` (which reads the file and says whether it could) in a worker process, as
// loadSingleInput does before it loads: false, with the worker's messages or the cause of its
// death, when it fails; true when it succeeds, or when this process is a worker already or runs in
// process, so that the caller reads the file itself.
CONVLIB_API bool readSurvives(BasicConverterDefs& converter, const std::string& file,
                              const std::function<bool()>& read);

// Loads the source and binds the bundle to the converter's OutFile (a bundle file source: to
// itself); false, with the reason and the bundle let go, when either fails.
CONVLIB_API bool loadBoundInput(BasicConverterDefs& converter, const std::string& source,
                                const Plexa::ReadOptions& options);

// Writes the bound bundle once now and lets it go unbound, so nothing is written again at its
// release; false with the save result's text when the write fails.
CONVLIB_API bool saveAndRelease(BasicConverterDefs& converter);
// Writes `part` as the next part of `parts`; the output appears only at commitParts. False with
// the reason among the converter's errors when the write fails.
CONVLIB_API bool appendPart(BasicConverterDefs& converter, Plexa::BundleFileParts& parts,
                            const Plexa::Bundle& part);
// appendPart for the bound bundle, which it then lets go, as saveAndRelease does.
CONVLIB_API bool appendAndRelease(BasicConverterDefs& converter, Plexa::BundleFileParts& parts);
// Puts the file of the parts in place of the output; false with the reason when that fails.
CONVLIB_API bool commitParts(BasicConverterDefs& converter, Plexa::BundleFileParts& parts);

// Inside convertEachInput's work: the time steps of a netCDF or bundle file, read as a load reads
// it, so that a crash names the file. False when it cannot be read; the load then says why.
CONVLIB_API bool readTimeSteps(const std::string& file, const Plexa::ReadOptions& options,
                               Plexa::TimeSteps& steps);

// "--memory MiB": the memory budget of a program that converts a file in parts (0: the default,
// see memoryBudget). A budget above --memory-limit is a command-line mistake.
CONVLIB_API void addMemoryBudgetOption(CLI::App& app, std::size_t& mebiBytes);
// The budget in bytes and how it was chosen, for the parameter report: the given MiB, else a half
// of the memory each of `jobs` inputs may take (the available memory, or --memory-limit). A part
// holds as many time steps as PartBytes takes, at least one: all the given budget, or by default
// 32 MiB, which converts faster than larger parts.
struct MemoryBudget {
    std::uint64_t Bytes = 0;
    std::uint64_t PartBytes = 0;
    std::string Origin;
};
CONVLIB_API MemoryBudget memoryBudget(std::size_t mebiBytes, int jobs);

// Lets the bundle go without writing anything.
CONVLIB_API void discardBundle(BasicConverterDefs& converter);

// Prints the parameter report, converts and lets the converter go, which prints the run summary.
// The exit status is 1 when convert() failed, an error was collected, or the converter left a
// changed output unsaved (named as an error, never written); else 0.
CONVLIB_API int runConverter(std::unique_ptr<BasicConverterDefs> converter);

// Parses the command line; false after --help or --version (status 0) or a mistake (status 2,
// with CLI11's message on standard error).
CONVLIB_API bool parseCommandLine(CLI::App& app, int argc, char** argv, int& status);

// A converter program's main(): options defined and parsed, the converter built from the parsed
// settings and run.
template <class Converter, class Settings>
int runProgram(int argc, char** argv, const std::string& description,
               void (*defineOptions)(CLI::App&, Settings&)) {
    CLI::App app{description};
    CommonSettings common;
    addCommonOptions(app, common);
    Settings settings;
    defineOptions(app, settings);
    int status = 0;
    if (!parseCommandLine(app, argc, argv, status)) return status;
    applyCommonSettings(common);
    return runConverter(std::make_unique<Converter>(settings));
}

// Names given with commas, as a set for the selection filters.
template <class T> std::set<T> toSet(const std::vector<T>& values) {
    return std::set<T>(values.begin(), values.end());
}

} // namespace ConvLib::Tools

#include "convlib/Program.hpp"

#include "convlib/Containment.hpp"
#include "convlib/Numbers.hpp"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <set>
#include <stdexcept>
#include <unistd.h>

namespace ConvLib::Tools {

namespace {

namespace fs = std::filesystem;

// Why a name the user gave yields no input file.
std::string noFileReason(const std::string& name) {
    std::error_code error;
    if (!std::filesystem::is_directory(name, error)) return "No file matches the input " + name;
    std::filesystem::directory_iterator entries(name, error);
    if (error) return "Cannot read the folder " + name + ": " + error.message();
    return "The folder " + name + " holds no file";
}

// Input expansion drops names that yield nothing without a word; the user hears of each one.
void reportFruitlessNames(BasicConverterDefs& converter) {
    for (const std::string& name : *converter.InFiles)
        if (BasicConverterDefs::expandFiles({name}).second.empty())
            converter.ErrorMessages.push_back(noFileReason(name));
}

bool namesAFile(const std::string& name) {
    std::error_code error;
    return fs::exists(name, error) && !fs::is_directory(name, error);
}

// Files of no known type are taken too: loading them says what is wrong with them.
bool takesKindOf(const InputKinds& kinds, const std::string& file) {
    const Plexa::InputFormat* format = Plexa::formatOf(file);
    return !format || kinds.empty() ||
           std::find(kinds.begin(), kinds.end(), format->Kind) != kinds.end();
}

// Which program of the family takes inputs of the kind, for a program that does not.
const char* programTaking(Plexa::InputKind kind) {
    switch (kind) {
    case Plexa::InputKind::PointCloud:
        return "qz-pointcloud converts it";
    case Plexa::InputKind::StructuredGrids:
        return "qz-netcdf converts it";
    case Plexa::InputKind::Bundle:
        return "qz-merge merges it and qz-inspect shows it";
    }
    return "";
}

// What folders and patterns yield but no reader knows or the program does not take is left out,
// named in one line each; a file named outright stays, so that it is refused by name.
std::list<std::string> readableInputs(const BasicConverterDefs& converter,
                                      const std::list<std::string>& files,
                                      const std::list<std::string>& names,
                                      const InputKinds& kinds) {
    std::set<std::string> named;
    for (const std::string& name : names)
        if (namesAFile(name)) named.insert(name);
    std::list<std::string> readable;
    std::vector<std::string> unknown, otherKind;
    for (const std::string& file : files) {
        if (named.count(file) || (Plexa::formatOf(file) && takesKindOf(kinds, file)))
            readable.push_back(file);
        else
            (Plexa::formatOf(file) ? otherKind : unknown).push_back(file);
    }
    if (!unknown.empty()) printResult("Skipped, no reader for their type: " + join(unknown, ", "));
    if (!otherKind.empty())
        printResult("Skipped, not taken by " + converter.ConverterName + ": " +
                    join(otherKind, ", "));
    return readable;
}

// The files of a kind the program does not take are refused by their extension, unread.
std::list<std::string> refuseOtherKinds(BasicConverterDefs& converter,
                                        const std::list<std::string>& files,
                                        const InputKinds& kinds) {
    std::list<std::string> taken;
    for (const std::string& file : files)
        if (takesInput(converter, file, kinds)) taken.push_back(file);
    return taken;
}

// The pieces of a text between commas, empty ones included: "a,,b" gives a, "", b.
std::vector<std::string> splitAtCommas(const std::string& text) {
    std::vector<std::string> pieces;
    for (std::size_t start = 0;;) {
        const std::size_t comma = text.find(',', start);
        pieces.push_back(text.substr(start, comma - start));
        if (comma == std::string::npos) return pieces;
        start = comma + 1;
    }
}

// Names separated by commas, empty pieces left out; none in an empty text.
std::vector<std::string> splitNames(const std::string& text) {
    std::vector<std::string> names = splitAtCommas(text);
    names.erase(std::remove(names.begin(), names.end(), std::string()), names.end());
    return names;
}

// "A,B,C": the three columns that hold x, y and z.
bool parseColumnNames(const std::string& text, std::vector<std::string>& names,
                      std::string& error) {
    const std::vector<std::string> parsed = splitAtCommas(text);
    const bool named = std::none_of(parsed.begin(), parsed.end(),
                                    [](const std::string& name) { return name.empty(); });
    if (parsed.size() != 3 || !named) {
        error = "'" + text + "' does not name three columns, e.g. --xyz east,north,up";
        return false;
    }
    names = parsed;
    return true;
}

// An option whose text the parser turns into the value; a text it refuses is a command-line
// mistake with the parser's reason.
template <class T>
CLI::Option* addParsedOption(CLI::App& app, const std::string& name,
                             bool (*parse)(const std::string&, T&, std::string&), T& value,
                             const std::string& description) {
    return app.add_option_function<std::string>(
        name,
        [name, parse, &value](const std::string& text) {
            std::string error;
            if (!parse(text, value, error)) throw CLI::ValidationError(name, error);
        },
        description);
}

std::atomic<Verbosity> programVerbosity{Verbosity::Normal};

void addLimitOptions(CLI::App& app, Containment& limits) {
    app.add_option("--time-limit", limits.Seconds,
                   "Seconds one input may take; an input still at work then is ended and named "
                   "as an error (0: no limit)")
        ->check(CLI::NonNegativeNumber)
        ->type_name("SECONDS")
        ->capture_default_str();
    app.add_option("--memory-limit", limits.MebiBytes,
                   "Memory (in MiB) one input may write to; an input that needs more is ended "
                   "and named as an error (default: the machine's memory)")
        ->type_name("MiB");
    // the serial run without child processes, as a baseline for the benchmarks
    app.add_flag("--in-process", limits.InProcess)->group("");
}

// NO_COLOR with any value but "" wins; CLICOLOR_FORCE other than "0" asks for colour in a pipe
// too (e.g. into "less -R").
bool showsColour(std::FILE* stream) {
    const char* noColour = std::getenv("NO_COLOR");
    if (noColour && *noColour) return false;
    const char* force = std::getenv("CLICOLOR_FORCE");
    return (force && *force && std::strcmp(force, "0") != 0) || isatty(fileno(stream)) == 1;
}

// Leaves out every escape sequence "ESC [ parameters final-byte".
std::string withoutEscapeSequences(const std::string& text) {
    std::string kept;
    kept.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\033' && i + 1 < text.size() && text[i + 1] == '[') {
            for (i += 2; i < text.size() && (text[i] < 0x40 || text[i] > 0x7e); ++i) {
            }
            continue;
        }
        kept += text[i];
    }
    return kept;
}

// Under --quiet the run summary goes nowhere, so the errors are all that is said.
void printErrorsAlone(const BasicConverterDefs& converter) {
    for (const std::string& message : converter.ErrorMessages)
        std::fprintf(stderr, "%s: %s\n", converter.ConverterName.c_str(), message.c_str());
}

// An output the converter changed and left unsaved would be lost without a word: it is named
// as an error and let go unwritten, since only the converter knows whether it was complete.
void refuseUnsavedOutput(BasicConverterDefs& converter) {
    const Plexa::BundlePtr& bundle = converter.myBundle;
    if (bundle && bundle->isBound() && bundle->isModified())
        converter.ErrorMessages.push_back("The output " + bundle->boundFile() +
                                          " was changed but not saved; nothing was written");
    discardBundle(converter);
}

// The exit status, once nothing can add a message any more: 0 only when convert() succeeded and
// no error was collected.
int finishRun(BasicConverterDefs& converter, bool converted) {
    refuseUnsavedOutput(converter);
    if (!converted && converter.ErrorMessages.empty())
        converter.ErrorMessages.push_back("The conversion failed without giving a reason");
    if (verbosity() == Verbosity::Quiet) printErrorsAlone(converter);
    return converter.ErrorMessages.empty() ? 0 : 1;
}

// The fields of the bundle that the converter's policy writes into the file, one line each, for
// --verbose.
void listFieldsToWrite(BasicConverterDefs& converter, const Plexa::Bundle& bundle,
                       const std::string& file) {
    const Quorix::DynPtr<Plexa::StorageTransformations, Quorix::InterfaceBase> policy(
        converter.myStorage);
    for (const auto& [time, slice] : bundle.slices())
        for (const auto& [name, grid] : slice->grids())
            for (const auto& [fieldName, field] : grid->fields()) {
                if (policy && !policy->isSaveableField(field.ID, field, grid, name, time,
                                                       Plexa::SkeletonID().Name, {}))
                    continue;
                const Plexa::MemBase& data = *field.Data;
                printResult(
                    "  " + file + ": time " + formatNumber(time) + ", grid " + name + ", field " +
                    fieldName + ": " + Plexa::elementTypeName(data.elementType()) + ", " +
                    std::to_string(data.size()) + " x " + std::to_string(data.components()));
            }
}

// Writes `written` (none for a commit) to the output through `write`, named as a write for a
// crash; false, with "Cannot write" before the writer's whole message, when it fails.
bool writeOutput(BasicConverterDefs& converter, const Plexa::Bundle* written,
                 const std::string& output, const std::function<Plexa::BindResult()>& write) {
    if (verbosity() == Verbosity::Verbose && written)
        listFieldsToWrite(converter, *written, output);
    detail::enterPhase(detail::Phase::Writing, output);
    const Plexa::BindResult result = write();
    detail::enterPhase(detail::Phase::Converting);
    if (result) return true;
    converter.ErrorMessages.push_back("Cannot write " + result.Text);
    return false;
}

// A bundle file's times and the bytes of its largest step, at most 8 bytes a value.
bool bundleTimeSteps(const std::string& file, Plexa::TimeSteps& steps) {
    std::vector<Plexa::StoredField> fields;
    std::string error;
    if (!Plexa::describeFile(file, fields, error)) return false;
    std::map<double, std::uint64_t> bytes;
    for (const Plexa::StoredField& field : fields)
        bytes[field.Time] += field.rows() * field.components() * sizeof(double);
    steps = {};
    for (const auto& [time, stepBytes] : bytes) {
        steps.Times.push_back(time);
        steps.StepBytes = std::max(steps.StepBytes, stepBytes);
    }
    return true;
}

// A bundle file is extended in place, and a format known only to be refused makes nothing.
bool makesBundleBeside(const std::string& file) {
    return !Plexa::isBindableFormat(file) && !Plexa::isRefusedFormat(file);
}

bool isNewer(const std::string& file, const std::string& than) {
    std::error_code error;
    const auto fileTime = std::filesystem::last_write_time(file, error);
    const auto thanTime = std::filesystem::last_write_time(than, error);
    return !error && fileTime > thanTime;
}

} // namespace

bool parseShard(const std::string& text, Shard& shard, std::string& error) {
    Shard parsed;
    if (!parseNumberPair(text, '/', parsed.Index, parsed.Count)) {
        error = "shard '" + text + "' is not of the form K/N, e.g. 2/8";
        return false;
    }
    if (parsed.Count < 1 || parsed.Index < 1 || parsed.Index > parsed.Count) {
        error = "shard '" + text + "' needs 1 <= K <= N";
        return false;
    }
    shard = parsed;
    return true;
}

std::list<std::string> takeShard(const std::list<std::string>& files, const Shard& shard) {
    const auto total = static_cast<long long>(files.size());
    const long long first = (shard.Index - 1) * total / shard.Count;
    const long long last = shard.Index * total / shard.Count;
    auto begin = std::next(files.begin(), first);
    return std::list<std::string>(begin, std::next(begin, last - first));
}

void addShardOption(CLI::App& app, Shard& shard) {
    addParsedOption(
        app, "--shard", parseShard, shard,
        "Process only the K-th of N equal slices of the sorted input files (batch jobs)")
        ->type_name("K/N");
}

// "N" or "N:FIELD,FIELD": the significant mantissa bits to keep, 1 to 51, and the fields.
bool parseKeptBits(const std::string& text, LossyStorage& lossy, std::string& error) {
    const std::size_t colon = text.find(':');
    const std::string bits = text.substr(0, colon);
    int value = 0;
    const auto [end, problem] = std::from_chars(bits.data(), bits.data() + bits.size(), value);
    if (problem != std::errc() || end != bits.data() + bits.size() || value < 1 || value > 51) {
        error = "'" + text + "' needs a number of bits from 1 to 51, then :FIELD,... if not all";
        return false;
    }
    lossy.KeptBits = value;
    lossy.KeptBitsFields = colon == std::string::npos ? std::vector<std::string>()
                                                      : splitNames(text.substr(colon + 1));
    return true;
}

void addLossyOptions(CLI::App& app, LossyStorage& lossy) {
    app.add_flag("--single-precision{*}", lossy.SinglePrecision,
                 "Lossy: store doubles as float relative to their midpoint, all fields or those "
                 "named (--single-precision=NAME,...); each records its largest error");
    addParsedOption(app, "--keep-bits", parseKeptBits, lossy,
                    "Lossy: round float and double mantissas to N significant bits (BitRound), all "
                    "fields or those named; each records its largest error")
        ->type_name("N[:FIELDS]");
}

void addBatchOptions(CLI::App& app, BatchSettings& settings) {
    app.add_option("-c,--compression", settings.Compression,
                   "Deflate level 1..9 (larger values are clamped); 0 keeps the library's level; "
                   "negative: no compression and full precision")
        ->capture_default_str();
    addShardOption(app, settings.InputShard);
    app.add_flag("--in-place", settings.InPlace,
                 "Allow the output to be one of the inputs; it is replaced through a temporary "
                 "file");
    app.add_option("--grid-name", settings.Read.GridName,
                   "Grid name of text, LAS and PLY inputs (default: the file's name without its "
                   "extension)")
        ->check([](const std::string& name) { return name.empty() ? "needs a name" : ""; });
    app.add_option_function<double>(
           "--time",
           [&settings](double time) {
               if (!std::isfinite(time))
                   throw CLI::ValidationError("--time", "needs a finite number");
               settings.Read.Time = time;
           },
           "Time value of text, LAS and PLY inputs (default: 0)")
        ->type_name("T");
    addLossyOptions(app, settings.Lossy);
}

bool parseDelimiter(const std::string& text, char& delimiter, std::string& error) {
    // a tab is hard to type on a command line, so its escape counts as the character
    const std::string given = text == "\\t" ? "\t" : text;
    for (const auto& [word, character] : {std::pair<const char*, char>{"comma", ','},
                                          {"semicolon", ';'},
                                          {"tab", '\t'},
                                          {"space", ' '}}) {
        if (given != word && given != std::string(1, character)) continue;
        delimiter = character;
        return true;
    }
    error = "'" + text + "' is none of comma, semicolon, tab, space or their characters";
    return false;
}

void addTextCloudOptions(CLI::App& app, Plexa::TextCloudOptions& options) {
    addParsedOption(app, "--delimiter", parseDelimiter, options.Delimiter,
                    "Column delimiter of text clouds: comma, semicolon, tab or space (or the "
                    "character; default: detected)")
        ->type_name("D");
    addParsedOption(app, "--xyz", parseColumnNames, options.PositionColumns,
                    "The columns of text clouds that hold x, y and z (default: those named x, y "
                    "and z)")
        ->type_name("NAME,NAME,NAME");
}

std::string shardReport(const Shard& shard) {
    return "\nHave shard: " + std::to_string(shard.Index) + "/" + std::to_string(shard.Count);
}

Quorix::StrongPtr<Quorix::StringList> inputList(const std::vector<std::string>& names) {
    return Quorix::StrongPtr<Quorix::StringList>(
        new Quorix::StringList(std::list<std::string>(names.begin(), names.end())));
}

Progress::Progress(std::size_t total)
    : Progress(total, detail::terminalError() >= 0 && verbosity() != Verbosity::Quiet) {
    Stream = detail::terminalError();
}

void Progress::step(const std::string& name) {
    ++Done;
    if (Enabled) ::dprintf(Stream, "[%zu/%zu] %s\n", Done, Total, name.c_str());
}

void installStorage(BasicConverterDefs& converter, int compression,
                    const std::vector<std::string>& fieldsToSave, const LossyStorage& lossy) {
    Quorix::StrongPtr<MyStorage> storage(new MyStorage(compression, false, false, false));
    if (!lossy.SinglePrecision.empty())
        storage->Precision.askSinglePrecision(lossy.SinglePrecision == "*"
                                                  ? std::vector<std::string>()
                                                  : splitNames(lossy.SinglePrecision));
    if (lossy.KeptBits > 0) storage->Precision.askKeptBits(lossy.KeptBits, lossy.KeptBitsFields);
    if (compression > 0) storage->FilterDefaults.DeflateLevel = std::clamp(compression, 1, 9);
    if (!fieldsToSave.empty()) storage->SaveableFields = inputList(fieldsToSave);
    converter.Compression = compression;
    converter.myStorage = storage;
}

bool takesInput(BasicConverterDefs& converter, const std::string& file, const InputKinds& kinds) {
    if (takesKindOf(kinds, file)) return true;
    const Plexa::InputFormat& format = *Plexa::formatOf(file);
    converter.ErrorMessages.push_back(file + " is a " + format.Words + " (" +
                                      Plexa::kindName(format.Kind) + "); " +
                                      programTaking(format.Kind));
    return false;
}

bool gatherInputs(BasicConverterDefs& converter, const Shard& shard,
                  std::list<std::string>& everyInput, const InputSelection& select,
                  const InputKinds& kinds) {
    if (!converter.InFiles) converter.InFiles = inputList({});
    const std::list<std::string> names = *converter.InFiles;
    reportFruitlessNames(converter);
    converter.readManyFiles();
    everyInput = readableInputs(converter, *converter.InFiles, names, kinds);
    if (everyInput.empty()) {
        converter.ErrorMessages.push_back("No input file found");
        return false;
    }
    const std::list<std::string> selected = select ? select(everyInput) : everyInput;
    // refused within the shard, so that one shard alone names each
    converter.InFiles = Quorix::StrongPtr<Quorix::StringList>(
        new Quorix::StringList(refuseOtherKinds(converter, takeShard(selected, shard), kinds)));
    return true;
}

std::string bundleBeside(const std::string& file) {
    return std::filesystem::path(file).replace_extension(".qz").string();
}

std::list<std::string> oneInputPerSource(const std::list<std::string>& files) {
    std::set<std::string> made;
    for (const std::string& file : files)
        if (makesBundleBeside(file)) made.insert(bundleBeside(file));
    std::list<std::string> inputs;
    for (const std::string& file : files)
        if (!made.count(file)) inputs.push_back(file);
    return inputs;
}

SharedOutputs sharedOutputs(const std::list<std::string>& inputs) {
    std::map<std::string, std::vector<std::string>> byOutput;
    for (const std::string& file : inputs)
        if (makesBundleBeside(file)) byOutput[bundleBeside(file)].push_back(file);
    SharedOutputs shared;
    for (const auto& [output, files] : byOutput)
        for (const std::string& file : files)
            if (files.size() > 1) shared[file] = files;
    return shared;
}

bool refuseSharedOutput(BasicConverterDefs& converter, const SharedOutputs& shared,
                        const std::string& file) {
    const auto found = shared.find(file);
    if (found == shared.end()) return false;
    const std::string output = bundleBeside(file);
    std::vector<std::string> others;
    for (const std::string& other : found->second)
        if (other != file) others.push_back(other);
    const std::string all = others.size() == 1 ? " would both write " : " would all write ";
    converter.ErrorMessages.push_back(file + " is not converted: it and " + join(others, ", ") +
                                      all + output +
                                      ", one over the other (-o gives each its own output, one "
                                      "at a time)");
    reportInput(file + " -> " + output, {}, NotConverted);
    return true;
}

OutputPlan planOutput(const std::string& file, const std::string& output, bool redo) {
    if (!output.empty()) return {file, output, {}};
    if (Plexa::isBindableFormat(file)) return {file, file, {}};
    const std::string bundle = bundleBeside(file);
    // a file that makes no bundle is read, so that its reader says why
    if (redo || !makesBundleBeside(file) || !std::filesystem::exists(bundle))
        return {file, bundle, {}};
    if (isNewer(file, bundle))
        return {file, bundle, {"input changed since its bundle was written, converting again"}};
    return {bundle, bundle, {}};
}

bool outputFitsInputs(BasicConverterDefs& converter, const BatchSettings& settings,
                      const std::list<std::string>& everyInput) {
    if (converter.InFiles->size() > 1) {
        converter.ErrorMessages.push_back("--output needs exactly one input file, got " +
                                          std::to_string(converter.InFiles->size()));
        return false;
    }
    return !refuseOutputAmongInputs(converter, settings.Output, everyInput, settings.InPlace);
}

std::string literalOutputName(const std::string& name) {
    return name == "out.qz" ? "./out.qz" : name;
}

bool refuseOutputAmongInputs(BasicConverterDefs& converter, const std::string& output,
                             const std::list<std::string>& inputs, bool inPlace) {
    if (inPlace) return false;
    for (const std::string& input : inputs) {
        std::error_code error; // a missing output is none of the inputs
        if (!fs::equivalent(output, input, error)) continue;
        converter.ErrorMessages.push_back("The output " + output + " is the input " + input +
                                          "; --in-place replaces it");
        return true;
    }
    return false;
}

void HeldNames::add(const Plexa::Bundle& bundle) {
    for (const auto& [time, slice] : bundle.slices()) {
        Times.insert(time);
        for (const auto& [name, grid] : slice->grids()) {
            Grids.insert(name);
            for (const auto& [field, data] : grid->fields())
                Fields.insert(field);
        }
    }
}

void forEachInput(BasicConverterDefs& converter,
                  const std::function<void(const std::string&)>& action) {
    const std::list<std::string> files = *converter.InFiles;
    Progress progress(files.size());
    for (const std::string& file : files) {
        progress.step(file);
        action(file);
    }
}

void reportInput(const std::string& subject, const Outcomes& outcomes,
                 const std::string& whenNone) {
    printResult(subject + ": " + (outcomes.empty() ? whenNone : join(outcomes, ", ")));
}

bool loadSingleInput(BasicConverterDefs& converter, const std::string& file,
                     BasicConverterDefs::myReadType type, const Plexa::ReadOptions& options) {
    if (!detail::loadSurvives(converter, file, type, options)) return false;
    converter.InFiles = Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList{file});
    detail::enterPhase(detail::Phase::Reading, file);
    const bool loaded = converter.loadFilesIntoBundle(type, options);
    detail::enterPhase(detail::Phase::Converting);
    return loaded;
}

bool loadBoundInput(BasicConverterDefs& converter, const std::string& source,
                    const Plexa::ReadOptions& options) {
    if (!loadSingleInput(converter, source, BasicConverterDefs::ReadPointCloud, options)) {
        discardBundle(converter);
        return false;
    }
    Plexa::BundlePtr& bundle = converter.myBundle;
    if (bundle && bundle->isBound()) return true;
    // a bundle file is its own output: what failed to open is the input
    const bool input = Plexa::isBindableFormat(source) && converter.OutFile == source;
    converter.ErrorMessages.push_back(
        (input ? "Cannot open the input " : "Cannot open the output file ") +
        (bundle ? bundle->lastError() : converter.OutFile));
    discardBundle(converter);
    return false;
}

bool saveAndRelease(BasicConverterDefs& converter) {
    Plexa::BundlePtr& bundle = converter.myBundle;
    const bool saved =
        !bundle || !bundle->isBound() || !bundle->isModified() ||
        writeOutput(converter, &*bundle, bundle->boundFile(), [&] { return bundle->save(); });
    discardBundle(converter);
    return saved;
}

bool appendPart(BasicConverterDefs& converter, Plexa::BundleFileParts& parts,
                const Plexa::Bundle& part) {
    return writeOutput(converter, &part, parts.file(), [&] { return parts.append(part); });
}

bool appendAndRelease(BasicConverterDefs& converter, Plexa::BundleFileParts& parts) {
    const bool written = !converter.myBundle || appendPart(converter, parts, *converter.myBundle);
    discardBundle(converter);
    return written;
}

bool commitParts(BasicConverterDefs& converter, Plexa::BundleFileParts& parts) {
    return writeOutput(converter, nullptr, parts.file(), [&] { return parts.commit(); });
}

bool readTimeSteps(const std::string& file, const Plexa::ReadOptions& options,
                   Plexa::TimeSteps& steps) {
    detail::enterPhase(detail::Phase::Reading, file);
    std::string error;
    const bool read = Plexa::isBindableFormat(file)
                          ? bundleTimeSteps(file, steps)
                          : Plexa::readTimeSteps(file, options, steps, error);
    detail::enterPhase(detail::Phase::Converting);
    return read;
}

void addMemoryBudgetOption(CLI::App& app, std::size_t& mebiBytes) {
    app.add_option("--memory", mebiBytes,
                   "Memory budget (in MiB) for the values of one input, which is converted as "
                   "many time steps at a time as the budget holds; at most --memory-limit "
                   "(default: half of the memory an input may take: the available memory "
                   "shared among --jobs, or --memory-limit)")
        ->type_name("MiB")
        ->check(CLI::PositiveNumber);
    app.parse_complete_callback([&app, &mebiBytes] {
        const std::size_t limit = app.get_option("--memory-limit")->as<std::size_t>();
        if (limit > 0 && mebiBytes > limit)
            throw CLI::ValidationError("--memory", std::to_string(mebiBytes) +
                                                       " MiB is more than --memory-limit " +
                                                       std::to_string(limit) + " MiB");
    });
}

MemoryBudget memoryBudget(std::size_t mebiBytes, int jobs) {
    constexpr std::uint64_t DefaultPartBytes = 32 * 1024 * 1024;
    constexpr std::uint64_t MiB = 1024 * 1024;
    const auto inMiB = [](std::uint64_t bytes) { return std::to_string(bytes / MiB) + " MiB"; };
    if (mebiBytes > 0)
        return {mebiBytes * MiB, mebiBytes * MiB, inMiB(mebiBytes * MiB) + " (--memory)"};
    const std::uint64_t limit = containment().MebiBytes * MiB;
    const std::uint64_t each =
        limit > 0 ? limit
                  : Plexa::availableMemory() / static_cast<std::uint64_t>(std::max(jobs, 1));
    const char* whose = limit > 0  ? "of --memory-limit"
                        : jobs > 1 ? "available to each job"
                                   : "available";
    const std::uint64_t bytes = std::max(each / 2, MiB);
    // parts that stay in the processor's caches convert faster than one part of the whole file
    const std::uint64_t part = std::min(bytes, DefaultPartBytes);
    return {bytes, part,
            inMiB(bytes) + " (half of the " + inMiB(each) + " " + whose + "), in parts of " +
                inMiB(part) + " or one time step"};
}

void discardBundle(BasicConverterDefs& converter) {
    if (converter.myBundle) converter.myBundle->unbind();
    converter.myBundle.reset();
}

int runConverter(std::unique_ptr<BasicConverterDefs> converter) {
    bool converted = false;
    try {
        Quorix::Console() << converter->printParameters();
        converted = converter->convert();
    } catch (const std::exception& failure) {
        converter->ErrorMessages.push_back("The run stopped early: " +
                                           Plexa::printable(failure.what()));
    }
    const int status = finishRun(*converter, converted);
    converter.reset(); // prints the run summary
    return status;
}

void setVerbosity(Verbosity level) {
    programVerbosity = level;
}

Verbosity verbosity() {
    return programVerbosity;
}

void printResult(const std::string& line) {
    if (verbosity() == Verbosity::Quiet) return;
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void addCommonOptions(CLI::App& app, CommonSettings& common) {
    app.set_version_flag("--version", CONVLIB_VERSION, "Show the version and end");
    auto* quiet = app.add_flag("-q,--quiet", common.Quiet, "Say nothing but the errors");
    auto* verbose = app.add_flag("-v,--verbose", common.Verbose,
                                 "Also name each file's fields as they are written, and the "
                                 "HDF5 library's own account of a failure");
    quiet->excludes(verbose);
    addLimitOptions(app, common.Limits);
}

void applyCommonSettings(const CommonSettings& common) {
    setContainment(common.Limits);
    Plexa::setDetailedErrors(common.Verbose);
    setVerbosity(common.Quiet     ? Verbosity::Quiet
                 : common.Verbose ? Verbosity::Verbose
                                  : Verbosity::Normal);
    // standard output carries results alone, so other programs can read them
    Quorix::Console::setSink(common.Quiet ? Quorix::Console::Sink() : colourSink(stderr));
}

Quorix::Console::Sink colourSink(std::FILE* stream) {
    Quorix::Console::Sink write = Quorix::Console::streamSink(stream);
    if (showsColour(stream)) return write;
    return [write](const std::string& message) { write(withoutEscapeSequences(message)); };
}

bool parseCommandLine(CLI::App& app, int argc, char** argv, int& status) {
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::ParseError& error) {
        // help and version end well; any other mistake is a usage error
        status = app.exit(error) == 0 ? 0 : 2;
        return false;
    }
}

} // namespace ConvLib::Tools

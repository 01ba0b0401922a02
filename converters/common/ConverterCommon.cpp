#include "converters/common/ConverterCommon.hpp"

#include "converters/common/Numbers.hpp"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <unistd.h>

namespace ConvLib::Tools {

namespace {

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
    app.add_option_function<std::string>(
           "--shard",
           [&shard](const std::string& text) {
               std::string error;
               if (!parseShard(text, shard, error)) throw CLI::ValidationError("--shard", error);
           },
           "Process only the K-th of N equal slices of the sorted input files (batch jobs)")
        ->type_name("K/N");
}

void addBatchOptions(CLI::App& app, BatchSettings& settings) {
    app.add_option("-c,--compression", settings.Compression,
                   "Deflate level 1..9 (larger values are clamped); 0 keeps the library's level; "
                   "negative: no compression and full precision")
        ->capture_default_str();
    addShardOption(app, settings.InputShard);
}

std::string shardReport(const Shard& shard) {
    return "\nHave shard: " + std::to_string(shard.Index) + "/" + std::to_string(shard.Count);
}

Quorix::StrongPtr<Quorix::StringList> inputList(const std::vector<std::string>& names) {
    return Quorix::StrongPtr<Quorix::StringList>(
        new Quorix::StringList(std::list<std::string>(names.begin(), names.end())));
}

Progress::Progress(std::size_t total) : Progress(total, isatty(STDERR_FILENO) != 0) {}

void Progress::step(const std::string& name) {
    ++Done;
    if (Enabled) std::fprintf(stderr, "[%zu/%zu] %s\n", Done, Total, name.c_str());
}

void installStorage(BasicConverterDefs& converter, int compression,
                    const std::vector<std::string>& fieldsToSave) {
    Quorix::StrongPtr<MyStorage> storage(new MyStorage(compression, false, false, false));
    if (compression > 0) storage->FilterDefaults.DeflateLevel = std::clamp(compression, 1, 9);
    if (!fieldsToSave.empty()) storage->SaveableFields = inputList(fieldsToSave);
    converter.Compression = compression;
    converter.myStorage = storage;
}

bool gatherInputs(BasicConverterDefs& converter, const Shard& shard, const InputSelection& select) {
    if (converter.InFiles) reportFruitlessNames(converter);
    converter.readManyFiles();
    if (!converter.InFiles || converter.InFiles->empty()) {
        converter.ErrorMessages.push_back("No input file found");
        return false;
    }
    const std::list<std::string> selected =
        select ? select(*converter.InFiles) : std::list<std::string>(*converter.InFiles);
    converter.InFiles =
        Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList(takeShard(selected, shard)));
    return true;
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
    Quorix::Console() << subject + ": " + (outcomes.empty() ? whenNone : join(outcomes, ", "));
}

bool loadSingleInput(BasicConverterDefs& converter, const std::string& file,
                     BasicConverterDefs::myReadType type) {
    converter.InFiles = Quorix::StrongPtr<Quorix::StringList>(new Quorix::StringList{file});
    if (converter.loadFilesIntoBundle(type)) return true;
    if (converter.myBundle) addReason(converter, converter.myBundle->lastError());
    return false;
}

void addReason(BasicConverterDefs& converter, const std::string& reason) {
    if (!reason.empty()) converter.ErrorMessages.push_back(reason);
}

bool saveAndRelease(BasicConverterDefs& converter) {
    bool saved = true;
    Plexa::BundlePtr& bundle = converter.myBundle;
    if (bundle && bundle->isBound() && bundle->isModified()) {
        Plexa::BindResult result = bundle->save();
        if (!result) {
            converter.ErrorMessages.push_back("Cannot write " + bundle->boundFile());
            addReason(converter, result.Text);
            saved = false;
        }
    }
    discardBundle(converter);
    return saved;
}

void discardBundle(BasicConverterDefs& converter) {
    if (converter.myBundle) converter.myBundle->unbind();
    converter.myBundle.reset();
}

int runConverter(BasicConverterDefs& converter) {
    Quorix::Console() << converter.printParameters();
    converter.convert();
    return converter.ErrorMessages.empty() ? 0 : 1;
}

bool parseCommandLine(CLI::App& app, int argc, char** argv, int& status) {
    try {
        app.parse(argc, argv);
        return true;
    } catch (const CLI::ParseError& error) {
        status = app.exit(error);
        return false;
    }
}

} // namespace ConvLib::Tools

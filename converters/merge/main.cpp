// qz-merge: merges the selected time steps, grids and fields of many bundle files into one new
// bundle file; every merged grid carries its sources' provenance on.
#include "convlib/Program.hpp"
#include "convlib/Numbers.hpp"

#include <algorithm>
#include <filesystem>
#include <memory>
#include <tuple>

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;
namespace fs = std::filesystem;

struct Settings : Tools::BatchSettings {
    std::vector<std::string> Grids;
    std::vector<std::string> Fields;
    std::vector<double> Times;
    bool RenameGrids = false;
    bool OverwriteFields = false;
};

fs::path absolutePath(const std::string& file) {
    std::error_code error;
    return fs::absolute(file, error).lexically_normal();
}

// The deepest folder that holds every file, however deep below it.
fs::path commonFolder(const std::list<std::string>& files) {
    fs::path common = files.empty() ? fs::path() : absolutePath(files.front()).parent_path();
    for (const std::string& file : files) {
        const fs::path folder = absolutePath(file).parent_path();
        fs::path shared;
        for (auto a = common.begin(), b = folder.begin();
             a != common.end() && b != folder.end() && *a == *b; ++a, ++b)
            shared /= *a;
        common = shared;
    }
    return common;
}

// One input, read one grid of one time step at a time.
struct Input {
    std::string File;
    Plexa::FileSteps Steps;
    Tools::Outcomes Merged; // what became of its grids, in time order
    bool Failed = false;
};

// The grids of one time step that merge under one name: (input, the grid's name there).
using Contributions = std::map<std::string, std::vector<std::pair<Input*, std::string>>>;

class MergeConverter : public BasicConverterDefs {
public:
    explicit MergeConverter(const Settings& settings) : Options(settings) {
        ConverterName = "qz-merge";
        InFiles = Tools::inputList(settings.Inputs);
        OutFile = settings.Output;
        DoThisGrids = Tools::toSet(settings.Grids);
        DoThisFields = Tools::toSet(settings.Fields);
        DoThisTime = Tools::toSet(settings.Times);
        Tools::installStorage(*this, settings.Compression, {}, settings.Lossy);
        Rule.RefusePoints = true;
        Rule.RefuseValues = !settings.OverwriteFields;
    }

    // Time step by time step, grid by grid: each merged grid is appended to the output's
    // temporary file and let go, so memory holds one merged grid at a time, whatever the inputs.
    bool convert() override {
        std::list<std::string> everyInput;
        if (!Tools::gatherInputs(*this, Options.InputShard, everyInput)) return false;
        if (Tools::refuseOutputAmongInputs(*this, OutFile, everyInput, Options.InPlace))
            return false;
        if (InFiles->empty()) return true; // a shard beyond the last input has nothing to do
        InputFolder = commonFolder(everyInput);
        Tools::forEachInput(*this, [this](const std::string& file) { openInput(file); });
        for (const double time : selectedTimes())
            for (auto& [target, sources] : contributions(time))
                mergeTarget(time, target, sources);
        for (const auto& input : Inputs)
            Tools::reportInput(input->File, input->Merged,
                               input->Failed ? "not merged, see the errors below"
                                             : "nothing selected");
        if (!ErrorMessages.empty() || !selectionMatches()) return false;
        if (!Output) {
            ErrorMessages.push_back("Nothing matched the selection; " + OutFile + " not written");
            return false;
        }
        return commit();
    }

    std::string printSecondary() override {
        return "\nWrites: " + Options.Output + (Options.InPlace ? ", in place if an input" : "") +
               Tools::shardReport(Options.InputShard);
    }

private:
    // Where a field of the merged bundle came from: (time, grid, field) -> file.
    using FieldKey = std::tuple<double, std::string, std::string>;

    // Every grid is read in a worker process first, so that a file that crashes the library is
    // named and never opened here.
    void openInput(const std::string& file) {
        auto input = std::make_unique<Input>();
        input->File = file;
        std::string error;
        input->Failed = !Tools::readSurvives(*this, file, [&] { return readsThrough(file); }) ||
                        !input->Steps.open(file, Options.Read, error);
        if (!error.empty()) refuseInput(file, error);
        for (const auto& [time, grids] : input->Steps.contents()) {
            Held.Times.insert(time);
            for (const auto& [grid, fields] : grids) {
                Held.Grids.insert(grid);
                Held.Fields.insert(fields.begin(), fields.end());
            }
        }
        Inputs.push_back(std::move(input));
    }

    // Reads every grid of the file, one at a time; false with the reason among the errors.
    bool readsThrough(const std::string& file) {
        Plexa::FileSteps steps;
        std::string error;
        bool read = steps.open(file, Options.Read, error);
        for (const auto& [time, grids] : steps.contents())
            for (const auto& [grid, fields] : grids)
                read = read && steps.takeGrid(time, grid, error);
        if (!read) refuseInput(file, error);
        return read;
    }

    // The designed words for a bundle, the format's own for an input of another kind.
    void refuseInput(const std::string& file, const std::string& reason) {
        const Plexa::InputFormat* format = Plexa::formatOf(file);
        const std::string lead = !format || format->Kind == Plexa::InputKind::Bundle
                                     ? "Cannot load this bundle: "
                                     : std::string("Cannot load ") + format->Words + ": ";
        ErrorMessages.push_back(lead + Plexa::printable(reason));
    }

    std::set<double> selectedTimes() const {
        std::set<double> times;
        for (const auto& input : Inputs)
            for (const auto& [time, grids] : input->Steps.contents())
                if (!input->Failed && UseThisTime(time)) times.insert(time);
        return times;
    }

    Contributions contributions(double time) {
        Contributions sources;
        for (const auto& input : Inputs) {
            const auto step = input->Steps.contents().find(time);
            if (input->Failed || step == input->Steps.contents().end()) continue;
            for (const auto& [grid, fields] : step->second)
                if (UseThisGrid(grid) &&
                    std::any_of(fields.begin(), fields.end(),
                                [this](const std::string& field) { return UseThisField(field); }))
                    sources[targetName(*input, grid)].emplace_back(input.get(), grid);
        }
        return sources;
    }

    // With --rename-grids a grid is named after its file's path below the folder that holds all
    // inputs, without extension; a file of several grids adds each grid's name as a last part.
    std::string targetName(const Input& input, const std::string& grid) const {
        if (!Options.RenameGrids) return grid;
        const std::string path = absolutePath(input.File)
                                     .lexically_relative(InputFolder)
                                     .replace_extension()
                                     .generic_string();
        return gridsSelectedIn(input) > 1 ? path + "/" + grid : path;
    }

    std::size_t gridsSelectedIn(const Input& input) const {
        std::set<std::string> names;
        for (const auto& [time, grids] : input.Steps.contents())
            for (const auto& [name, fields] : grids)
                if (UseThisTime(time) && UseThisGrid(name)) names.insert(name);
        return names.size();
    }

    // The grids of one name and time from every input that holds one, merged by the one rule and
    // appended to the output while the run has no error.
    void mergeTarget(double time, const std::string& target,
                     const std::vector<std::pair<Input*, std::string>>& sources) {
        Plexa::Bundle part;
        const Plexa::SlicePtr step = part.addSlice(time);
        for (const auto& [input, grid] : sources) {
            if (input->Failed) continue;
            std::string error;
            const Plexa::GridPtr source = input->Steps.takeGrid(time, grid, error);
            if (!source) {
                refuseInput(input->File, error);
                input->Failed = true;
                input->Merged.clear();
                continue;
            }
            mergeSource(*step, source, target, *input);
        }
        if (!step->grids().empty() && ErrorMessages.empty()) append(part);
    }

    void mergeSource(Plexa::Slice& step, const Plexa::GridPtr& source, const std::string& target,
                     Input& input) {
        const std::string where = target + " at time " + Tools::formatNumber(step.time());
        const Plexa::GridPtr selected = selectedPart(*source, target);
        const std::vector<Plexa::MergeConflict> conflicts = Plexa::mergeGrid(step, selected, Rule);
        if (reportRefusals(conflicts, input.File, step.time(), target)) {
            input.Merged.push_back("refused " + where);
            return;
        }
        const Plexa::GridPtr merged = step.findGrid(target);
        GridOrigins.emplace(std::pair{step.time(), target}, input.File);
        for (const auto& [name, field] : selected->fields())
            Origins[{step.time(), target, name}] = input.File;
        addInfoToGrid("Merged grid " + source->name() + " from " + input.File + " into " + OutFile +
                          (target == source->name() ? "" : " as " + target) + "\n",
                      *merged, ConverterName, source, Tools::ProgramMajorVersion,
                      Tools::ProgramMinorVersion);
        input.Merged.push_back("merged " +
                               (target == source->name() ? "" : source->name() + " as ") + where);
    }

    // The source's selected fields under the target's name, without the source's attributes
    // (its success marks belong to it alone; its provenance is carried on by addInfoToGrid).
    Plexa::GridPtr selectedPart(const Plexa::Grid& source, const std::string& target) {
        Plexa::GridPtr part(new Plexa::Grid(target));
        std::string unused; // the source's topology was checked when it was read
        part->setTopology(source.topology(), unused);
        for (const auto& [name, field] : source.fields())
            if (UseThisField(name)) part->addField(name, field.Data) = field;
        return part;
    }

    // A grid joins the merged grid of its name and time only as more fields of the same points:
    // another layout, another point count, or a field of the same name with other values (unless
    // --overwrite-fields), means two different grids, and merging them would lose one. Names the
    // conflicts that refused the grid; true when there was one.
    bool reportRefusals(const std::vector<Plexa::MergeConflict>& conflicts, const std::string& file,
                        double time, const std::string& target) {
        using Kind = Plexa::MergeConflict::Kind;
        const std::string where = "Grid " + target + " at time " + Tools::formatNumber(time);
        std::map<std::string, std::vector<std::string>> differing; // by the file they came from
        bool refused = false;
        for (const Plexa::MergeConflict& conflict : conflicts) {
            if (!Rule.refuses(conflict.What)) continue;
            refused = true;
            const std::string& origin = GridOrigins.at({time, target}); // it met a grid there
            if (conflict.What == Kind::Layout)
                ErrorMessages.push_back(where + " is " + conflict.Incoming + " in " + file +
                                        " but " + conflict.Existing + " in " + origin +
                                        renameHint());
            else if (conflict.What == Kind::Points)
                ErrorMessages.push_back(where + " has " + conflict.Incoming + " points in " + file +
                                        " but " + conflict.Existing + " in " + origin +
                                        renameHint());
            else
                differing[Origins[{time, target, conflict.Field}]].push_back(conflict.Field);
        }
        for (const auto& [fieldOrigin, names] : differing)
            ErrorMessages.push_back(where + ": " + file + " and " + fieldOrigin + " differ in " +
                                    Tools::join(names, ", ") + renameHint() +
                                    ", --overwrite-fields takes the later file's");
        return refused;
    }

    std::string renameHint() const {
        return Options.RenameGrids ? "" : "; --rename-grids names each grid after its file";
    }

    // Each option that names values must find one of them in the inputs.
    bool selectionMatches() {
        const std::size_t errors = ErrorMessages.size();
        Tools::requireSelected(*this, "--grids", DoThisGrids, Held.Grids,
                               "the inputs hold the grids");
        Tools::requireSelected(*this, "--fields", DoThisFields, Held.Fields,
                               "the inputs hold the fields");
        Tools::requireSelected(*this, "--times", DoThisTime, Held.Times,
                               "the inputs hold the times");
        return ErrorMessages.size() == errors;
    }

    void append(const Plexa::Bundle& part) {
        if (!Output)
            Output = std::make_unique<Plexa::BundleFileParts>(
                OutFile,
                Quorix::DynPtr<Plexa::StorageTransformations, Quorix::InterfaceBase>(myStorage));
        Steps.insert(part.slices().begin()->first);
        Tools::appendPart(*this, *Output, part);
    }

    bool commit() {
        if (!Tools::commitParts(*this, *Output)) return false;
        Tools::printResult("Wrote " + OutFile + " with " + std::to_string(Steps.size()) +
                           " time step(s)");
        return true;
    }

    Settings Options;
    Plexa::MergeOptions Rule;
    std::vector<std::unique_ptr<Input>> Inputs;
    fs::path InputFolder;
    std::map<std::pair<double, std::string>, std::string> GridOrigins; // the first file of each
    std::map<FieldKey, std::string> Origins;
    Tools::HeldNames Held; // what the inputs hold, for selections that match nothing
    std::unique_ptr<Plexa::BundleFileParts> Output; // from the first merged grid on
    std::set<double> Steps;                         // the time steps written
};

void defineOptions(CLI::App& app, Settings& settings) {
    app.add_option("inputs", settings.Inputs,
                   "Bundle files (.qz) or other files of the known types (" +
                       Plexa::knownExtensions() +
                       "); folders (with a trailing '/') and patterns are expanded to the files "
                       "of these types")
        ->required();
    app.add_option("-o,--output", settings.Output, "The merged bundle file (made anew)")
        ->required();
    app.add_option("-g,--grids", settings.Grids, "Keep only these grids, comma separated")
        ->delimiter(',');
    app.add_option("-f,--fields", settings.Fields, "Keep only these fields, comma separated")
        ->delimiter(',');
    app.add_option("-t,--times", settings.Times,
                   "Keep only these time values (exact), comma separated")
        ->delimiter(',');
    app.add_flag("--rename-grids", settings.RenameGrids,
                 "Name each grid after its file's path below the folder that holds all inputs, "
                 "without extension (a file of several grids: <path>/<grid>)");
    app.add_flag("--overwrite-fields", settings.OverwriteFields,
                 "For fields of the same grid, name and time in several files, take the later "
                 "file's instead of refusing");
    Tools::addBatchOptions(app, settings);
}

} // namespace

int main(int argc, char** argv) {
    return Tools::runProgram<MergeConverter, Settings>(
        argc, argv,
        "Merges the selected time steps, grids and fields of bundle files into one "
        "bundle file.",
        defineOptions);
}

// qz-merge: merges the selected time steps, grids and fields of many bundle files into one new
// bundle file; every merged grid carries its sources' provenance on.
#include "convlib/Program.hpp"
#include "convlib/Numbers.hpp"

#include <cstring>
#include <filesystem>
#include <tuple>

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;
namespace fs = std::filesystem;

using Fields = std::map<std::string, Plexa::Field>;

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

// The field that says how many points a grid has: its positions, or else its first field.
Fields::const_iterator countingField(const Fields& fields) {
    const auto positions = fields.find(Plexa::PositionsField);
    return positions != fields.end() ? positions : fields.begin();
}

bool identical(const Plexa::MemBase& first, const Plexa::MemBase& second) {
    return first.elementType() == second.elementType() &&
           first.components() == second.components() && first.size() == second.size() &&
           (first.byteSize() == 0 ||
            std::memcmp(first.rawData(), second.rawData(), first.byteSize()) == 0);
}

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
    }

    bool convert() override {
        std::list<std::string> everyInput;
        if (!Tools::gatherInputs(*this, Options.InputShard, everyInput)) return false;
        if (Tools::refuseOutputAmongInputs(*this, OutFile, everyInput, Options.InPlace))
            return false;
        if (InFiles->empty()) return true; // a shard beyond the last input has nothing to do
        InputFolder = commonFolder(everyInput);
        Tools::forEachInput(*this, [this](const std::string& file) { mergeOne(file); });
        if (!ErrorMessages.empty() || !selectionMatches()) return false;
        if (Merged->slices().empty()) {
            ErrorMessages.push_back("Nothing matched the selection; " + OutFile + " not written");
            return false;
        }
        return write();
    }

    std::string printSecondary() override {
        return "\nWrites: " + Options.Output + (Options.InPlace ? ", in place if an input" : "") +
               Tools::shardReport(Options.InputShard);
    }

private:
    // Where a field of the merged bundle came from: (time, grid, field) -> file.
    using FieldKey = std::tuple<double, std::string, std::string>;

    void mergeOne(const std::string& file) {
        Tools::Outcomes merged;
        const bool loaded = Tools::loadSingleInput(*this, file, ReadBundles, Options.Read);
        if (loaded) {
            Held.add(*myBundle);
            for (const auto& [time, slice] : myBundle->slices())
                if (UseThisTime(time)) mergeSlice(*slice, file, merged);
        }
        Tools::discardBundle(*this);
        Tools::reportInput(file, merged,
                           loaded ? "nothing selected" : "not merged, see the errors below");
    }

    void mergeSlice(const Plexa::Slice& source, const std::string& file, Tools::Outcomes& merged) {
        for (const auto& [name, grid] : source.grids()) {
            if (!UseThisGrid(name)) continue;
            const std::string target = targetName(file, name);
            const std::string where = target + " at time " + Tools::formatNumber(source.time());
            const Fields fields = selectedFields(*grid);
            if (fields.empty()) continue;
            if (!fitsMerged(source.time(), target, grid->topology(), fields, file)) {
                merged.push_back("refused " + where);
                continue;
            }
            mergeGrid(source.time(), grid, target, fields, file);
            merged.push_back("merged " + (target == name ? "" : name + " as ") + where);
        }
    }

    Fields selectedFields(const Plexa::Grid& grid) {
        Fields fields;
        for (const auto& [name, field] : grid.fields())
            if (UseThisField(name)) fields.emplace(name, field);
        return fields;
    }

    // With --rename-grids a grid is named after its file's path below the folder that holds all
    // inputs, without extension; a file of several grids adds each grid's name as a last part.
    std::string targetName(const std::string& file, const std::string& grid) const {
        if (!Options.RenameGrids) return grid;
        const std::string path =
            absolutePath(file).lexically_relative(InputFolder).replace_extension().generic_string();
        return gridsSelectedIn(*myBundle) > 1 ? path + "/" + grid : path;
    }

    std::size_t gridsSelectedIn(const Plexa::Bundle& bundle) const {
        std::set<std::string> names;
        for (const auto& [time, slice] : bundle.slices())
            for (const auto& [name, grid] : slice->grids())
                if (UseThisTime(time) && UseThisGrid(name)) names.insert(name);
        return names.size();
    }

    // A grid joins the merged grid of its name and time only as more fields of the same points:
    // another layout (points or axes), a different point count, or a field of the same name with
    // other values, means two different grids, and merging them would lose one.
    bool fitsMerged(double time, const std::string& target, const Plexa::Topology& topology,
                    const Fields& fields, const std::string& file) {
        const Plexa::SlicePtr slice = Merged->findSlice(time);
        const Plexa::GridPtr merged = slice ? slice->findGrid(target) : Plexa::GridPtr();
        if (!merged) return true;
        const std::string where = "Grid " + target + " at time " + Tools::formatNumber(time);
        const auto counting = countingField(merged->fields());
        if (topology != merged->topology()) {
            ErrorMessages.push_back(where + " is " + topology.summary() + " in " + file + " but " +
                                    merged->topology().summary() + " in " +
                                    Origins[{time, target, counting->first}] + renameHint());
            return false;
        }
        const std::size_t points = counting->second.Data->size();
        const std::size_t given = countingField(fields)->second.Data->size();
        if (given != points) {
            ErrorMessages.push_back(where + " has " + std::to_string(given) + " points in " + file +
                                    " but " + std::to_string(points) + " in " +
                                    Origins[{time, target, counting->first}] + renameHint());
            return false;
        }
        return fieldsAgree(time, target, *merged, fields, file, where);
    }

    bool fieldsAgree(double time, const std::string& target, const Plexa::Grid& merged,
                     const Fields& fields, const std::string& file, const std::string& where) {
        if (Options.OverwriteFields) return true;
        std::map<std::string, std::vector<std::string>> differing; // by the file they came from
        for (const auto& [name, field] : fields) {
            const Plexa::Field* existing = merged.findField(name);
            if (existing && !identical(*existing->Data, *field.Data))
                differing[Origins[{time, target, name}]].push_back(name);
        }
        for (const auto& [origin, names] : differing)
            ErrorMessages.push_back(where + ": " + file + " and " + origin + " differ in " +
                                    Tools::join(names, ", ") + renameHint() +
                                    ", --overwrite-fields takes the later file's");
        return differing.empty();
    }

    std::string renameHint() const {
        return Options.RenameGrids ? "" : "; --rename-grids names each grid after its file";
    }

    void mergeGrid(double time, const Plexa::GridPtr& source, const std::string& target,
                   const Fields& fields, const std::string& file) {
        Plexa::GridPtr merged = Merged->addSlice(time)->addGrid(target);
        std::string unused; // the source's topology was checked when it was loaded
        if (merged->fields().empty()) merged->setTopology(source->topology(), unused);
        for (const auto& [name, field] : fields) {
            merged->addField(name, field.Data) = field; // attributes and packing too
            Origins[{time, target, name}] = file;
        }
        addInfoToGrid("Merged grid " + source->name() + " from " + file + " into " + OutFile +
                          (target == source->name() ? "" : " as " + target) + "\n",
                      *merged, ConverterName, source, Tools::ProgramMajorVersion,
                      Tools::ProgramMinorVersion);
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

    bool write() {
        myBundle = Merged;
        Plexa::BindResult bound = myBundle->bindToNew(
            OutFile,
            Quorix::DynPtr<Plexa::StorageTransformations, Quorix::InterfaceBase>(myStorage));
        if (!bound) {
            ErrorMessages.push_back("Cannot bind the output file " + bound.Text);
            Tools::discardBundle(*this);
            return false;
        }
        const std::size_t steps = myBundle->slices().size();
        if (!Tools::saveAndRelease(*this)) return false;
        Tools::printResult("Wrote " + OutFile + " with " + std::to_string(steps) + " time step(s)");
        return true;
    }

    Settings Options;
    Plexa::BundlePtr Merged{new Plexa::Bundle};
    fs::path InputFolder;
    std::map<FieldKey, std::string> Origins;
    Tools::HeldNames Held; // what the inputs hold, for selections that match nothing
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

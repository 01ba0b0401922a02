// qz-merge: merges the selected time steps, grids and fields of many bundle files into one new
// bundle file; every merged grid carries its sources' provenance on.
#include "converters/common/ConverterCommon.hpp"
#include "converters/common/Numbers.hpp"

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;

struct Settings : Tools::BatchSettings {
    std::vector<std::string> Grids;
    std::vector<std::string> Fields;
    std::vector<double> Times;
};

class MergeConverter : public BasicConverterDefs {
public:
    explicit MergeConverter(const Settings& settings) : Options(settings) {
        ConverterName = "qz-merge";
        InFiles = Tools::inputList(settings.Inputs);
        OutFile = settings.Output;
        DoThisGrids = Tools::toSet(settings.Grids);
        DoThisFields = Tools::toSet(settings.Fields);
        DoThisTime = Tools::toSet(settings.Times);
        Tools::installStorage(*this, settings.Compression, {});
    }

    bool convert() override {
        std::list<std::string> everyInput;
        if (!Tools::gatherInputs(*this, Options.InputShard, everyInput)) return false;
        if (Tools::refuseOutputAmongInputs(*this, OutFile, everyInput, Options.InPlace))
            return false;
        if (InFiles->empty()) return true; // a shard beyond the last input has nothing to do
        Tools::forEachInput(*this, [this](const std::string& file) { mergeOne(file); });
        if (!ErrorMessages.empty()) return false;
        if (Merged->slices().empty()) {
            ErrorMessages.push_back("Nothing matched the selection; " + OutFile + " not written");
            return false;
        }
        return write();
    }

    std::string printSecondary() override { return Tools::shardReport(Options.InputShard); }

private:
    void mergeOne(const std::string& file) {
        Tools::Outcomes merged;
        const bool loaded = Tools::loadSingleInput(*this, file, ReadBundles);
        if (loaded) {
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
            mergeGrid(source.time(), grid, file);
            merged.push_back("merged " + name + " at time " + Tools::formatNumber(source.time()));
        }
    }

    // Grids of the same name and time from several files end up as one; later fields win.
    void mergeGrid(double time, const Plexa::GridPtr& source, const std::string& file) {
        Plexa::GridPtr target = Merged->addSlice(time)->addGrid(source->name());
        for (const auto& [name, field] : source->fields())
            if (UseThisField(name)) target->addField(name, field.Data);
        addInfoToGrid("Merged grid " + source->name() + " from " + file + " into " + OutFile + "\n",
                      *target, ConverterName, source, Tools::ProgramMajorVersion,
                      Tools::ProgramMinorVersion);
    }

    bool write() {
        myBundle = Merged;
        Plexa::BindResult bound = myBundle->bindToNew(
            OutFile,
            Quorix::DynPtr<Plexa::StorageTransformations, Quorix::InterfaceBase>(myStorage));
        if (!bound) {
            ErrorMessages.push_back("Cannot bind the output file " + OutFile);
            Tools::addReason(*this, bound.Text);
            Tools::discardBundle(*this);
            return false;
        }
        const std::size_t steps = myBundle->slices().size();
        if (!Tools::saveAndRelease(*this)) return false;
        Quorix::Console() << "Wrote " + OutFile + " with " + std::to_string(steps) +
                                 " time step(s)";
        return true;
    }

    Settings Options;
    Plexa::BundlePtr Merged{new Plexa::Bundle};
};

void defineOptions(CLI::App& app, Settings& settings) {
    app.add_option("inputs", settings.Inputs,
                   "Bundle files (.qz); folders (with a trailing '/') and patterns are expanded")
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

// qz-pointcloud: adds the "Height" of every point above its cloud's lowest point, one input at a
// time, to text point clouds (made into new bundle files) and point-cloud bundles (in place).
#include "convlib/Program.hpp"

#include <algorithm>
#include <limits>

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;

struct Settings : Tools::BatchSettings {
    std::vector<std::string> Fields;
    std::string Grid;
    bool IgnoreSuccess = false;
    bool OverwriteFields = false;
};

// Lowest z over the grid's positions, then z minus it for every point.
Plexa::MemPtr heightAboveLowest(const Plexa::MemArray<double>& positions) {
    const std::size_t points = positions.size();
    double lowest = std::numeric_limits<double>::infinity();
    for (std::size_t i = 0; i < points; ++i)
        lowest = std::min(lowest, positions(i, 2));
    auto height = Plexa::makeArray<double>(points);
    for (std::size_t i = 0; i < points; ++i)
        (*height)(i) = positions(i, 2) - lowest;
    return height;
}

class PointCloudConverter : public BasicConverterDefs {
public:
    explicit PointCloudConverter(const Settings& settings) : Options(settings) {
        ConverterName = "qz-pointcloud";
        InFiles = Tools::inputList(settings.Inputs);
        OutFile = settings.Output;
        IgnoreSuccess = settings.IgnoreSuccess;
        if (!settings.Grid.empty()) DoThisGrids.insert(settings.Grid);
        Tools::installStorage(*this, settings.Compression, settings.Fields, settings.Lossy);
    }

    bool convert() override {
        std::list<std::string> everyInput;
        const auto select = [this](const std::list<std::string>& files) {
            std::list<std::string> inputs = Tools::oneInputPerSource(files);
            Shared = Tools::sharedOutputs(inputs);
            return inputs;
        };
        if (!Tools::gatherInputs(*this, Options.InputShard, everyInput, select)) return false;
        if (!Options.Output.empty() && !Tools::outputFitsInputs(*this, Options, everyInput))
            return false;
        Tools::convertEachInput(
            *this, Options.Jobs,
            [this](const std::string& file, Tools::Carried& held) {
                // a worker keeps its converter from input to input: each carries its own grids
                InputHeld = Tools::HeldNames();
                convertOne(file);
                held.assign(InputHeld.Grids.begin(), InputHeld.Grids.end());
            },
            [this](const Tools::Carried& held) { Held.Grids.insert(held.begin(), held.end()); });
        if (!Held.Grids.empty())
            Tools::requireSelected(*this, "--grid", DoThisGrids, Held.Grids,
                                   "the inputs hold the grids");
        return ErrorMessages.empty();
    }

    std::string printSecondary() override {
        return "\nAdds the field Height (elevation above the lowest point)" + writesReport() +
               Tools::shardReport(Options.InputShard);
    }

private:
    // The library's "Have out file" line shows the setting; this says where outputs really go.
    std::string writesReport() const {
        return "\nWrites: " + (Options.Output.empty() ? "<name>.qz beside each point cloud, "
                                                        "bundle files in place"
                                                      : Options.Output);
    }

    void convertOne(const std::string& file) {
        if (Tools::refuseSharedOutput(*this, Shared, file)) return;
        const Tools::OutputPlan plan = Tools::planOutput(file, Options.Output, IgnoreSuccess);
        OutFile = Tools::literalOutputName(plan.Output);
        Added = plan.Notes;
        const std::string subject = plan.Output == file ? file : file + " -> " + plan.Output;
        Tools::reportIfLost(subject);
        const bool converted = convertSource(plan.Source);
        Tools::reportInput(subject, converted ? Added : Tools::Outcomes(),
                           converted ? "nothing to do" : Tools::NotConverted);
    }

    bool convertSource(const std::string& source) {
        if (!Tools::loadBoundInput(*this, source, Options.Read)) return false;
        InputHeld.add(*myBundle);
        if (addHeightToGrids(source) && savesSomeField(source)) return Tools::saveAndRelease(*this);
        Tools::discardBundle(*this);
        return false;
    }

    bool addHeightToGrids(const std::string& file) {
        const std::size_t notes = Added.size();
        bool anyCloud = false;
        for (const auto& [time, slice] : myBundle->slices()) {
            for (const auto& [name, grid] : slice->grids()) {
                if (!UseThisGrid(name) || getSuccessAttributeOfGrid(*grid)) continue;
                // a simulation's grid in a bundle beside point clouds is the user's to keep
                if (grid->topology().isStructured()) {
                    keepStructured(*grid);
                    continue;
                }
                anyCloud = true;
                if (!addHeight(*grid, file)) return false;
            }
        }
        // an input of structured grids alone was given to the wrong program
        if (!anyCloud && Added.size() > notes) {
            ErrorMessages.push_back(file + " holds structured grids only, no point cloud; Height "
                                           "needs point positions (qz-netcdf converts netCDF "
                                           "files)");
            return false;
        }
        return true;
    }

    // Said once per input, not per time step.
    void keepStructured(const Plexa::Grid& grid) {
        const std::string kept =
            "Grid " + grid.name() +
            " left as it is: Height is measured on point clouds, and it is a " +
            grid.topology().summary() + " grid";
        if (std::find(Added.begin(), Added.end(), kept) == Added.end()) Added.push_back(kept);
    }

    // A bundle written with none of the fields asked for would hold nothing of the input.
    bool savesSomeField(const std::string& file) {
        Tools::HeldNames fields;
        fields.add(*myBundle);
        const std::size_t errors = ErrorMessages.size();
        Tools::requireSelected(*this, "--fields", Tools::toSet(Options.Fields), fields.Fields,
                               file + " holds the fields");
        return ErrorMessages.size() == errors;
    }

    // Height made by this converter before (a grid redone with --ignore-success) is its own to
    // replace; any other is the user's.
    bool mayWriteHeight(const Plexa::Grid& grid, const std::string& file) {
        const bool ours = grid.getAttribute(ConverterName + "Successful?").valid();
        if (!grid.findField(Plexa::HeightField) || ours || Options.OverwriteFields) return true;
        ErrorMessages.push_back("Grid " + grid.name() + " in " + file +
                                " has a field Height already; --overwrite-fields replaces it");
        return false;
    }

    bool addHeight(Plexa::Grid& grid, const std::string& file) {
        const Plexa::Field* positions = grid.findField(Plexa::PositionsField);
        const auto* points =
            positions ? dynamic_cast<const Plexa::MemArray<double>*>(positions->Data.rawptr())
                      : nullptr;
        if (!points || points->components() != 3) {
            ErrorMessages.push_back("Grid " + grid.name() + " in " + file +
                                    " has no 3-component double field Positions");
            return false;
        }
        if (!mayWriteHeight(grid, file)) return false;
        grid.addField(Plexa::HeightField, heightAboveLowest(*points));
        Added.push_back("Height added to " + grid.name() + " (" + std::to_string(points->size()) +
                        " points)");
        addSuccessAttributeToGrid(grid);
        addInfoToGrid("Added Height: elevation of each point above the lowest point of " +
                          grid.name() + " (from " + file + ")\n",
                      grid, ConverterName, Plexa::GridPtr(), Tools::ProgramMajorVersion,
                      Tools::ProgramMinorVersion);
        return true;
    }

    Settings Options;
    Tools::SharedOutputs Shared; // inputs that would write one output
    Tools::Outcomes Added;       // of the input at hand
    Tools::HeldNames Held;       // what the inputs hold, for a --grid that selects nothing
    Tools::HeldNames InputHeld;  // what the input at hand holds
};

void defineOptions(CLI::App& app, Settings& settings) {
    app.add_option(
           "inputs", settings.Inputs,
           "Files of the known types (" + Plexa::knownExtensions() +
               "): point clouds get a bundle file, bundle files are extended; folders "
               "(with a trailing '/') and patterns are expanded to the files of these types")
        ->required();
    app.add_option("-o,--output", settings.Output,
                   "Output bundle file, for a single input only (default: a point cloud becomes "
                   "<name>.qz beside it, a bundle file is extended in place)");
    app.add_option("-f,--fields", settings.Fields,
                   "Only these fields are written, comma separated (default: all)")
        ->delimiter(',');
    app.add_option("-g,--grid", settings.Grid, "Process only the grid of this name");
    app.add_flag("--ignore-success", settings.IgnoreSuccess,
                 "Redo grids that already carry this converter's success mark");
    app.add_flag("--overwrite-fields", settings.OverwriteFields,
                 "Replace a field Height that the input has already");
    Tools::addTextCloudOptions(app, settings.Read);
    Tools::addBatchOptions(app, settings);
    Tools::addJobsOption(app, settings.Jobs);
}

} // namespace

int main(int argc, char** argv) {
    return Tools::runProgram<PointCloudConverter, Settings>(
        argc, argv,
        "Adds the field Height (elevation of each point above the lowest point of its "
        "cloud) to point clouds and writes them as bundle files.",
        defineOptions);
}

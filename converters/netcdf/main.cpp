// qz-netcdf: converts netCDF files into bundle files, one input at a time: the time dimension
// becomes the time steps, each set of other dimensions a structured grid whose fields are the
// variables over it.
#include "convlib/Program.hpp"

#include <filesystem>

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;

struct Settings : Tools::BatchSettings {
    std::vector<std::string> Grids;
    std::vector<std::string> Fields;
    std::vector<double> Times;
    bool IgnoreSuccess = false;
};

const Tools::InputKinds Takes = {Plexa::InputKind::StructuredGrids};

template <class Map> std::vector<typename Map::key_type> keysOf(const Map& map) {
    std::vector<typename Map::key_type> keys;
    for (const auto& entry : map)
        keys.push_back(entry.first);
    return keys;
}

class NetcdfConverter : public BasicConverterDefs {
public:
    explicit NetcdfConverter(const Settings& settings) : Options(settings) {
        ConverterName = "qz-netcdf";
        InFiles = Tools::inputList(settings.Inputs);
        OutFile = settings.Output;
        IgnoreSuccess = settings.IgnoreSuccess;
        DoThisGrids = Tools::toSet(settings.Grids);
        DoThisFields = Tools::toSet(settings.Fields);
        DoThisTime = Tools::toSet(settings.Times);
        // the reader leaves out what is not selected before it refuses anything
        Options.Read.Netcdf.Fields = settings.Fields;
        Options.Read.Netcdf.Grids = settings.Grids;
        Tools::installStorage(*this, settings.Compression, {}, settings.Lossy);
    }

    bool convert() override {
        std::list<std::string> everyInput;
        const auto select = [this](const std::list<std::string>& files) {
            std::list<std::string> inputs = Tools::oneInputPerSource(files);
            Shared = Tools::sharedOutputs(inputs);
            return inputs;
        };
        if (!Tools::gatherInputs(*this, Options.InputShard, everyInput, select, Takes))
            return false;
        if (!Options.Output.empty() && !Tools::outputFitsInputs(*this, Options, everyInput))
            return false;
        Tools::convertEachInput(
            *this, Options.Jobs,
            [this](const std::string& file, Tools::Carried&) { convertOne(file); });
        return ErrorMessages.empty();
    }

    std::string printSecondary() override {
        return "\nConverts netCDF variables into fields of structured grids, a time step per "
               "value of the time dimension" +
               writesReport() + Tools::shardReport(Options.InputShard);
    }

private:
    std::string writesReport() const {
        return "\nWrites: " +
               (Options.Output.empty() ? "<name>.qz beside each netCDF file" : Options.Output);
    }

    void convertOne(const std::string& file) {
        if (Tools::refuseSharedOutput(*this, Shared, file)) return;
        const Tools::OutputPlan plan = Tools::planOutput(file, Options.Output, IgnoreSuccess);
        OutFile = Tools::literalOutputName(plan.Output);
        Done = plan.Notes;
        const std::string subject = file + " -> " + plan.Output;
        Tools::reportIfLost(subject);
        const bool converted = plan.Source == file ? convertFile(file) : isFinished(plan.Source);
        Tools::reportInput(subject, converted ? Done : Tools::Outcomes(),
                           converted ? "nothing to do" : Tools::NotConverted);
    }

    bool convertFile(const std::string& file) {
        if (!Tools::loadBoundInput(*this, file, Options.Read)) return false;
        if (keepSelected(file)) {
            markGrids(file);
            return Tools::saveAndRelease(*this);
        }
        Tools::discardBundle(*this);
        return false;
    }

    // The bundle made from the input before: finished when every grid carries the mark.
    bool isFinished(const std::string& bundle) {
        if (!Tools::loadBoundInput(*this, bundle, Options.Read)) return false;
        bool finished = true;
        for (const auto& [time, slice] : myBundle->slices())
            for (const auto& [name, grid] : slice->grids())
                finished = getSuccessAttributeOfGrid(*grid) && finished;
        Tools::discardBundle(*this);
        if (!finished)
            ErrorMessages.push_back(bundle + " holds grids that qz-netcdf did not finish; "
                                             "--ignore-success converts the input again");
        return finished;
    }

    // Leaves what --grids, --fields and --times select; false, with what the input holds, when
    // that is nothing.
    bool keepSelected(const std::string& file) {
        Tools::HeldNames held;
        held.add(*myBundle);
        const std::size_t errors = ErrorMessages.size();
        Tools::requireSelected(*this, "--grids", DoThisGrids, held.Grids,
                               file + " holds the grids");
        Tools::requireSelected(*this, "--fields", DoThisFields, held.Fields,
                               file + " holds the fields");
        Tools::requireSelected(*this, "--times", DoThisTime, held.Times, file + " holds the times");
        if (ErrorMessages.size() != errors) return false;
        for (double time : keysOf(myBundle->slices())) {
            const Plexa::SlicePtr slice = myBundle->findSlice(time);
            if (UseThisTime(time)) keepSelectedGrids(*slice);
            if (!UseThisTime(time) || slice->grids().empty()) myBundle->removeSlice(time);
        }
        if (!myBundle->slices().empty()) return true;
        ErrorMessages.push_back("--grids, --fields and --times together select nothing of " + file);
        return false;
    }

    void keepSelectedGrids(Plexa::Slice& slice) {
        for (const std::string& name : keysOf(slice.grids())) {
            Plexa::Grid& grid = *slice.findGrid(name);
            if (UseThisGrid(name))
                for (const std::string& field : keysOf(grid.fields()))
                    if (!UseThisField(field)) grid.removeField(field);
            if (!UseThisGrid(name) || grid.fields().empty()) slice.removeGrid(name);
        }
    }

    void markGrids(const std::string& file) {
        struct Made {
            std::string Fields;
            std::size_t Steps = 0;
        };
        std::map<std::string, Made> made;
        for (const auto& [time, slice] : myBundle->slices())
            for (const auto& [name, grid] : slice->grids()) {
                Made& gridMade = made[name];
                gridMade.Fields = Tools::join(keysOf(grid->fields()), ", ");
                ++gridMade.Steps;
                addSuccessAttributeToGrid(*grid);
                addInfoToGrid("Converted from the netCDF file " + file + ": " + gridMade.Fields +
                                  "\n",
                              *grid, ConverterName, Plexa::GridPtr(), Tools::ProgramMajorVersion,
                              Tools::ProgramMinorVersion);
            }
        for (const auto& [name, grid] : made)
            Done.push_back("grid " + name + " (" + grid.Fields + ") at " +
                           std::to_string(grid.Steps) + " time step" +
                           (grid.Steps == 1 ? "" : "s"));
        if (std::string note = readerNote(); !note.empty()) Done.push_back(note);
    }

    // What the reader left out of the file, which it notes on every grid alike.
    std::string readerNote() const {
        for (const auto& [time, slice] : myBundle->slices())
            for (const auto& [name, grid] : slice->grids()) {
                Quorix::DynPtr<Quorix::Chunk<std::string>, Quorix::ChunkBase> note(
                    grid->getAttribute("NetcdfNote"));
                if (note && !note->empty()) return note->front();
            }
        return {};
    }

    Settings Options;
    Tools::SharedOutputs Shared; // inputs that would write one output
    Tools::Outcomes Done;        // of the input at hand
};

void defineOptions(CLI::App& app, Settings& settings) {
    app.add_option("inputs", settings.Inputs,
                   "netCDF files (" + Plexa::knownExtensions(Takes) +
                       "), each made into <name>.qz beside it; folders (with a trailing '/') and "
                       "patterns are expanded to the netCDF files they hold")
        ->required();
    app.add_option("-o,--output", settings.Output,
                   "Output bundle file, for a single input only (default: <name>.qz beside it)");
    app.add_option("-g,--grids", settings.Grids,
                   "Only these grids, comma separated; a grid is named after its dimensions, "
                   "e.g. level_latitude_longitude (default: all)")
        ->delimiter(',');
    app.add_option("-f,--fields", settings.Fields,
                   "Only these variables, comma separated (default: all)")
        ->delimiter(',');
    app.add_option("-t,--times", settings.Times,
                   "Only the time steps of these exact values of the time coordinate, comma "
                   "separated (default: all)")
        ->delimiter(',');
    app.add_flag("--ignore-success", settings.IgnoreSuccess,
                 "Convert inputs again whose bundle carries this converter's success mark");
    Tools::addBatchOptions(app, settings);
    Tools::addJobsOption(app, settings.Jobs);
}

} // namespace

int main(int argc, char** argv) {
    return Tools::runProgram<NetcdfConverter, Settings>(
        argc, argv,
        "Converts netCDF files (climate and simulation data) into bundle files: the time "
        "dimension becomes the time steps, every variable over up to 3 other dimensions a field "
        "of the structured grid they make.",
        defineOptions);
}

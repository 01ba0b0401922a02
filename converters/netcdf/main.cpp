// qz-netcdf: converts netCDF files into bundle files, one input at a time: the time dimension
// becomes the time steps, each set of other dimensions a structured grid whose fields are the
// variables over it.
#include "convlib/Program.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <iterator>

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;

struct Settings : Tools::BatchSettings {
    std::vector<std::string> Grids;
    std::vector<std::string> Fields;
    std::vector<double> Times;
    bool IgnoreSuccess = false;
    std::size_t MemoryMebiBytes = 0; // 0: the default budget
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
        Budget = Tools::memoryBudget(settings.MemoryMebiBytes, settings.Jobs);
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
               writesReport() + "\nMemory budget: " + Budget.Origin +
               Tools::shardReport(Options.InputShard);
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

    // A few time steps at a time, as many as the memory budget holds, each part loaded, marked
    // and appended to the output's temporary file, which takes the output's place at the end.
    bool convertFile(const std::string& file) {
        Plexa::TimeSteps steps;
        if (!Tools::readTimeSteps(file, Options.Read, steps)) return refuse(file);
        const std::vector<double> times = selectedTimes(file, steps.Times);
        std::vector<std::vector<double>> parts;
        if (times.empty() || !partsOf(file, times, steps.StepBytes, parts)) return false;
        Plexa::BundleFileParts output(
            OutFile,
            Quorix::DynPtr<Plexa::StorageTransformations, Quorix::InterfaceBase>(myStorage));
        Tools::Progress progress(times.size());
        Made.clear();
        for (const std::vector<double>& part : parts) {
            if (!loadPart(file, part)) return false;
            if (!keepSelected(file)) {
                Tools::discardBundle(*this);
                return false;
            }
            markGrids(file);
            if (!Tools::appendAndRelease(*this, output)) return false;
            for (double time : part)
                progress.step(file + " at time " + Tools::formatNumber(time));
        }
        reportMade();
        return Tools::commitParts(*this, output);
    }

    // A file its reader refuses is loaded as any input is, so that the refusal names the cause.
    bool refuse(const std::string& file) {
        if (Tools::loadBoundInput(*this, file, Options.Read)) {
            Tools::discardBundle(*this);
            ErrorMessages.push_back(file + " changed while it was read; it was not converted");
        }
        return false;
    }

    bool loadPart(const std::string& file, const std::vector<double>& times) {
        Plexa::ReadOptions part = Options.Read;
        part.Times = times;
        return Tools::loadBoundInput(*this, file, part);
    }

    // The times --times selects of those the file holds; none, with what it holds, when the
    // option selects none of them.
    std::vector<double> selectedTimes(const std::string& file, const std::vector<double>& held) {
        const std::size_t errors = ErrorMessages.size();
        Tools::requireSelected(*this, "--times", DoThisTime,
                               std::set<double>(held.begin(), held.end()),
                               file + " holds the times");
        std::vector<double> times;
        if (ErrorMessages.size() != errors) return times;
        std::copy_if(held.begin(), held.end(), std::back_inserter(times),
                     [this](double time) { return UseThisTime(time); });
        return times;
    }

    // The times in parts of as many steps as the memory budget holds; false, with the step's
    // size, when it holds not one.
    bool partsOf(const std::string& file, const std::vector<double>& times, std::uint64_t stepBytes,
                 std::vector<std::vector<double>>& parts) {
        constexpr std::uint64_t MiB = 1024 * 1024;
        const std::uint64_t bytes = std::max<std::uint64_t>(stepBytes, 1);
        if (bytes > Budget.Bytes) {
            const std::string needed = std::to_string((bytes + MiB - 1) / MiB);
            ErrorMessages.push_back(file + ": one time step of the fields takes " + needed +
                                    " MiB, more than the memory budget of " +
                                    std::to_string(Budget.Bytes / MiB) + " MiB; --memory " +
                                    needed + " or more converts it");
            return false;
        }
        const auto perPart = static_cast<std::ptrdiff_t>(std::clamp<std::uint64_t>(
            Budget.PartBytes / bytes, 1, std::max<std::size_t>(times.size(), 1)));
        for (auto first = times.begin(); first != times.end();) {
            const auto last = times.end() - first > perPart ? first + perPart : times.end();
            parts.emplace_back(first, last);
            first = last;
        }
        return true;
    }

    // The bundle made from the input before, a part at a time: finished when every grid carries
    // the mark.
    bool isFinished(const std::string& bundle) {
        Plexa::TimeSteps steps;
        std::vector<std::vector<double>> parts;
        if (!Tools::readTimeSteps(bundle, Options.Read, steps)) return refuse(bundle);
        if (!partsOf(bundle, steps.Times, steps.StepBytes, parts)) return false;
        bool finished = true;
        for (const std::vector<double>& part : parts) {
            if (!loadPart(bundle, part)) return false;
            for (const auto& [time, slice] : myBundle->slices())
                for (const auto& [name, grid] : slice->grids())
                    finished = getSuccessAttributeOfGrid(*grid) && finished;
            Tools::discardBundle(*this);
        }
        if (!finished)
            ErrorMessages.push_back(bundle + " holds grids that qz-netcdf did not finish; "
                                             "--ignore-success converts the input again");
        return finished;
    }

    // Leaves what --grids and --fields select of a part at the selected times; false, with what the
    // input holds, when that is nothing.
    bool keepSelected(const std::string& file) {
        Tools::HeldNames held;
        held.add(*myBundle);
        const std::size_t errors = ErrorMessages.size();
        Tools::requireSelected(*this, "--grids", DoThisGrids, held.Grids,
                               file + " holds the grids");
        Tools::requireSelected(*this, "--fields", DoThisFields, held.Fields,
                               file + " holds the fields");
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
        for (const auto& [time, slice] : myBundle->slices())
            for (const auto& [name, grid] : slice->grids()) {
                GridMade& gridMade = Made.Grids[name];
                gridMade.Fields = Tools::join(keysOf(grid->fields()), ", ");
                ++gridMade.Steps;
                addSuccessAttributeToGrid(*grid);
                addInfoToGrid("Converted from the netCDF file " + file + ": " + gridMade.Fields +
                                  "\n",
                              *grid, ConverterName, Plexa::GridPtr(), Tools::ProgramMajorVersion,
                              Tools::ProgramMinorVersion);
            }
        if (Made.Note.empty()) Made.Note = readerNote();
    }

    void reportMade() {
        for (const auto& [name, grid] : Made.Grids)
            Done.push_back("grid " + name + " (" + grid.Fields + ") at " +
                           std::to_string(grid.Steps) + " time step" +
                           (grid.Steps == 1 ? "" : "s"));
        if (!Made.Note.empty()) Done.push_back(Made.Note);
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

    // What the parts of the input at hand made: each grid's fields and steps, and the reader's
    // note.
    struct GridMade {
        std::string Fields;
        std::size_t Steps = 0;
    };
    struct InputMade {
        std::map<std::string, GridMade> Grids;
        std::string Note;
        void clear() { *this = InputMade(); }
    };

    Settings Options;
    Tools::MemoryBudget Budget;
    Tools::SharedOutputs Shared; // inputs that would write one output
    Tools::Outcomes Done;        // of the input at hand
    InputMade Made;
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
    Tools::addMemoryBudgetOption(app, settings.MemoryMebiBytes);
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

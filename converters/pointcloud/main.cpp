// qz-pointcloud: adds the "Height" of every point above its cloud's lowest point, one input at a
// time, to text point clouds (made into new bundle files) and point-cloud bundles (in place).
#include "converters/common/ConverterCommon.hpp"

#include <algorithm>
#include <filesystem>
#include <limits>
#include <set>

namespace {

using ConvLib::BasicConverterDefs;
namespace Tools = ConvLib::Tools;

struct Settings : Tools::BatchSettings {
    std::vector<std::string> Fields;
    std::string Grid;
    bool IgnoreSuccess = false;
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
        OutFile = settings.Output.empty() ? "out.qz" : settings.Output;
        IgnoreSuccess = settings.IgnoreSuccess;
        if (!settings.Grid.empty()) DoThisGrids.insert(settings.Grid);
        Tools::installStorage(*this, settings.Compression, settings.Fields);
    }

    bool convert() override {
        if (!Tools::gatherInputs(*this, Options.InputShard, oneInputPerCloud)) return false;
        if (!Options.Output.empty() && InFiles->size() > 1) {
            ErrorMessages.push_back("--output needs exactly one input file, got " +
                                    std::to_string(InFiles->size()));
            return false;
        }
        Tools::forEachInput(*this, [this](const std::string& file) { convertOne(file); });
        return ErrorMessages.empty();
    }

    std::string printSecondary() override {
        return "\nAdds the field Height (elevation above the lowest point)" +
               Tools::shardReport(Options.InputShard);
    }

private:
    static bool isBundle(const std::string& file) {
        return std::filesystem::path(file).extension() == ".qz";
    }

    static std::string bundleBeside(const std::string& file) {
        return std::filesystem::path(file).replace_extension(".qz").string();
    }

    // A text cloud and the bundle made from it are one input, so that the list, and with it every
    // shard's slice, stays the same while bundles appear beside the text clouds.
    static std::list<std::string> oneInputPerCloud(const std::list<std::string>& files) {
        std::set<std::string> made;
        for (const std::string& file : files)
            if (!isBundle(file)) made.insert(bundleBeside(file));
        std::list<std::string> inputs;
        for (const std::string& file : files)
            if (!made.count(file)) inputs.push_back(file);
        return inputs;
    }

    // A text cloud whose bundle file exists already is represented by it, so that a rerun of a
    // batch skips what is done; --ignore-success reads the text again.
    std::string sourceFor(const std::string& file) const {
        if (IgnoreSuccess || !Options.Output.empty() || isBundle(file)) return file;
        const std::string bundle = bundleBeside(file);
        return std::filesystem::exists(bundle) ? bundle : file;
    }

    // Bundles are extended in place (the library's default output name); text clouds get a
    // bundle file of their own beside them.
    std::string outputFor(const std::string& source) const {
        if (!Options.Output.empty()) return Options.Output;
        return isBundle(source) ? "out.qz" : bundleBeside(source);
    }

    // "hill.csv -> hill.qz", or the bundle's name alone when it is extended in place.
    std::string subjectFor(const std::string& file, const std::string& source) const {
        const std::string written = OutFile == "out.qz" && isBundle(source) ? source : OutFile;
        return written == file ? file : file + " -> " + written;
    }

    void convertOne(const std::string& file) {
        const std::string source = sourceFor(file);
        OutFile = outputFor(source);
        Added.clear();
        const bool converted = convertSource(source);
        Tools::reportInput(subjectFor(file, source), converted ? Added : Tools::Outcomes(),
                           converted ? "nothing to do" : "not converted, see the errors below");
    }

    bool convertSource(const std::string& source) {
        if (!Tools::loadSingleInput(*this, source, ReadPointCloud)) {
            Tools::discardBundle(*this);
            return false;
        }
        if (!myBundle || !myBundle->isBound()) {
            ErrorMessages.push_back("Cannot open the output file " + OutFile);
            if (myBundle) Tools::addReason(*this, myBundle->lastError());
            Tools::discardBundle(*this);
            return false;
        }
        if (addHeightToGrids(source)) return Tools::saveAndRelease(*this);
        Tools::discardBundle(*this);
        return false;
    }

    bool addHeightToGrids(const std::string& file) {
        for (const auto& [time, slice] : myBundle->slices()) {
            for (const auto& [name, grid] : slice->grids()) {
                if (!UseThisGrid(name) || getSuccessAttributeOfGrid(*grid)) continue;
                if (!addHeight(*grid, file)) return false;
            }
        }
        return true;
    }

    bool addHeight(Plexa::Grid& grid, const std::string& file) {
        const Plexa::Field* positions = grid.findField("Positions");
        const auto* points =
            positions ? dynamic_cast<const Plexa::MemArray<double>*>(positions->Data.rawptr())
                      : nullptr;
        if (!points || points->components() != 3) {
            ErrorMessages.push_back("Grid " + grid.name() + " in " + file +
                                    " has no 3-component double field Positions");
            return false;
        }
        grid.addField("Height", heightAboveLowest(*points));
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
    Tools::Outcomes Added; // of the input at hand
};

void defineOptions(CLI::App& app, Settings& settings) {
    app.add_option("inputs", settings.Inputs,
                   "Point clouds (.csv with a header, .xyz) or bundle files (.qz); folders "
                   "(with a trailing '/') and patterns are expanded")
        ->required();
    app.add_option("-o,--output", settings.Output,
                   "Output bundle file, for a single input only (default: a text cloud becomes "
                   "<name>.qz beside it, a bundle file is extended in place)");
    app.add_option("-f,--fields", settings.Fields,
                   "Only these fields are written, comma separated (default: all)")
        ->delimiter(',');
    app.add_option("-g,--grid", settings.Grid, "Process only the grid of this name");
    app.add_flag("--ignore-success", settings.IgnoreSuccess,
                 "Redo grids that already carry this converter's success mark");
    Tools::addBatchOptions(app, settings);
}

} // namespace

int main(int argc, char** argv) {
    return Tools::runProgram<PointCloudConverter, Settings>(
        argc, argv,
        "Adds the field Height (elevation of each point above the lowest point of its "
        "cloud) to point clouds and writes them as bundle files.",
        defineOptions);
}

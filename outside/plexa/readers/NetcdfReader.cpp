// netCDF files (classic, 64-bit offset and netCDF-4): the time dimension becomes the slices, every
// variable over 1 to 3 other dimensions a field of the structured grid those dimensions make, one
// grid per group and dimension set, named after its dimensions joined with '_' below the group's
// path; text, scalar, grid-mapping and time-series variables become grid attributes.
#include "outside/plexa/readers/Readers.hpp"

#include "outside/plexa/readers/NetcdfPlan.hpp"

#include <cstdint>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace Plexa::detail {

namespace {

using namespace netcdf;

using Attributes = std::vector<std::pair<std::string, ChunkPtr>>;

// ---------------------------------------------------------------------------------------------
// Variables kept as grid attributes

// Each attribute of the variable as a grid attribute "<variable>:<attribute>".
void addVariableAttributes(const Variable& variable, Attributes& into) {
    int count = 0;
    ncCheck(nc_inq_varnatts(variable.Group, variable.Id, &count),
            "cannot count the attributes of " + variable.quoted());
    for (int i = 0; i < count; ++i) {
        char name[NC_MAX_NAME + 1] = {};
        ncCheck(nc_inq_attname(variable.Group, variable.Id, i, name),
                "cannot read an attribute's name");
        const std::string key = variable.fullName() + ":" + name;
        if (std::vector<double> numbers = attributeAs(variable, storedType(variable), name);
            !numbers.empty())
            into.emplace_back(key, numberChunk(numbers));
        else if (std::string text = attributeText(variable, name); !text.empty())
            into.emplace_back(key, textChunk(text));
    }
}

// A grid mapping's attributes describe the grid; its value means nothing. Other variables keep
// their values under their names (texts, or numbers unpacked) and their attributes beside them.
Attributes variableAttributes(const Header& header, const Variable& variable) {
    Attributes attributes;
    if (!attributeShape(variable.Group, variable.Id, "grid_mapping_name")) {
        if (isText(variable.Type))
            attributes.emplace_back(variable.fullName(), textsChunk(readTexts(header, variable)));
        else
            attributes.emplace_back(
                variable.fullName(),
                numberChunk(readDoubles(header, variable, writtenDecoding(variable))));
    }
    addVariableAttributes(variable, attributes);
    return attributes;
}

// The attributes every grid gets, and those of each grid mapping for the grids that name it; a
// grid mapping that no grid names is kept on every grid.
struct KeptAttributes {
    Attributes Common;
    std::map<const Variable*, Attributes> Mappings;
};

KeptAttributes keptAttributes(const Header& header, const Plan& plan) {
    KeptAttributes kept;
    std::set<const Variable*> named;
    for (const auto& [key, grid] : plan.Grids)
        named.insert(grid.Mappings.begin(), grid.Mappings.end());
    for (const Variable* variable : named)
        addVariableAttributes(*variable, kept.Mappings[variable]);
    for (const Variable* variable : plan.Series)
        addVariableAttributes(*variable, kept.Common);
    for (const Variable* variable : plan.AsAttributes)
        if (!named.count(variable))
            for (auto& attribute : variableAttributes(header, *variable))
                kept.Common.push_back(std::move(attribute));
    return kept;
}

// ---------------------------------------------------------------------------------------------
// Reading the grids

// One time step of the variable as a whole array of the grid's nodes.
MemPtr readStep(const FieldSource& source, const Header& header, std::size_t step,
                std::size_t nodes, std::vector<unsigned char>& buffer) {
    const Variable& variable = *source.Source;
    std::vector<std::size_t> start(variable.Dimensions.size(), 0), count;
    for (int id : variable.Dimensions)
        count.push_back(header.Dimensions[static_cast<std::size_t>(id)].Length);
    if (source.OverTime) {
        start[0] = step;
        count[0] = 1;
    }
    MemPtr data = makeUninitializedArray(fieldType(source.Decode), nodes, 1);
    if (source.Decode.Packed)
        readPacked(variable, source.Decode, start, count, nodes,
                   static_cast<double*>(data->rawData()), buffer);
    else
        readPlain(variable, source.Decode, start, count, nodes, data->rawData());
    return data;
}

// A time step the read takes: its index along the time dimension and its time.
struct Step {
    std::size_t Index = 0;
    double Time = 0;
};

// Fields over time get one array per step; the others one array that every step shares.
void readGrid(const Header& header, const GridPlan& plan, const std::vector<Step>& steps,
              const Attributes& attributes, const std::vector<Attributes>& stepAttributes,
              Bundle& into) {
    const std::size_t nodes = plan.Layout.nodeCount();
    std::vector<unsigned char> buffer;
    std::map<std::string, MemPtr> constant;
    for (std::size_t taken = 0; taken < steps.size(); ++taken) {
        GridPtr grid = into.addSlice(steps[taken].Time)->addGrid(plan.Name);
        std::string error;
        if (!grid->setTopology(plan.Layout, error)) throw Failure(error);
        for (const FieldSource& source : plan.Fields) {
            MemPtr& shared = constant[source.Name];
            MemPtr data = source.OverTime || !shared
                              ? readStep(source, header, steps[taken].Index, nodes, buffer)
                              : shared;
            if (!source.OverTime) shared = data;
            Field& field = grid->addField(source.Name, data);
            field.Attributes = source.Description;
            field.Packed = source.Decode.packing();
        }
        for (const auto& [key, value] : attributes)
            grid->setAttribute(key, value);
        for (const auto& [key, value] : stepAttributes[taken])
            grid->setAttribute(key, value);
    }
}

// The value of each variable over time alone at each step.
std::vector<Attributes> seriesAttributes(const Header& header, const Plan& plan,
                                         const std::vector<Step>& steps) {
    std::vector<Attributes> attributes(steps.size());
    for (const Variable* variable : plan.Series) {
        const std::vector<double> values =
            readDoubles(header, *variable, writtenDecoding(*variable));
        for (std::size_t taken = 0; taken < steps.size(); ++taken)
            attributes[taken].emplace_back(variable->fullName(),
                                           numberChunk({values.at(steps[taken].Index)}));
    }
    return attributes;
}

// The reader's own notes: what was left out, and the time line's dimension, units and calendar.
Attributes gridNotes(const Header& header, int timeDimension, const Plan& plan) {
    Attributes notes;
    const auto note = [&notes](const char* key, const std::string& text) {
        if (!text.empty()) notes.emplace_back(key, textChunk(text));
    };
    std::vector<std::string> said;
    if (!plan.LeftOut.empty()) said.push_back("left out: " + joined(plan.LeftOut, ", "));
    if (!plan.Renamed.empty()) said.push_back("renamed: " + joined(plan.Renamed, ", "));
    note("NetcdfNote", joined(said, "; "));
    if (timeDimension < 0) return notes;
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    note("NetcdfTimeDimension", time.Name);
    if (time.CoordinateVariable >= 0) {
        note("NetcdfTimeUnits", attributeText(coordinateOf(header, time), "units"));
        note("NetcdfTimeCalendar", attributeText(coordinateOf(header, time), "calendar"));
    }
    return notes;
}

std::string seriesNames(const Plan& plan) {
    std::vector<std::string> names;
    for (const Variable* variable : plan.Series)
        names.push_back(variable->fullName());
    return joined(names, ", ");
}

// libnetcdf keeps global state of its own without locks.
std::mutex LibraryLock;

// A file opened and checked, with the plan of what a read of it makes under the options: what a
// read and a description of its time steps share.
class PlannedFile {
public:
    PlannedFile(const std::string& name, const ReadOptions& options)
        : Lock(LibraryLock), File(checkedName(name)), Content(readHeader(File.id())) {
        int format = 0;
        ncCheck(nc_inq_format(File.id(), &format), "cannot read the file's format");
        const bool classic = format != NC_FORMAT_NETCDF4 && format != NC_FORMAT_NETCDF4_CLASSIC;
        if (classic) {
            refuseTruncated(File.id(), format, name, Content);
            refuseValuesPastTheEnd(Content, Begins, std::filesystem::file_size(name));
        }
        TimeDimension = findTimeDimension(Content);
        Grids = planGrids(Content, TimeDimension, options);
        if (Grids.Grids.empty())
            throw Failure("the file holds no variable over 1 to 3 dimensions besides time" +
                          (Grids.Series.empty() ? std::string()
                                                : "; over time alone: " + seriesNames(Grids)) +
                          (Grids.LeftOut.empty() ? std::string()
                                                 : "; left out: " + joined(Grids.LeftOut, ", ")));
        refuseUnbackedClaims(name, classic, Content, TimeDimension,
                             variablesRead(Content, Grids, TimeDimension));
        for (auto& [key, grid] : Grids.Grids)
            grid.Layout = topologyOf(Content, grid);
        // after the layouts, which refuse empty axes: a classic file then holds a value per step
        Times = TimeDimension < 0 ? std::vector<double>{options.Time}
                                  : readTimes(Content, TimeDimension);
        nameGrids(Grids, options.GridName);
    }

    // The steps at the selected times, all when none is selected.
    std::vector<Step> steps(const std::vector<double>& selected) const {
        const std::set<double> wanted(selected.begin(), selected.end());
        std::vector<Step> steps;
        for (std::size_t index = 0; index < Times.size(); ++index)
            if (wanted.empty() || wanted.count(Times[index]))
                steps.push_back({index, Times[index]});
        return steps;
    }

    // The bytes of the arrays one step of every grid holds.
    std::uint64_t stepBytes() const {
        std::uint64_t bytes = 0;
        for (const auto& [key, grid] : Grids.Grids)
            for (const FieldSource& field : grid.Fields)
                bytes += grid.Layout.nodeCount() *
                         storedSize(field.Decode.Packed ? NC_DOUBLE : field.Decode.Stored);
        return bytes;
    }

    void read(const ReadOptions& options, Bundle& into) const {
        const std::vector<Step> taken = steps(options.Times);
        const KeptAttributes kept = keptAttributes(Content, Grids);
        const Attributes notes = gridNotes(Content, TimeDimension, Grids);
        const std::vector<Attributes> stepAttributes = seriesAttributes(Content, Grids, taken);
        for (const auto& [key, grid] : Grids.Grids) {
            Attributes attributes = kept.Common;
            for (const Variable* mapping : grid.Mappings) {
                const Attributes& own = kept.Mappings.at(mapping);
                attributes.insert(attributes.end(), own.begin(), own.end());
            }
            attributes.insert(attributes.end(), notes.begin(), notes.end());
            readGrid(Content, grid, taken, attributes, stepAttributes, into);
        }
    }

private:
    // The classic header is walked before libnetcdf opens the file.
    const std::string& checkedName(const std::string& name) {
        Begins = classicValueBegins(name);
        return name;
    }

    std::vector<std::uint64_t> Begins;
    std::lock_guard<std::mutex> Lock;
    NcFile File;
    Header Content;
    int TimeDimension = -1;
    Plan Grids;
    std::vector<double> Times;
};

void refuseUnreadable(const std::string& file) {
    if (std::string problem = fileProblem(file); !problem.empty()) throw Failure(problem);
}

class NetcdfReader final : public Reader {
public:
    void read(const std::string& file, const ReadOptions& options, Bundle& staging) const override {
        refuseUnreadable(file);
        PlannedFile(file, options).read(options, staging);
    }
};

} // namespace

const Reader& netcdfReader() {
    static const NetcdfReader reader;
    return reader;
}

} // namespace Plexa::detail

namespace Plexa {

bool readTimeSteps(const std::string& file, const ReadOptions& options, TimeSteps& steps,
                   std::string& error) {
    using namespace detail;
    FailureText failure;
    const bool read = attempt(file, failure, [&] {
        refuseUnreadable(file);
        const PlannedFile planned(file, options);
        steps.Times.clear();
        for (const Step& step : planned.steps(options.Times))
            steps.Times.push_back(step.Time);
        steps.StepBytes = planned.stepBytes();
    });
    if (!read) error = failure.Cause;
    return read;
}

} // namespace Plexa

// What a read of a netCDF file makes of its variables: the time dimension, and grids, fields, axes
// and grid attributes, named and renamed as the bundle needs.
#include "outside/plexa/readers/NetcdfPlan.hpp"

#include <algorithm>
#include <cctype>
#include <optional>
#include <set>
#include <sstream>

namespace Plexa::detail::netcdf {

// ---------------------------------------------------------------------------------------------
// The time dimension

namespace {

using std::to_string;

std::string lowerCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// CF marks a time coordinate with axis "T", standard name "time" or units "<unit> since <date>".
bool isMarkedTime(const Variable& variable) {
    const std::string units = lowerCase(attributeText(variable, "units"));
    return attributeText(variable, "axis") == "T" ||
           attributeText(variable, "standard_name") == "time" ||
           units.find(" since ") != std::string::npos;
}

// CF marks a space coordinate with axis X, Y or Z, a spatial standard name, the units of
// latitude or longitude, or the direction "positive" of a vertical axis.
bool isMarkedSpace(const Variable& variable) {
    static const std::set<std::string> spatialNames = {"latitude",
                                                       "longitude",
                                                       "grid_latitude",
                                                       "grid_longitude",
                                                       "altitude",
                                                       "height",
                                                       "depth",
                                                       "projection_x_coordinate",
                                                       "projection_y_coordinate",
                                                       "projection_x_angular_coordinate",
                                                       "projection_y_angular_coordinate"};
    static const std::set<std::string> spatialUnits = {
        "degrees_north", "degree_north", "degrees_n", "degree_n",
        "degrees_east",  "degree_east",  "degrees_e", "degree_e"};
    const std::string axis = attributeText(variable, "axis");
    return axis == "X" || axis == "Y" || axis == "Z" ||
           spatialNames.count(attributeText(variable, "standard_name")) ||
           spatialUnits.count(lowerCase(attributeText(variable, "units"))) ||
           attributeShape(variable.Group, variable.Id, "positive").has_value();
}

bool isMarkedSpace(const Header& header, int dimension) {
    const Dimension& candidate = header.Dimensions[static_cast<std::size_t>(dimension)];
    return candidate.CoordinateVariable >= 0 && isMarkedSpace(coordinateOf(header, candidate));
}

// The time dimension's identifier: the one CF marks; else, unless CF marks it as space, the only
// unlimited one, or one named time, month or step (files that predate the marks); -1 when there
// is none.
int timeCandidate(const Header& header) {
    std::vector<int> marked, named;
    for (std::size_t id = 0; id < header.Dimensions.size(); ++id) {
        const Dimension& dimension = header.Dimensions[id];
        if (dimension.CoordinateVariable >= 0 && isMarkedTime(coordinateOf(header, dimension)))
            marked.push_back(static_cast<int>(id));
        const std::string name = lowerCase(dimension.Name);
        if (name == "time" || name == "month" || name == "step")
            named.push_back(static_cast<int>(id));
    }
    if (marked.size() > 1)
        throw Failure("the dimensions " + inQuotes(header.Dimensions[marked[0]].Name) + " and " +
                      inQuotes(header.Dimensions[marked[1]].Name) +
                      " are both marked as time; a bundle has one time line");
    if (marked.size() == 1) return marked[0];
    if (header.Unlimited.size() == 1) named.insert(named.begin(), header.Unlimited[0]);
    for (int id : named)
        if (!isMarkedSpace(header, id)) return id;
    return -1;
}

bool holdsValuesOver(const Header& header, int dimension) {
    const int coordinate =
        header.Dimensions[static_cast<std::size_t>(dimension)].CoordinateVariable;
    for (std::size_t index = 0; index < header.Variables.size(); ++index) {
        const std::vector<int>& dimensions = header.Variables[index].Dimensions;
        if (static_cast<int>(index) != coordinate &&
            std::count(dimensions.begin(), dimensions.end(), dimension))
            return true;
    }
    return false;
}

} // namespace

int findTimeDimension(const Header& header) {
    const int candidate = timeCandidate(header);
    return candidate >= 0 && holdsValuesOver(header, candidate) ? candidate : -1;
}

std::vector<double> readTimes(const Header& header, int timeDimension) {
    const Dimension& time = header.Dimensions[static_cast<std::size_t>(timeDimension)];
    if (time.Length == 0)
        throw Failure("the time dimension " + inQuotes(time.Name) + " has no steps");
    std::vector<double> times(time.Length);
    if (time.CoordinateVariable < 0) {
        for (std::size_t step = 0; step < times.size(); ++step)
            times[step] = static_cast<double>(step);
        return times;
    }
    times = readCoordinates(header, coordinateOf(header, time));
    for (std::size_t step = 1; step < times.size(); ++step) {
        if (!(times[step] > times[step - 1]))
            throw Failure("the time coordinate " + inQuotes(time.Name) +
                          " is not strictly increasing (step " + to_string(step) +
                          " follows step " + to_string(step - 1) + " with " +
                          (times[step] == times[step - 1] ? "the same" : "a smaller") +
                          " value); each time step must have a time of its own");
    }
    return times;
}

// ---------------------------------------------------------------------------------------------
// Grids and fields

namespace {

bool isCoordinate(const Header& header, const Variable& variable) {
    if (variable.Dimensions.size() != 1) return false;
    const Dimension& dimension =
        header.Dimensions[static_cast<std::size_t>(variable.Dimensions[0])];
    return dimension.CoordinateVariable >= 0 && &coordinateOf(header, dimension) == &variable;
}

void refuseType(const Variable& variable) {
    if (!isNumber(variable.Type))
        throw Failure("the variable " + variable.quoted() +
                      " is of a type of the file's own (compound, enum, opaque or "
                      "variable length); only numbers can be converted");
}

std::vector<int> withoutTime(const Variable& variable, int timeDimension) {
    std::vector<int> dimensions = variable.Dimensions;
    dimensions.erase(std::remove(dimensions.begin(), dimensions.end(), timeDimension),
                     dimensions.end());
    return dimensions;
}

// The variable's dimensions besides time; refuses a dimension twice, time anywhere but first and
// more than 3 others.
std::vector<int> gridDimensions(const Header& header, const Variable& variable, int timeDimension) {
    const std::vector<int>& all = variable.Dimensions;
    for (auto id = all.begin(); id != all.end(); ++id)
        if (std::find(all.begin(), id, *id) != id)
            throw Failure("the variable " + variable.quoted() + " lies over the dimension " +
                          inQuotes(header.Dimensions[static_cast<std::size_t>(*id)].Name) +
                          " twice; each axis of a grid has a dimension of its own");
    const auto time =
        std::find(variable.Dimensions.begin(), variable.Dimensions.end(), timeDimension);
    if (time != variable.Dimensions.end() && time != variable.Dimensions.begin())
        throw Failure("the variable " + variable.quoted() + " has the time dimension " +
                      inQuotes(header.Dimensions[static_cast<std::size_t>(timeDimension)].Name) +
                      " in place " + to_string(time - variable.Dimensions.begin() + 1) +
                      "; it is read only as the first dimension");
    std::vector<int> dimensions = withoutTime(variable, timeDimension);
    if (dimensions.size() > 3)
        throw Failure("the variable " + variable.quoted() + " has " + to_string(dimensions.size()) +
                      " dimensions besides time; a grid has 1 to 3 axes");
    return dimensions;
}

// A grid is named after its dimensions, below the path of its variables' group.
std::string gridName(const Header& header, const Variable& variable,
                     const std::vector<int>& dimensions) {
    std::vector<std::string> names;
    for (int id : dimensions)
        names.push_back(header.Dimensions[static_cast<std::size_t>(id)].Name);
    return variable.Path + joined(names, "_");
}

} // namespace

std::string joined(const std::vector<std::string>& names, const char* separator) {
    std::string text;
    for (const std::string& name : names)
        text += (text.empty() ? "" : separator) + name;
    return text;
}

Topology topologyOf(const Header& header, const GridPlan& grid) {
    Topology topology;
    for (int id : grid.Dimensions) {
        const Dimension& dimension = header.Dimensions[static_cast<std::size_t>(id)];
        Axis axis{dimension.Name, dimension.Length, 0, 1, {}};
        if (dimension.CoordinateVariable >= 0) {
            const Variable& coordinate = coordinateOf(header, dimension);
            refuseType(coordinate);
            axis.Coordinates = readCoordinates(header, coordinate);
        }
        topology.Axes.push_back(std::move(axis));
    }
    if (std::string problem = topology.problem(); !problem.empty())
        throw Failure("the grid " + inQuotes(grid.Name) + ": " + problem);
    return topology;
}

ChunkPtr textsChunk(const std::vector<std::string>& texts) {
    auto* chunk = new Quorix::Chunk<std::string>;
    chunk->assign(texts.begin(), texts.end());
    chunk->recount();
    return ChunkPtr(chunk);
}

ChunkPtr textChunk(const std::string& text) {
    return textsChunk({text});
}

ChunkPtr numberChunk(const std::vector<double>& values) {
    auto* chunk = new Quorix::Chunk<double>;
    chunk->assign(values.begin(), values.end());
    chunk->recount();
    return ChunkPtr(chunk);
}

namespace {

// Units and names as they are; values that stand for none where the field keeps them, and the
// valid range in the field's own units: integer limits of a packed variable are packed too.
void describeField(const FieldSource& source, SaveableAttributes& attributes) {
    const Variable& variable = *source.Source;
    for (const char* name : {"units", "long_name", "standard_name", "grid_mapping"})
        if (std::string text = attributeText(variable, name); !text.empty())
            attributes.setAttribute(name, textChunk(text));
    if (!source.Decode.makesNan())
        for (const char* name : {"_FillValue", "missing_value"})
            if (std::vector<double> values = attributeAs(variable, source.Decode.Stored, name);
                !values.empty())
                attributes.setAttribute(name, numberChunk(values));
    for (const char* name : {"valid_min", "valid_max", "valid_range"}) {
        std::vector<double> values = attributeAs(variable, source.Decode.Stored, name);
        if (values.empty()) continue;
        if (source.Decode.Packed &&
            !isFloating(attributeShape(variable.Group, variable.Id, name)->Type))
            for (double& value : values)
                value = value * source.Decode.Scale + source.Decode.Offset;
        attributes.setAttribute(name, numberChunk(values));
    }
}

// The --fields or --grids selection: it applies when it names something of the file; otherwise
// everything is read, so that the program can say what the file holds.
class Selection {
public:
    Selection(const std::vector<std::string>& names, const std::vector<std::string>& held)
        : Names(names.begin(), names.end()),
          Applies(std::any_of(held.begin(), held.end(),
                              [this](const std::string& name) { return Names.count(name); })) {}

    bool takes(const std::string& name) const { return !Applies || Names.count(name); }

private:
    std::set<std::string> Names;
    bool Applies;
};

// The grid attributes this reader writes; a variable of such a name cannot be kept under it.
const std::set<std::string>& ownKeys() {
    static const std::set<std::string> keys = {"NetcdfNote", "NetcdfTimeDimension",
                                               "NetcdfTimeUnits", "NetcdfTimeCalendar"};
    return keys;
}

bool becomesAttributes(const Variable& variable) {
    return isText(variable.Type) || (isNumber(variable.Type) && variable.Dimensions.empty());
}

// The variables that may become fields, as --fields and --grids (by the names the file gives;
// a grid renamed by --grid-name is left to the program) select them, before any is refused. A
// selection that selects nothing selects everything, so that the program names what the file
// holds.
std::vector<const Variable*> selectedFields(const Header& header, int timeDimension,
                                            const ReadOptions& options) {
    std::vector<const Variable*> candidates;
    std::vector<std::string> fieldNames, gridNames;
    for (const Variable& variable : header.Variables) {
        if (isCoordinate(header, variable) || becomesAttributes(variable)) continue;
        candidates.push_back(&variable);
        fieldNames.push_back(variable.Name);
        gridNames.push_back(gridName(header, variable, withoutTime(variable, timeDimension)));
    }
    const Selection fields(options.Netcdf.Fields, fieldNames);
    const Selection grids(
        options.GridName.empty() ? options.Netcdf.Grids : std::vector<std::string>(), gridNames);
    std::vector<const Variable*> selected;
    for (std::size_t i = 0; i < candidates.size(); ++i)
        if (fields.takes(fieldNames[i]) && grids.takes(gridNames[i]))
            selected.push_back(candidates[i]);
    return selected.empty() ? candidates : selected;
}

// The dimensions of the grid the variable gives; a variable of a group that cannot give one is
// left out with the reason, one of the root group refuses the file.
std::optional<std::vector<int>> fieldDimensions(const Header& header, const Variable& variable,
                                                int timeDimension, Plan& plan) {
    try {
        refuseType(variable);
        return gridDimensions(header, variable, timeDimension);
    } catch (const Failure& refusal) {
        if (variable.Path.empty()) throw;
        plan.LeftOut.emplace_back(refusal.what());
    }
    return std::nullopt;
}

void addFields(const Header& header, int timeDimension, const ReadOptions& options, Plan& plan) {
    for (const Variable* variable : selectedFields(header, timeDimension, options)) {
        const std::optional<std::vector<int>> kept =
            fieldDimensions(header, *variable, timeDimension, plan);
        if (!kept) continue;
        const std::vector<int>& dimensions = *kept;
        const bool overTime = dimensions.size() < variable->Dimensions.size();
        if (dimensions.empty()) {
            plan.Series.push_back(variable);
            continue;
        }
        GridPlan& grid = plan.Grids[{variable->Path, dimensions}];
        grid.Name = gridName(header, *variable, dimensions);
        grid.Dimensions = dimensions;
        FieldSource source{variable, variable->Name, overTime, decodingOf(*variable), {}};
        describeField(source, source.Description);
        grid.Fields.push_back(std::move(source));
    }
}

// "a/" above "a/b/", "" above "a/".
std::string parentPath(const std::string& path) {
    const std::size_t slash = path.find_last_of('/', path.size() - 2);
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// The variable that a grid_mapping attribute names, searched as CF does: an absolute path, a
// path below the naming variable's group, else the name in that group or the nearest above.
const Variable* findVariable(const Header& header, const Variable& from, const std::string& name) {
    const auto named = [&](const std::string& fullName) -> const Variable* {
        for (const Variable& variable : header.Variables)
            if (variable.fullName() == fullName) return &variable;
        return nullptr;
    };
    if (name.rfind('/', 0) == 0) return named(name.substr(1));
    if (name.find('/') != std::string::npos) return named(from.Path + name);
    for (std::string path = from.Path;; path = parentPath(path)) {
        if (const Variable* found = named(path + name)) return found;
        if (path.empty()) return nullptr;
    }
}

// The names in a grid_mapping attribute: "crs", or "crs: x y crs2: lat lon" (CF 1.7 and later).
std::vector<std::string> mappingNames(const std::string& text) {
    std::vector<std::string> words, names;
    std::istringstream in(text);
    for (std::string word; in >> word;)
        words.push_back(word);
    for (const std::string& word : words)
        if (word.size() > 1 && word.back() == ':') names.push_back(word.substr(0, word.size() - 1));
    if (names.empty() && words.size() == 1) names = words;
    return names;
}

void findMappings(const Header& header, Plan& plan) {
    for (auto& [key, grid] : plan.Grids)
        for (const FieldSource& field : grid.Fields)
            for (const std::string& name :
                 mappingNames(attributeText(*field.Source, "grid_mapping"))) {
                const Variable* mapping = findVariable(header, *field.Source, name);
                if (!mapping)
                    plan.LeftOut.push_back("the grid mapping " + inQuotes(name) + " that " +
                                           field.Source->quoted() + " names (not in the file)");
                else if (std::find(grid.Mappings.begin(), grid.Mappings.end(), mapping) ==
                         grid.Mappings.end())
                    grid.Mappings.push_back(mapping);
            }
}

// A variable named like a dimension but not its coordinate (x(y, x)) would share its name with
// the grid's axis, which the bundle stores under that name: the field takes a free name.
void renameAxisClashes(const Header& header, Plan& plan) {
    for (auto& [key, grid] : plan.Grids) {
        std::set<std::string> taken;
        for (int id : grid.Dimensions)
            taken.insert(header.Dimensions[static_cast<std::size_t>(id)].Name);
        const std::set<std::string> axes = taken;
        for (const FieldSource& field : grid.Fields)
            taken.insert(field.Name);
        for (FieldSource& field : grid.Fields) {
            if (!axes.count(field.Name)) continue;
            std::string name = field.Name + "_variable";
            while (taken.count(name))
                name += '_';
            taken.insert(name);
            plan.Renamed.push_back("the variable " + field.Source->quoted() + " to " +
                                   inQuotes(name) + ", the name of an axis of its grid");
            field.Name = name;
        }
    }
}

} // namespace

Plan planGrids(const Header& header, int timeDimension, const ReadOptions& options) {
    Plan plan;
    addFields(header, timeDimension, options, plan);
    renameAxisClashes(header, plan);
    findMappings(header, plan);
    for (const Variable& variable : header.Variables)
        if (becomesAttributes(variable)) plan.AsAttributes.push_back(&variable);
    for (auto* kept : {&plan.AsAttributes, &plan.Series}) {
        const auto taken = std::stable_partition(kept->begin(), kept->end(), [](const Variable* v) {
            return !ownKeys().count(v->fullName());
        });
        for (auto v = taken; v != kept->end(); ++v)
            plan.LeftOut.push_back((*v)->fullName() + " (named as an attribute of this reader)");
        kept->erase(taken, kept->end());
    }
    return plan;
}

void nameGrids(Plan& plan, const std::string& gridName) {
    std::map<std::string, int> uses;
    for (const auto& [key, grid] : plan.Grids)
        if (++uses[grid.Name] > 1)
            throw Failure("two sets of dimensions make the grid name " + inQuotes(grid.Name));
    if (gridName.empty()) return;
    if (plan.Grids.size() > 1)
        throw Failure("the file makes " + to_string(plan.Grids.size()) +
                      " grids, which one grid name cannot name");
    plan.Grids.begin()->second.Name = gridName;
}

std::vector<const Variable*> variablesRead(const Header& header, const Plan& plan,
                                           int timeDimension) {
    std::vector<const Variable*> read = plan.AsAttributes;
    read.insert(read.end(), plan.Series.begin(), plan.Series.end());
    std::vector<int> dimensions;
    if (timeDimension >= 0) dimensions.push_back(timeDimension);
    for (const auto& [key, grid] : plan.Grids) {
        for (const FieldSource& field : grid.Fields)
            read.push_back(field.Source);
        dimensions.insert(dimensions.end(), grid.Dimensions.begin(), grid.Dimensions.end());
    }
    for (int id : dimensions) {
        const Dimension& dimension = header.Dimensions[static_cast<std::size_t>(id)];
        if (dimension.CoordinateVariable >= 0) read.push_back(&coordinateOf(header, dimension));
    }
    return read;
}

} // namespace Plexa::detail::netcdf

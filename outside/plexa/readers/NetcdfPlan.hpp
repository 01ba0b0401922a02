// What a read of a netCDF file makes of its variables: the time dimension and its times, grids by
// group and dimension set with their fields and axes, the variables kept as grid attributes, and
// what is left out or renamed on the way. Internal to Plexa.
#pragma once

#include "outside/plexa/readers/NetcdfValues.hpp"

#include "outside/Plexa.hpp"

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace Plexa::detail::netcdf {

// The time dimension's identifier, -1 when there is none. A time dimension over which no variable
// but its coordinate lies changes nothing over time: it counts as none, and its length (which no
// value backs) makes no steps.
int findTimeDimension(const Header& header);
// The slice times: the time coordinate's values (its indices when it has none), strictly
// increasing, since two steps at one time would become one slice.
std::vector<double> readTimes(const Header& header, int timeDimension);

using ChunkPtr = Quorix::StrongPtr<Quorix::ChunkBase>;

ChunkPtr textsChunk(const std::vector<std::string>& texts);
ChunkPtr textChunk(const std::string& text);
ChunkPtr numberChunk(const std::vector<double>& values);
std::string joined(const std::vector<std::string>& names, const char* separator);

// A variable that becomes a field, and where its values go.
struct FieldSource {
    const Variable* Source = nullptr;
    std::string Name; // the variable's own, unless an axis of its grid holds that name
    bool OverTime = false;
    Decoding Decode;
    SaveableAttributes Description; // units, names, ...: one set that every step shares
};

struct GridPlan {
    std::string Name;
    std::vector<int> Dimensions;
    Topology Layout;
    std::vector<FieldSource> Fields;
    std::vector<const Variable*> Mappings; // the CF grid mappings its fields name
};

// What the file makes: grids by group and dimension set, the variables that become grid
// attributes, and the variables left out with the reason.
struct Plan {
    std::map<std::pair<std::string, std::vector<int>>, GridPlan> Grids;
    std::vector<const Variable*> AsAttributes; // text, scalars and grid mappings
    std::vector<const Variable*> Series;       // over time alone: one value per step
    std::vector<std::string> LeftOut;
    std::vector<std::string> Renamed;
};

Plan planGrids(const Header& header, int timeDimension, const ReadOptions& options);
// Refuses two grids of one name, and gives the only grid `gridName` when it is not empty.
void nameGrids(Plan& plan, const std::string& gridName);
// Every variable the plan reads values of, before any is read.
std::vector<const Variable*> variablesRead(const Header& header, const Plan& plan,
                                           int timeDimension);
// The axes of the grid, with the values of their coordinate variables; refuses a grid that cannot
// be one.
Topology topologyOf(const Header& header, const GridPlan& grid);

} // namespace Plexa::detail::netcdf

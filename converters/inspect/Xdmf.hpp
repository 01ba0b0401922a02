// An XDMF (version 3) description of a bundle file, so visualisation tools open its point clouds:
// a temporal collection of time steps, each grid a Polyvertex cloud over its "Positions".
#pragma once

#include "converters/inspect/Report.hpp"

#include <string>

namespace ConvLib::Inspect {

std::string xdmfText(const Inspection& inspection, const std::string& dataFileName);
// Writes the description; the data file is named relative to the XDMF file's folder.
bool writeXdmf(const Inspection& inspection, const std::string& xmfFile, std::string& error);

} // namespace ConvLib::Inspect

// An XDMF (version 3) description of a bundle file, so visualisation tools open its grids: a
// temporal collection of time steps, each point grid a Polyvertex cloud over its "Positions", each
// structured grid a 3-D uniform or rectilinear mesh (x the last axis), in plain data items that
// every reader takes.
#pragma once

#include "converters/inspect/Report.hpp"

#include <string>

namespace ConvLib::Inspect {

// The file beside the XDMF file that holds the values stored relative to a shift or packed, as
// loaded.
std::string sidecarName(const std::string& xmfFile);
// Writes the description, and the sidecar when a shown field is stored shifted or packed; data
// files are named relative to the XDMF file's folder.
bool writeXdmf(const Inspection& inspection, const std::string& xmfFile, std::string& error);

} // namespace ConvLib::Inspect

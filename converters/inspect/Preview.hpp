// A top view (x, y) of the point clouds of a bundle's first time step, coloured by a field.
#pragma once

#include "outside/Plexa.hpp"

#include <string>

namespace ConvLib::Inspect {

struct PreviewRequest {
    std::string File;
    std::string Field;
    int Width = 800;
    int Height = 600;
};

// Reads "WxH" with positive sides up to 16384; false with a reason otherwise.
bool parseImageSize(const std::string& text, PreviewRequest& request, std::string& error);
// False with a reason when no grid has both "Positions" and the field, or the PNG fails.
bool writePreview(const Plexa::Bundle& bundle, const PreviewRequest& request, std::string& error);

} // namespace ConvLib::Inspect

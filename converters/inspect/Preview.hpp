// A picture of the point clouds of a bundle's first time step, from the top or the side, coloured
// by a field, with a title, the field's caption, axes ticked in the data's coordinates and a colour
// bar; without a cloud of that field, a 2-D slice of the first structured grid that holds it (the
// grid of two axes, or index 0 of the first of three), its last axis across and the one before up,
// each growing rightwards and upwards.
#pragma once

#include "outside/Plexa.hpp"

#include <string>

namespace ConvLib::Inspect {

struct PreviewRequest {
    std::string File;
    std::string Title; // the bundle file's name; the picture shows its last part
    std::string Field; // empty: Height when a cloud has it, else the first field of one value
                       // of a cloud, else of a structured grid
    std::string View = "top"; // or "side"
    int Width = 800;
    int Height = 600;
};

// Reads "WxH" with positive sides up to 16384; false with a reason otherwise.
bool parseImageSize(const std::string& text, PreviewRequest& request, std::string& error);
// False with a reason when no grid has both "Positions" and the field and no structured grid of
// two or three axes holds it, or the PNG fails.
bool writePreview(const Plexa::Bundle& bundle, const PreviewRequest& request, std::string& error);

} // namespace ConvLib::Inspect

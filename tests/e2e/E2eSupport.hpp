// Helpers for the end-to-end tests: one input tree converted once, reading results back.
#pragma once

#include "tests/support/PlexaSupport.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ConvLibTest::E2e {

// The seven inputs in <folder>/in/: the samples hill.csv, plane.xyz and ridge.csv, the generated
// far1..far3.xyz (coordinates with long fractions) and survey.qz, a bundle without Height.
void writeInputTree(const TempDir& dir);

// Writes the text cloud <name>.csv, makes the bundle file <name>.qz from it and removes the text.
void writeBundleFromText(const TempDir& dir, const std::string& name, const std::string& text);

// A copy of the folder whose files keep their modification times, as converters compare them.
void copyTree(const std::string& from, const std::string& to);

// The input tree converted by qz-pointcloud once for all tests of a program; read only.
struct ConvertedTree {
    ConvertedTree();
    TempDir Dir;
    RunResult Conversion;
    std::string operator/(const std::string& name) const { return Dir / ("in/" + name); }
};
const ConvertedTree& convertedTree();

// Every file below the folder with its bytes, and every folder ("/").
std::map<std::string, std::string> snapshot(const std::string& folder);

// Whether CMake found the tool (its find_program result).
bool found(const std::string& tool);

// What python3's json module and xmllint say; true without the tool, so the check is skipped.
bool isValidJson(const std::string& text);
bool isValidXml(const std::string& file);

struct Image {
    unsigned Width = 0;
    unsigned Height = 0;
    std::vector<std::uint8_t> Rgb;
};
bool readPng(const std::string& file, Image& image);

} // namespace ConvLibTest::E2e

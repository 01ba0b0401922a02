// Helpers for the end-to-end tests: one input tree, running the programs, reading results back.
#pragma once

#include "outside/Plexa.hpp"
#include "tests/support/TestSupport.hpp"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace ConvLibTest::E2e {

struct RunResult {
    int Status = -1;
    std::string Out;
    std::string Err;
};

// Runs a program with arguments in a folder (empty: the current one), capturing both streams.
RunResult run(const std::string& program, const std::vector<std::string>& arguments,
              const std::string& folder = "");

// The seven inputs in <folder>/in/: the samples hill.csv, plane.xyz and ridge.csv, the generated
// far1..far3.xyz (coordinates with long fractions) and survey.qz, a bundle without Height.
void writeInputTree(const TempDir& dir);

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

Plexa::BundlePtr loadBundle(const std::string& file);
Plexa::GridPtr firstGrid(const std::string& file, const std::string& name);
// The first text of a text attribute, or "" when there is none.
std::string textAttribute(const Plexa::Grid& grid, const std::string& key);
// How the file stores each field; empty when it cannot be described.
std::vector<Plexa::StoredField> describe(const std::string& file);
const Plexa::StoredField& findStored(const std::vector<Plexa::StoredField>& fields,
                                     const std::string& grid, const std::string& field);

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

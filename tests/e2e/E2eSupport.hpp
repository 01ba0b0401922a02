// Helpers for the end-to-end tests: running the converter programs, reading their results back.
#pragma once

#include "outside/Plexa.hpp"
#include "tests/support/TestSupport.hpp"

#include <cstdint>
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

// Copies sample files from samples/ into the folder (or a subfolder such as "in/"); returns their
// new names.
std::vector<std::string> copySamples(const TempDir& dir, const std::vector<std::string>& names,
                                     const std::string& subfolder = "");

// The bundle in a file, loaded through the data model; empty when it cannot be loaded.
Plexa::BundlePtr loadBundle(const std::string& file);
Plexa::GridPtr firstGrid(const Plexa::BundlePtr& bundle, const std::string& name);
// The first text of a text attribute, or "" when there is none.
std::string textAttribute(const Plexa::Grid& grid, const std::string& key);
const Plexa::StoredField* findStored(const std::vector<Plexa::StoredField>& fields,
                                     const std::string& grid, const std::string& field);

// Whether python3's json module accepts the text; skip the check when python3 is missing.
bool pythonAvailable();
bool isValidJson(const std::string& text);

struct Image {
    unsigned Width = 0;
    unsigned Height = 0;
    std::vector<std::uint8_t> Rgb;
};
bool readPng(const std::string& file, Image& image);

} // namespace ConvLibTest::E2e

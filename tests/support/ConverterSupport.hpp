// The converter and the working folder that the converter library's tests share.
#pragma once

#include "convlib/BasicConverterDefs.hpp"
#include "tests/support/TestSupport.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace ConvLibTest {

using Names = std::vector<std::string>;

// The smallest concrete converter: the base's behaviour and nothing else.
struct TestConverter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

// Runs each test inside a fresh folder, so input names are relative as users give them.
class InFreshFolder : public testing::Test {
protected:
    InFreshFolder() { std::filesystem::current_path(Folder.path()); }
    ~InFreshFolder() override {
        std::error_code ignored;
        std::filesystem::current_path(Previous, ignored);
    }

    TempDir Folder;
    std::filesystem::path Previous = std::filesystem::current_path();
};

} // namespace ConvLibTest

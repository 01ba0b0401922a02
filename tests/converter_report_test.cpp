#include "tests/support/ConverterSupport.hpp"

#include <gtest/gtest.h>

namespace {

using ConvLibTest::TestConverter;

const std::string Frame = "\n########################## \n";
const std::string Lead = ": Parameters... Have In-Files:";
const std::string Tail = "\nHave out file:  \nHave out grid name:  \nHave compression: 0 "
                         "\nSkip calculation if success attribute is set";

TEST(ParameterReport, FullConverterIsKeptAndRepeatable) {
    TestConverter converter;
    converter.ConverterName = "Sample";
    converter.InFiles.reset(new Quorix::StringList{"a.dat", "b.dat"});
    converter.DoThisGrids = {"Mesh"};
    converter.DoThisTime = {2.0, 0.5};
    converter.OutFile = "out.qz";
    converter.OutGridName = "Grid";
    converter.Compression = 5;
    converter.ExternalLinking = true;
    const std::string expected = Frame +
                                 "Sample: Parameters... Have In-Files: a.dat b.dat\n"
                                 "DoThisGrids: Mesh \n"
                                 "DoThisTime: 0.5 2 \n"
                                 "Have out file: out.qz \n"
                                 "Have out grid name: Grid \n"
                                 "Have compression: 5 \n"
                                 "Skip calculation if success attribute is set\n"
                                 "Have external linking \n"
                                 " NO Secondary parameters available" +
                                 Frame;
    EXPECT_EQ(converter.printParameters(), expected);
    EXPECT_EQ(converter.printParameters(), expected);
    EXPECT_EQ(converter.ParameterText, expected);
}

TEST(ParameterReport, PrimaryPartOfEachSetting) {
    struct Case {
        void (*Set)(TestConverter&);
        std::string Expected;
    };
    const Case cases[] = {
        {[](TestConverter&) {}, Lead + Tail},
        {[](TestConverter& c) { c.InFiles.reset(new Quorix::StringList{""}); }, Lead + " " + Tail},
        {[](TestConverter& c) { c.DoThisTime = {-0.0, 1e-4, 0.001, 250.0, 1e20, 1e6}; },
         Lead + "\nDoThisTime: -0 1e-04 0.001 250 1e+06 1e+20 " + Tail},
        {[](TestConverter& c) {
             c.DoThisFields = {"velocity", "Pressure"};
             c.Compression = -1;
             c.IgnoreSuccess = true;
         },
         Lead + "\nDoThisFields: Pressure velocity \nHave out file:  \nHave out grid name:  "
                "\nHave compression: -1 \nIgnore success attribute and redo"},
    };
    for (const Case& c : cases) {
        TestConverter converter;
        c.Set(converter);
        EXPECT_EQ(converter.printPrimary(), c.Expected);
    }
}

TEST(ParameterReport, OverriddenSecondaryIsInsertedAsIs) {
    struct OwnSettings : TestConverter {
        std::string printSecondary() override { return Secondary; }
        std::string Secondary;
    } converter;
    for (const char* secondary : {" level=3", ""}) {
        converter.Secondary = secondary;
        EXPECT_EQ(converter.printParameters(), Frame + Lead + Tail + secondary + Frame);
    }
}

} // namespace

#include "convlib/BasicConverterDefs.hpp"

#include <gtest/gtest.h>

#include <cmath>

namespace {

struct Converter : ConvLib::BasicConverterDefs {
    bool convert() override { return true; }
};

struct OwnSettings : Converter {
    std::string printSecondary() override { return Secondary; }
    std::string Secondary;
};

const std::string Frame = "\n########################## \n";
const std::string Tail = "\nHave out file:  \nHave out grid name:  \nHave compression: 0 "
                         "\nSkip calculation if success attribute is set";

TEST(ParameterReport, FullConverter) {
    Converter converter;
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
    EXPECT_EQ(converter.ParameterText, expected);
    EXPECT_EQ(converter.printParameters(), expected);
}

TEST(ParameterReport, MinimalConverter) {
    Converter converter;
    EXPECT_EQ(converter.printPrimary(), ": Parameters... Have In-Files:" + Tail);
    converter.InFiles.reset(new Quorix::StringList{""});
    EXPECT_EQ(converter.printPrimary(), ": Parameters... Have In-Files: " + Tail);
}

TEST(ParameterReport, FieldsRedoAndNegativeCompression) {
    Converter converter;
    converter.DoThisFields = {"velocity", "Pressure"};
    converter.Compression = -1;
    converter.IgnoreSuccess = true;
    EXPECT_EQ(converter.printPrimary(),
              ": Parameters... Have In-Files:\nDoThisFields: Pressure velocity "
              "\nHave out file:  \nHave out grid name:  \nHave compression: -1 "
              "\nIgnore success attribute and redo");
}

TEST(ParameterReport, TimesInShortestForm) {
    Converter converter;
    converter.DoThisTime = {-0.0, 1e-4, 0.001, 250.0, 1e20, 1e6};
    EXPECT_EQ(converter.printPrimary(),
              ": Parameters... Have In-Files:\nDoThisTime: -0 1e-04 0.001 250 1e+06 1e+20 " + Tail);
}

TEST(ParameterReport, OverriddenSecondaryIsInsertedAsIs) {
    OwnSettings converter;
    converter.Secondary = " level=3";
    EXPECT_EQ(converter.printParameters(),
              Frame + ": Parameters... Have In-Files:" + Tail + " level=3" + Frame);
    converter.Secondary.clear();
    EXPECT_EQ(converter.printParameters(), Frame + ": Parameters... Have In-Files:" + Tail + Frame);
}

} // namespace

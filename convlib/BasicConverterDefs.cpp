#include "convlib/BasicConverterDefs.hpp"
#include "convlib/ElapsedTime.hpp"

#include <charconv>
#include <cmath>
#include <iomanip>
#include <sstream>

namespace ConvLib {

namespace {

const char* const ErrorBannerOpen =
    "\n\n!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!";
const char* const ErrorBannerClose =
    "!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!!\n";
const char* const TimeBannerOpen = "\n\n*******************************************";
const char* const TimeBannerClose = "*******************************************\n";
const char* const FrameLine = "\n########################## \n";

void printErrors(const std::string& converterName, const std::vector<std::string>& messages) {
    if (messages.empty()) return;
    Quorix::Console() << ErrorBannerOpen;
    for (const std::string& message : messages)
        Quorix::Console() << "   \033[31m" << converterName << ": Error! Message: " << message
                          << "\033[0m";
    Quorix::Console() << ErrorBannerClose;
}

void printExecutionTime(const std::string& converterName,
                        std::chrono::system_clock::time_point startTime) {
    auto first = std::chrono::system_clock::now() - startTime;
    auto second = std::chrono::system_clock::now() - startTime;
    Quorix::Console() << TimeBannerOpen;
    Quorix::Console() << "   \033[36m" << converterName
                      << ": Execution Time: " << detail::elapsedTimeText(first, second)
                      << "\033[0m";
    Quorix::Console() << TimeBannerClose;
}

// Shortest text that reads back as the same double.
std::string shortestText(double value) {
    char buffer[32];
    auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

template <class Set, class Render>
std::string selectionLine(const char* label, const Set& selection, Render render) {
    if (selection.empty()) return std::string();
    std::string line = label;
    for (const auto& value : selection)
        line += render(value) + " ";
    return line;
}

std::string asIs(const std::string& text) {
    return text;
}

template <class Set> bool selects(const Set& selection, const typename Set::key_type& value) {
    return selection.empty() || selection.find(value) != selection.end();
}

} // namespace

namespace detail {

std::string elapsedTimeText(std::chrono::nanoseconds first, std::chrono::nanoseconds second) {
    long long hundredths = std::llround(static_cast<double>(first.count()) * 1e-7);
    const char* unit = "[s]";
    if (hundredths >= 360000) {
        hundredths = std::llround(static_cast<double>(second.count()) * 2.7777777777777777e-11);
        unit = "[h]";
    }
    std::ostringstream text;
    text << std::fixed << std::setprecision(2) << static_cast<double>(hundredths) * 0.01 << unit;
    return text.str();
}

} // namespace detail

BasicConverterDefs::~BasicConverterDefs() {
    try {
        printErrors(ConverterName, ErrorMessages);
        printExecutionTime(ConverterName, StartTime);
    } catch (...) {
        // the summary is a courtesy; tearing down must go on without it
    }
}

bool BasicConverterDefs::UseThisGrid(const std::string& name) const {
    return selects(DoThisGrids, name);
}

bool BasicConverterDefs::UseThisTime(const double& time) const {
    return selects(DoThisTime, time);
}

bool BasicConverterDefs::UseThisField(const std::string& name) {
    if (!selects(DoThisFields, name)) return false;
    FieldUsed = true;
    return true;
}

std::string BasicConverterDefs::printPrimary() {
    std::string text = ConverterName + ": Parameters... Have In-Files:";
    if (InFiles.valid())
        for (const std::string& name : *InFiles)
            text += " " + name;
    text += selectionLine("\nDoThisFields: ", DoThisFields, asIs);
    text += selectionLine("\nDoThisGrids: ", DoThisGrids, asIs);
    text += selectionLine("\nDoThisTime: ", DoThisTime, shortestText);
    text += "\nHave out file: " + OutFile + " ";
    text += "\nHave out grid name: " + OutGridName + " ";
    text += "\nHave compression: " + std::to_string(Compression) + " ";
    text += IgnoreSuccess ? "\nIgnore success attribute and redo"
                          : "\nSkip calculation if success attribute is set";
    if (ExternalLinking) text += "\nHave external linking ";
    return text;
}

std::string BasicConverterDefs::printSecondary() {
    return "\n NO Secondary parameters available";
}

std::string BasicConverterDefs::printParameters() {
    ParameterText = FrameLine + printPrimary() + printSecondary() + FrameLine;
    return ParameterText;
}

} // namespace ConvLib

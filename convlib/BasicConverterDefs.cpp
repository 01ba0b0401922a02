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

void appendValue(std::string& text, const std::string& value) {
    text += value;
}

// Shortest text that reads back as the same double.
void appendValue(std::string& text, double value) {
    char buffer[32];
    text.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

// Appended in place: a report of large selections builds no text per entry.
template <class Set>
void appendSelection(std::string& text, const char* label, const Set& selection) {
    if (selection.empty()) return;
    text += label;
    for (const auto& value : selection) {
        appendValue(text, value);
        text += ' ';
    }
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
    std::string text;
    appendPrimary(text);
    return text;
}

void BasicConverterDefs::appendPrimary(std::string& text) const {
    text.append(ConverterName).append(": Parameters... Have In-Files:");
    if (InFiles.valid())
        for (const std::string& name : *InFiles)
            text.append(" ").append(name);
    appendSelection(text, "\nDoThisFields: ", DoThisFields);
    appendSelection(text, "\nDoThisGrids: ", DoThisGrids);
    appendSelection(text, "\nDoThisTime: ", DoThisTime);
    text.append("\nHave out file: ").append(OutFile).append(" ");
    text.append("\nHave out grid name: ").append(OutGridName).append(" ");
    text.append("\nHave compression: ").append(std::to_string(Compression)).append(" ");
    text += IgnoreSuccess ? "\nIgnore success attribute and redo"
                          : "\nSkip calculation if success attribute is set";
    if (ExternalLinking) text += "\nHave external linking ";
}

std::string BasicConverterDefs::printSecondary() {
    return "\n NO Secondary parameters available";
}

std::string BasicConverterDefs::printParameters() {
    // Built aside, so printSecondary still sees the previous report and a throw leaves it in
    // place; the swap hands the old report's buffer to the next call.
    ReportBuffer.assign(FrameLine);
    appendPrimary(ReportBuffer);
    ReportBuffer.append(printSecondary()).append(FrameLine);
    ParameterText.swap(ReportBuffer);
    return ParameterText;
}

} // namespace ConvLib

// The frame every converter derives from: settings, input gathering, loading, selection filters,
// grid annotations, the parameter report and the run summary printed at destruction.
#pragma once

#include "convlib/BasicConverterDefsExport.hpp"
#include "outside/Plexa.hpp"
#include "outside/Quorix.hpp"

#include <chrono>
#include <list>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace ConvLib {

class CONVLIB_API BasicConverterDefs {
public:
    enum myReadType { ReadNone = 0, ReadBundles = 1, ReadPointCloud = 2 };

    // Inline, so every converter compiles its own start of the clock.
    BasicConverterDefs() : StartTime(std::chrono::system_clock::now()) {}
    BasicConverterDefs(const BasicConverterDefs&) = delete;
    BasicConverterDefs& operator=(const BasicConverterDefs&) = delete;
    // Prints the run summary: the collected errors, then the execution time.
    virtual ~BasicConverterDefs();

    // The converter's own work; true on success.
    virtual bool convert() = 0;

    // Selection filters: an empty set selects everything.
    bool UseThisGrid(const std::string& name) const;
    bool UseThisTime(const double& time) const;
    bool UseThisField(const std::string& name);

    // Parameter report.
    std::string printPrimary();
    std::string printParameters();

    // Input gathering: the folder prefix of the last name and the sorted set of files.
    static std::pair<std::string, std::set<std::string>>
    expandFiles(const std::list<std::string>& names);
    void readManyFiles();

    bool loadFilesIntoBundle(myReadType type);
    // The same with read options for the formats that take them (grid name, time, ...).
    bool loadFilesIntoBundle(myReadType type, const Plexa::ReadOptions& options);

    // Grid annotations.
    bool getSuccessAttributeOfGrid(const Plexa::Grid& grid);
    void addSuccessAttributeToGrid(const Plexa::Grid& grid);
    static void addInfoToGrid(const std::string& info, Plexa::Grid& grid,
                              const std::string& converterName, const Plexa::GridPtr& sourceGrid,
                              const int& majorVersion, const int& minorVersion);

    Plexa::BundlePtr myBundle;
    Quorix::StrongPtr<Quorix::StringList> InFiles;
    std::set<std::string> DoThisFields;
    std::set<std::string> DoThisGrids;
    std::set<double> DoThisTime;
    std::string InDirectory;
    std::string OutFile;
    std::string OutGridName;
    int Compression = 0;
    bool ExternalLinking = false;
    Quorix::StrongPtr<Quorix::InterfaceBase> myStorage;
    Quorix::StrongPtr<Quorix::InterfaceBase> myExtraInterface;
    std::vector<std::string> ErrorMessages;
    std::string ConverterName;
    std::chrono::system_clock::time_point StartTime;
    std::string ParameterText;
    bool IgnoreSuccess = false;
    bool FieldUsed = false;

    // The converter's own settings for the report; the last virtual slot.
    virtual std::string printSecondary();

private:
    void appendPrimary(std::string& text) const;

    std::string ReportBuffer; // where the next report is built
};

} // namespace ConvLib

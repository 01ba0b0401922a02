#include "convlib/BasicConverterDefs.hpp"

#include <ctime>

namespace ConvLib {

namespace {

using TextChunk = Quorix::Chunk<std::string>;
using TextChunkPtr = Quorix::DynPtr<TextChunk, Quorix::ChunkBase>;
using TextChunkHandle = Quorix::StrongPtr<TextChunk, Quorix::ChunkBase>;

const char* const ProvenanceKey = "Kestrelon::Provenience";

std::string successKey(const std::string& converterName) {
    return converterName + "Successful?";
}

TextChunkPtr textChunkOf(const Plexa::Grid& grid, const std::string& key) {
    return TextChunkPtr(grid.getAttribute(key));
}

// An existing record is extended in place, so every holder of the chunk sees it grow.
TextChunkHandle recordOf(const Plexa::Grid& grid) {
    TextChunkHandle record = textChunkOf(grid, ProvenanceKey);
    if (!record) record.reset(new TextChunk(1));
    if (record->empty()) {
        record->emplace_back();
        record->recount();
    }
    return record;
}

std::string sourceHistory(const Plexa::GridPtr& sourceGrid) {
    std::string history;
    if (!sourceGrid.valid()) return history;
    TextChunkPtr source = textChunkOf(*sourceGrid, ProvenanceKey);
    if (!source) return history;
    for (auto text = source->rbegin(); text != source->rend(); ++text)
        history += *text + "\n";
    return history;
}

} // namespace

bool BasicConverterDefs::getSuccessAttributeOfGrid(const Plexa::Grid& grid) {
    if (IgnoreSuccess) return false;
    TextChunkPtr mark = textChunkOf(grid, successKey(ConverterName));
    if (!mark || mark->empty() || mark->front().empty()) return false;
    Quorix::Console()
        << "BasicConverterDefs::getSuccessAttributeOfGrid: Grid has been processed at time: "
        << mark->front() << " Skip calculation...";
    return true;
}

void BasicConverterDefs::addSuccessAttributeToGrid(const Plexa::Grid& grid) {
    // taking the first strong reference here would delete the grid when it is released
    if (grid.strongCount() <= 0) {
        ErrorMessages.push_back("Cannot mark a grid that no strong reference holds: " +
                                grid.name());
        return;
    }
    Plexa::GridPtr held(const_cast<Plexa::Grid*>(&grid));
    TextChunkHandle mark(new TextChunk(1));
    std::time_t now = std::time(nullptr);
    char rendering[64]; // ctime's shared buffer would race with converters on other threads
    mark->front() = std::string(ctime_r(&now, rendering));
    held->setAttribute(successKey(ConverterName), mark);
    held->touch();
}

void BasicConverterDefs::addInfoToGrid(const std::string& info, Plexa::Grid& grid,
                                       const std::string& converterName,
                                       const Plexa::GridPtr& sourceGrid, const int& majorVersion,
                                       const int& minorVersion) {
    TextChunkHandle record = recordOf(grid);
    std::string& text = record->front();
    text += sourceHistory(sourceGrid);
    text += "Converter name: " + converterName + " \n";
    text += "Version: " + std::to_string(majorVersion) + "." + std::to_string(minorVersion) + "\n";
    text += info;
    grid.setAttribute(ProvenanceKey, record);
    grid.touch();
}

} // namespace ConvLib

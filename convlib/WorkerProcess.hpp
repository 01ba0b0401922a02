// A worker process's side of the containment, and the record it sends its parent for each input.
// Internal to the program layer.
#pragma once

#include "convlib/Containment.hpp"

#include <string>
#include <vector>

namespace ConvLib::Tools::detail {

// The limits and mode the program set; a worker inherits them when it is made.
Containment& processContainment();
// Whether this process is a worker, which reads and converts in itself.
bool inWorker();

// A child's record is a sequence of entries: a kind byte, a 32-bit length, the text.
enum class Entry : char {
    Error = 'E',
    Carry = 'K',
    Out = 'O',
    ErrOut = 'X',
    Library = 'L', // HDF5 or libnetcdf read a file of the input
    Done = 'D'
};

// What a worker is doing now, in memory it shares with its parent, so that the parent can tell
// the worker's death in words without a message for every step.
struct WorkerState {
    char Phase;
    bool ReadThroughLibrary; // some file of this input was read by HDF5 or libnetcdf
    char File[2048];
    char LostSubject[2048];
};

// What a worker said about one input, and how it ended.
struct ChildResult {
    std::vector<std::string> Errors;
    Carried Carry;
    char LastPhase = static_cast<char>(Phase::Converting);
    std::string PhaseFile;
    std::string LostSubject; // the input's line, should the child die
    bool ReadThroughLibrary = false;
    bool Done = false;
    bool TimedOut = false;
    int Status = 0; // as waitpid gives it
    std::string Out;
    std::string Err;
    std::string StartFailure; // why no child could be started
};

// Takes the first entry of a record when it is complete, into the result; false when the rest
// has not arrived (or never will: a dead child's last entry may be cut short).
bool takeEntry(std::string& record, ChildResult& result);

// Whether a worker ends after the input: it failed, or HDF5 or libnetcdf read a file of it. The
// worker and its parent decide alike, so that the parent knows the inputs it handed on unstarted.
bool retiresWorker(bool failed, bool readThroughLibrary);

// The whole content of a file descriptor that a child wrote through, from its start.
std::string readFromStart(int fd);

// Whether HDF5 (bundle files) or libnetcdf (structured grids) reads the file: libraries with
// known faults on damaged files.
bool readsThroughLibrary(const std::string& file);

// What an input that took more memory than it may is told: "passed the memory limit of ...".
std::string memoryLimitText();

// Runs in a worker process: the work for each input the parent names, under the limits, with the
// streams captured; ends when the parent says no more, without destructors or exit handlers,
// which belong to the parent.
[[noreturn]] void serveInputs(BasicConverterDefs& converter, const std::vector<std::string>& inputs,
                              const InputWork& work, int channel, int out, int err,
                              WorkerState* state);

} // namespace ConvLib::Tools::detail

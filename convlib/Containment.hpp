// Inputs in worker processes, internal to the program layer: the worker's side (what it is doing
// now, for a message should it die) and the contained load of programs that keep their inputs.
#pragma once

#include "convlib/Program.hpp"

#include <string>

namespace ConvLib::Tools::detail {

// What a worker is doing, so that its death can be told in words.
enum class Phase : char { Converting = 'C', Reading = 'R', Writing = 'W' };

// The terminal that progress lines go to, a worker's too; -1 when standard error is none.
int terminalError();

// Tells the parent, when this process is a worker, that it now does `phase` on `file`.
void enterPhase(Phase phase, const std::string& file = "");

// False, with the worker's messages or the cause of its death, when reading the file in a worker
// process fails; true when it succeeds, or when this process is a worker already or runs in
// process, so that the caller reads the file itself.
bool loadSurvives(BasicConverterDefs& converter, const std::string& file,
                  BasicConverterDefs::myReadType type, const Plexa::ReadOptions& options);

} // namespace ConvLib::Tools::detail

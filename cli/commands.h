// The four commands, each with its own work and its own words.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "run.h"

namespace marlune::cli {

struct Settings {
    std::vector<std::string> operands;
    bool quiet = false;    // a failure's line names the file only
    bool verbose = false;  // convert: a line for every file
    bool dryRun = false;   // convert: judge, write nothing
    bool force = false;    // convert: an existing .kv may be replaced
    bool inPlace = false;  // copy: write into DESTINATION itself, as KVRBinfo does
    bool sync = false;     // copy, salvage: each copy's data and name on stable storage
    bool kvNames = false;  // copy, salvage into a folder: copies take .kv names
    // copy, salvage into a folder: how much of each file's path names the source
    // folder (the rest is its place under the destination); 0 for a list's names.
    std::size_t sourceFolderLength = 0;
};

// One copy to operands[1], written beside it and moved into place once complete
// (or in place, with inPlace).
std::unique_ptr<Command> copyCommand(const Settings& settings);

// A copy that keeps every whole chunk of a container cut short.
std::unique_ptr<Command> salvageCommand(const Settings& settings);

// copy -r and salvage -r: every file of the list into the same place under the
// destination folder (the last operand), the sources untouched.
std::unique_ptr<Command> mirrorCommand(const Settings& settings, const FileList& list, bool salvage);

// Converts every file of the list, as IKVRBinfo does, going on after a failure.
std::unique_ptr<Command> convertCommand(const Settings& settings, const FileList& list);

// Judges every file of the list as the copy would, without changing it.
std::unique_ptr<Command> infoCommand();

}  // namespace marlune::cli

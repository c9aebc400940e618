// The four commands. Each returns the process's exit status.
#pragma once

#include <string>
#include <vector>

#include "files.h"

namespace marlune::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

struct Settings {
    std::vector<std::string> operands;
    unsigned workers = 1;
    bool json = false;
    bool quiet = false;    // a failure's line says only that it failed
    bool verbose = false;  // convert: a line for every file
    bool dryRun = false;   // convert: judge, write nothing
    bool force = false;    // convert: an existing .kv may be replaced
    bool inPlace = false;  // copy: write into DESTINATION itself, as KVRBinfo does
    bool progress = false;
};

// One copy, written beside DESTINATION and moved into place once complete
// (or in place, with inPlace).
int copyCommand(const Settings& settings);

// A copy that keeps every whole chunk of a container cut short.
int salvageCommand(const Settings& settings);

// Converts every file of the list, as IKVRBinfo does, going on after a failure.
int convertCommand(const FileList& list, const Settings& settings);

// Judges every file of the list as the copy would, without changing it.
int infoCommand(const FileList& list, const Settings& settings);

}  // namespace marlune::cli

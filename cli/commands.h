// The four commands, each with its own words for what the library answers.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "run.h"

namespace marlune::cli {

struct Settings {
    std::vector<std::string> operands;
    bool quiet = false;      // a failure's line names the file only
    bool verbose = false;    // convert: a line for every file
    bool dryRun = false;     // convert: judge, write nothing
    bool force = false;      // convert: an existing .kv may be replaced
    bool inPlace = false;    // copy: write into DESTINATION itself, as KVRBinfo does
    bool sync = false;       // copy, salvage: each copy's data and name on stable storage
    bool kvNames = false;    // copy, salvage into a folder: copies take .kv names
    bool recursive = false;  // folders are walked
    bool followLinks = false;
    bool mirror = false;            // copy -r: every file arrives, with its time and mode
    bool checksum = false;          // mirror: compare content, not size and time
    bool remove = false;            // mirror: --delete what the source lacks
    bool deleteFromEmpty = false;   // --delete: an empty source may empty the mirror
    std::uint64_t maxDelete = 0;    // --delete: removals at the most; 0: no limit
    std::string manifest;           // mirror, verify: the SHA-256 manifest's name; empty: none
    std::string suspectExtensions;  // --suspect-ext: "" names none
    bool suspectExtensionsGiven = false;
};

// copy and salvage: with `oneFile` one copy to operands[1], written beside it and
// moved into place once complete (or in place, with inPlace); else every file into
// its place under the destination folder (the last operand), the sources untouched.
// With `salvage`, every whole chunk of a container cut short is kept.
std::unique_ptr<Command> copyCommand(const Settings& settings, bool salvage, bool oneFile);

// A destination folder against its source folder, or (with a manifest) against that.
std::unique_ptr<Command> verifyCommand(const Settings& settings);

// Converts every file, as IKVRBinfo does, going on after a failure.
std::unique_ptr<Command> convertCommand(const Settings& settings);

// Judges every file as the copy would, without changing it.
std::unique_ptr<Command> infoCommand(const Settings& settings);

enum class ListRead { done, unreadable, holdsNul };

// Reads names from `listPath` ("-": standard input), one a line (a CR before the
// line's end dropped) or NUL-separated. A list of lines that holds a NUL is
// refused whole (holdsNul): its names were meant for -0, and half a run is worse
// than none. Says why when the list cannot be read.
ListRead readList(const std::string& listPath, bool nulSeparated, std::vector<Operand>& names, std::string& why);

// The engine's options for a job and the settings' flags.
marlune_run_options jobOf(std::int32_t job, const Settings& settings);

}  // namespace marlune::cli

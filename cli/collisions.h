// Files of one run that would write one name, or one file named twice: found
// before any work, so that no file of the run replaces another's result.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <string>

#include "files.h"

namespace marlune::cli {

// The earlier file of the run that takes a file's name.
struct Collision {
    std::size_t earlier;
    bool sameFile;  // the file itself, named again (by the same name or another)
};

// The name file i of the list would write; empty for a file that writes none.
using DestinationOf = std::function<std::string(std::size_t)>;

// By file: the first in the run's order goes ahead, each other one collides with
// it. With `sameFiles`, a regular file named twice collides too. A name whose
// folder is not there yet is compared as it is written.
std::map<std::size_t, Collision> findCollisions(const FileList& list, const DestinationOf& destinationOf,
                                                bool sameFiles);

}  // namespace marlune::cli

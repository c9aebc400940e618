// Files of one run that would write one name, or one file named twice: found
// before any work, so that no file of the run replaces another's result.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

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

// The run's regular files by identity, to tell whether a name leads to one of them.
class RunFiles {
public:
    explicit RunFiles(const FileList& list);
    // The index of the run's file that `path` leads to (by any name), or `none`.
    std::size_t find(const std::string& path) const;
    static constexpr std::size_t none = static_cast<std::size_t>(-1);

private:
    const FileList& list_;
    std::vector<std::pair<std::uint64_t, std::size_t>> keys_;  // sorted: hash of the identity, index
};

}  // namespace marlune::cli

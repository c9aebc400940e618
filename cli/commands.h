// The three commands. Each returns the process's exit status.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace marlune::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;

struct Reporting {
    bool reasons;  // a failure's line says why (not with -q, unless --show-errors)
};

// One copy in place, as KVRBinfo makes it.
int copyCommand(const std::string& source, const std::string& destination, const Reporting& reporting);

// Converts each file in turn, as IKVRBinfo does, going on after a failure.
int convertCommand(const std::vector<std::string>& files, const Reporting& reporting);

// Judges each file as the copy would, without changing it.
int infoCommand(const std::vector<std::string>& files, bool json);

}  // namespace marlune::cli

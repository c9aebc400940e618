// Temporary folders and whole-file reads and writes for tests.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "support/kvrb_builder.h"

namespace marlune::testing {

class TempDir {
public:
    TempDir();
    // A folder inside `parent` rather than the system's temporary folder.
    explicit TempDir(const std::filesystem::path& parent);
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    // The path of `name` inside the folder, as the library takes it.
    std::string path(const std::string& name) const { return (root_ / name).string(); }
    // The names in the folder (or in its subfolder `sub`), sorted.
    std::vector<std::string> names(const std::string& sub = "") const;

private:
    std::filesystem::path root_;
};

void writeFile(const std::string& path, const Bytes& bytes);
Bytes readFile(const std::string& path);
bool fileExists(const std::string& path);

}  // namespace marlune::testing

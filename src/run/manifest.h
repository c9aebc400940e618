// A mirror's manifest: a line "<sha256>  <name>" for every copy, as `sha256sum -c`
// reads it in the destination folder, written beside its name and moved over it
// once the run has ended; and read back, line by line, by verify.
#pragma once

#include <cstdint>
#include <string>

#include "platform/file.h"
#include "platform/folders.h"

namespace marlune::run {

// The line for the copy `relative` (under the destination, the platform's
// separators) with the digest `hex`: a name with a backslash, a line feed or a
// carriage return is escaped as coreutils escapes it.
std::string manifestLine(const std::string& hex, const std::string& relative);

// Whether the file at `path` may be replaced by a manifest: missing, empty, or one
// whose first line is a manifest's (a file of any other kind is never overwritten).
bool replaceableByManifest(platform::Os& os, const std::string& path);

// The names and digests of a manifest, line by line, in its order.
class ManifestReader {
public:
    ManifestReader(platform::Os& os, const std::string& path);
    ~ManifestReader();
    ManifestReader(const ManifestReader&) = delete;
    ManifestReader& operator=(const ManifestReader&) = delete;

    bool opened() const { return opened_; }
    // When the manifest was last written (FileState's units); 0 when not known.
    std::int64_t written() const { return written_; }
    // The next line: false at the end. `bad` for a line that is no manifest line.
    bool next(std::string& relative, std::string& hex, bool& bad);

private:
    static constexpr std::size_t longestLine = 64u << 10;
    bool fill();
    bool skipLine(std::string& relative, std::string& hex, bool& bad);

    platform::File file_;
    bool opened_ = false;
    std::int64_t written_ = 0;
    std::string buffer_;
    std::size_t at_ = 0;
    bool ended_ = false;
};

class Manifest {
public:
    Manifest(std::string path, platform::Os& os) : path_(std::move(path)), os_(os) {}
    ~Manifest();
    Manifest(const Manifest&) = delete;
    Manifest& operator=(const Manifest&) = delete;

    bool wanted() const { return !path_.empty(); }
    // False once a write failed: the manifest is then never moved into place.
    bool add(const std::string& hex, const std::string& relative);
    // The system's code of the write that failed; 0 while none did.
    int error() const { return error_; }
    // Removes what was written of it: the manifest at its name stays as it was.
    void abandon();
    // Moves the whole manifest over its name; false (system error in `error`) when it cannot.
    bool finish(int& error);

private:
    bool flush();

    std::string path_;
    platform::Os& os_;
    std::string partialName_;
    platform::File file_;
    std::string pending_;
    bool failed_ = false;
    int error_ = 0;
};

}  // namespace marlune::run

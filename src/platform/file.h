// The file object: one native file, either closed or open, that closes itself.
// It keeps no buffer: its callers read and write whole pieces, each in as few
// calls to the system as it takes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

namespace marlune::platform {

class File {
public:
    File() = default;
    ~File() { close(); }
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool openForReading(Os& os, Path path);
    // And tells the file's state as it was opened (Os::fileState).
    bool openForReading(Os& os, Path path, FileState& state);
    // Fails, truncating nothing, when `path` names the file `source` has open.
    bool createForWriting(Os& os, const char* path, const File& source);
    // Fails when anything has the name `path` already.
    bool createNew(Os& os, Path path, Access access = Access::usual);
    // A file with no name, gone once closed (see Os::createScratch).
    bool createScratch(Os& os);
    // Reads from the start again.
    bool rewind();
    // Every write lands at the file's end (see Os::openForAppending).
    bool openForAppending(Os& os, const char* path);
    // Opens the existing file `path` for reading only, to take writes as bytes to
    // compare with it: a write whose bytes differ fails, and nothing is changed.
    bool openForComparing(Os& os, Path path);
    // Compared, and found equal, up to its end.
    bool matchedToEnd() const { return comparing_ && !mismatch_ && position_ == sizeAtOpen_; }
    bool isOpen() const { return handle_ != noHandle; }
    Handle handle() const { return handle_; }

    // The size a file opened for reading had then, where it is known.
    std::uint64_t sizeAtOpen() const { return sizeAtOpen_; }
    bool sizeKnown() const { return sizeAtOpen_ != unknownSize; }
    std::uint64_t position() const { return position_; }
    // The system's error code of the first call on this file that failed; 0 when none did.
    int error() const { return error_; }

    // Reads until `size` bytes have arrived or the file ends: the count read, or -1 on error.
    std::int64_t read(void* buffer, std::size_t size);
    // Writes all `size` bytes: false on an error or when the disk takes no more.
    bool write(const void* buffer, std::size_t size);
    bool truncate(std::uint64_t size);
    bool sync();
    // Copies up to `size` bytes from `source`'s position to this file's inside the
    // system: the count copied, fewer when the system copies no further this way
    // (the caller copies the rest itself), or -1 on error.
    std::int64_t copyFrom(File& source, std::uint64_t size);
    // False when `path` now names another file than this one (see Os::isSameFile).
    bool isNamedBy(Path path) const;
    // True when the file was closed cleanly or was not open.
    bool close();

private:
    // Keeps the first failure's error code; false.
    bool failed();
    bool compare(const std::uint8_t* bytes, std::size_t size);

    Os* os_ = nullptr;
    Handle handle_ = noHandle;
    std::uint64_t sizeAtOpen_ = 0;
    std::uint64_t position_ = 0;
    int error_ = 0;
    bool comparing_ = false;
    bool mismatch_ = false;
};

}  // namespace marlune::platform

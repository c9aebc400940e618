// The file object: one native file, either closed or open, that closes itself.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/os.h"

namespace marlune::platform {

class File {
public:
    File() = default;
    ~File();
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    bool openForReading(Os& os, const char* path);
    // Fails, truncating nothing, when `path` names the file `source` has open.
    bool createForWriting(Os& os, const char* path, const File& source);
    bool isOpen() const { return handle_ != noHandle; }

    // Reads until `size` bytes have arrived or the file ends: the count read, or -1 on error.
    std::int64_t read(void* buffer, std::size_t size);
    // Writes all `size` bytes; false on an error or when the disk takes fewer.
    bool write(const void* buffer, std::size_t size);
    bool seek(std::uint64_t offset);
    bool size(std::uint64_t& bytes);
    bool truncate(std::uint64_t bytes);
    bool sync();
    // False when `path` now names another file than this one (see Os::isSameFile).
    bool isNamedBy(const char* path);
    // Closes the file; true when it was closed cleanly or was not open.
    bool close();

private:
    Os* os_ = nullptr;
    Handle handle_ = noHandle;
};

}  // namespace marlune::platform

// An Os whose files live in memory, so that the fuzzer runs the copy stages
// without touching the disk. Every third transfer moves only part of what was
// asked, as a pipe or a network file system may, to exercise the retries; and
// one chosen read or write can fail with an error.
#pragma once

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "platform/os.h"

namespace marlune::fuzz {

using Bytes = std::vector<std::uint8_t>;

class MemoryOs final : public platform::Os {
public:
    std::map<std::string, Bytes> files;
    // The read or write (counted apart, from 1) that fails; 0 for none.
    unsigned failingRead = 0;
    unsigned failingWrite = 0;
    bool faulted = false;

    std::size_t openFiles() const { return open_.size(); }

    bool openForReading(platform::Path path, platform::Handle& file, std::uint64_t& size) override {
        if (files.count(path.text) == 0) return false;
        file = openHandle(path.text);
        size = files.at(path.text).size();
        return true;
    }
    bool createForWriting(const char* path, platform::Handle source, platform::Handle& file) override {
        if (source != platform::noHandle && open_.at(source).name == path) return false;
        files[path].clear();
        file = openHandle(path);
        return true;
    }
    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override {
        if (++reads_ == failingRead) return fail();
        OpenFile& open = open_.at(file);
        const Bytes& bytes = files.at(open.name);
        if (open.position >= bytes.size()) return 0;
        const std::size_t count = std::min(transferSize(size), static_cast<std::size_t>(bytes.size() - open.position));
        std::memcpy(buffer, bytes.data() + open.position, count);
        open.position += count;
        return static_cast<std::int64_t>(count);
    }
    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        if (++writes_ == failingWrite) return fail();
        OpenFile& open = open_.at(file);
        Bytes& bytes = files.at(open.name);
        const std::size_t count = transferSize(size);
        if (bytes.size() < open.position + count) bytes.resize(open.position + count);
        std::memcpy(bytes.data() + open.position, buffer, count);
        open.position += count;
        return static_cast<std::int64_t>(count);
    }
    bool truncate(platform::Handle file, std::uint64_t bytes) override {
        Bytes& content = files.at(open_.at(file).name);
        if (bytes < content.size()) content.resize(static_cast<std::size_t>(bytes));
        return true;
    }
    bool sync(platform::Handle) override { return true; }
    bool syncTogether(const platform::Handle*, std::size_t) override { return true; }
    // The copy stages alone never create, replace or move a name.
    bool createNew(platform::Path, platform::Handle&, platform::Access) override { return false; }
    Name inspect(platform::Path, platform::Handle) override { return Name::other; }
    bool markInUse(platform::Handle) override { return true; }
    Removal removeIfUnused(const char*) override { return Removal::failed; }
    bool mayWrite(platform::Path) override { return true; }
    bool copyPermissions(platform::Path, platform::Handle) override { return true; }
    bool move(platform::Handle, platform::Path, platform::Path, bool) override { return false; }
    bool syncFolderOf(platform::Path) override { return false; }
    bool openFolder(const char*, platform::Handle&) override { return false; }
    bool fileState(platform::Handle, platform::FileState&) override { return false; }
    Deletion deleteUnchanged(platform::Path, const platform::FileState&) override { return Deletion::failed; }
    bool close(platform::Handle file) override { return open_.erase(file) == 1; }
    bool deleteFile(platform::Path path) override { return files.erase(path.text) == 1; }
    void showMessage(const char*) override {}

private:
    struct OpenFile {
        std::string name;
        std::uint64_t position = 0;
    };

    platform::Handle openHandle(const std::string& name) {
        const platform::Handle handle = nextHandle_++;
        open_[handle] = OpenFile{name, 0};
        return handle;
    }

    std::int64_t fail() {
        faulted = true;
        platform::setLastSystemError(EIO);
        return -1;
    }

    std::size_t transferSize(std::size_t asked) {
        if (++transfers_ % 3 != 0 || asked < 2) return asked;
        return asked / 2;
    }

    std::map<platform::Handle, OpenFile> open_;
    platform::Handle nextHandle_ = 3;
    unsigned transfers_ = 0;
    unsigned reads_ = 0;
    unsigned writes_ = 0;
};

}  // namespace marlune::fuzz

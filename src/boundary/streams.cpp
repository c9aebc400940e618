// Copies and examinations whose source and destination are the caller's
// callbacks, or memory: the same copy as for files, through an Os whose one
// source and one destination are those; or a stream copied to a named file,
// through the system's Os for all but the source.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "boundary/api.h"
#include "boundary/operations.h"
#include "marlune.h"
#include "platform/standard_streams.h"

namespace marlune {
namespace {

constexpr platform::Handle sourceHandle = 1;
constexpr platform::Handle destinationHandle = 2;
// The names the copy is asked for: never shown, never opened.
constexpr const char* sourceName = "<source>";
constexpr const char* destinationName = "<destination>";

// The caller's read callback, as an Os read answers. A stated length is a limit:
// the callback is asked for at most one byte past it, and once that byte came
// the source ends there, so that the copy finds it longer than stated
// (MARLUNE_SOURCE_CHANGED) at once instead of reading on for ever.
class BoundedReader {
public:
    explicit BoundedReader(const marlune_reader& reader) : reader_(reader) {}

    std::int64_t read(void* buffer, std::size_t size) {
        if (reader_.length_known != 0) {
            if (given_ > reader_.length) return 0;
            size = static_cast<std::size_t>(std::min<std::uint64_t>(size, reader_.length - given_ + 1));
        }
        std::int32_t error = 0;
        const std::int64_t got = reader_.read(buffer, size, &error, reader_.context);
        if (got < 0 || static_cast<std::uint64_t>(got) > size) {
            platform::setLastSystemError(error);  // more than was asked for is a failure too
            return -1;
        }
        given_ += static_cast<std::uint64_t>(got);
        return got;
    }

private:
    const marlune_reader& reader_;
    std::uint64_t given_ = 0;
};

// A source of bytes in memory, or through the caller's read callback.
struct StreamSource {
    const marlune_reader* reader = nullptr;
    const std::uint8_t* bytes = nullptr;
    std::uint64_t length = 0;
    std::uint64_t position = 0;
};

// Every call that names a file fails: a stream has none.
class StreamOs final : public platform::Os {
public:
    StreamOs(StreamSource source, const marlune_writer* writer) : source_(source), writer_(writer) {
        if (source.reader) reader_.emplace(*source.reader);
    }

    bool openForReading(platform::Path /*path*/, platform::Handle& file, std::uint64_t& size) override {
        file = sourceHandle;
        const bool known = !source_.reader || source_.reader->length_known != 0;
        size = !known ? platform::unknownSize : source_.reader ? source_.reader->length : source_.length;
        return true;
    }
    bool createForWriting(const char* /*path*/, platform::Handle /*source*/, platform::Handle& file) override {
        file = destinationHandle;
        return true;
    }
    std::int64_t read(platform::Handle /*file*/, void* buffer, std::size_t size) override;
    std::int64_t write(platform::Handle /*file*/, const void* buffer, std::size_t size) override;
    // What reached a writer stays there.
    bool truncate(platform::Handle /*file*/, std::uint64_t /*bytes*/) override { return refused(); }
    bool sync(platform::Handle /*file*/) override { return true; }
    bool syncTogether(const platform::Handle* /*files*/, std::size_t /*count*/) override { return true; }
    bool close(platform::Handle /*file*/) override { return true; }

    bool createNew(platform::Path /*path*/, platform::Handle& /*file*/, platform::Access /*access*/) override {
        return refused();
    }
    Name inspect(platform::Path /*path*/, platform::Handle /*source*/) override { return Name::nothing; }
    bool markInUse(platform::Handle /*file*/) override { return true; }
    Removal removeIfUnused(const char* /*path*/) override { return Removal::failed; }
    bool mayWrite(platform::Path /*path*/) override { return refused(); }
    bool copyPermissions(platform::Path /*path*/, platform::Handle /*file*/) override { return refused(); }
    bool move(platform::Handle, platform::Path, platform::Path, bool) override { return refused(); }
    bool syncFolderOf(platform::Path /*path*/) override { return refused(); }
    bool openFolder(const char* /*path*/, platform::Handle& /*folder*/) override { return refused(); }
    bool fileState(platform::Handle /*file*/, platform::FileState& /*state*/) override { return refused(); }
    Deletion deleteUnchanged(platform::Path /*path*/, const platform::FileState& /*expected*/) override {
        refused();
        return Deletion::failed;
    }
    bool deleteFile(platform::Path /*path*/) override { return refused(); }
    void showMessage(const char* /*text*/) override {}

private:
    static bool refused() {
        platform::setLastSystemError(0);
        return false;
    }

    StreamSource source_;
    std::optional<BoundedReader> reader_;
    const marlune_writer* writer_;
};

std::int64_t StreamOs::read(platform::Handle /*file*/, void* buffer, std::size_t size) {
    if (!source_.reader) {
        const auto count = static_cast<std::size_t>(std::min<std::uint64_t>(size, source_.length - source_.position));
        if (count != 0) std::memcpy(buffer, source_.bytes + source_.position, count);  // bytes may be null when empty
        source_.position += count;
        return static_cast<std::int64_t>(count);
    }
    return reader_->read(buffer, size);
}

std::int64_t StreamOs::write(platform::Handle /*file*/, const void* buffer, std::size_t size) {
    const std::int32_t error = writer_->write(buffer, size, writer_->context);
    if (error == 0) return static_cast<std::int64_t>(size);
    platform::setLastSystemError(error);
    return -1;
}

// The caller's reader as the source, and the system's files for everything else:
// the destination is created, written beside, moved and synced as for a file.
class ReaderOs final : public platform::Os {
public:
    ReaderOs(platform::Os& system, const marlune_reader& reader) : system_(system), reader_(reader), bounded_(reader) {}

    bool openForReading(platform::Path /*path*/, platform::Handle& file, std::uint64_t& size) override {
        file = readerHandle;
        size = reader_.length_known != 0 ? reader_.length : platform::unknownSize;
        return true;
    }
    std::int64_t read(platform::Handle file, void* buffer, std::size_t size) override {
        return file == readerHandle ? bounded_.read(buffer, size) : system_.read(file, buffer, size);
    }
    bool close(platform::Handle file) override { return file == readerHandle || system_.close(file); }
    // No name leads to the reader: the destination cannot be it.
    bool createForWriting(const char* path, platform::Handle /*source*/, platform::Handle& file) override {
        return system_.createForWriting(path, platform::noHandle, file);
    }
    Name inspect(platform::Path path, platform::Handle /*source*/) override {
        return system_.inspect(path, platform::noHandle);
    }
    bool isSameFile(platform::Path path, platform::Handle file) override {
        return file == readerHandle || system_.isSameFile(path, file);
    }
    std::int64_t copyRange(platform::Handle source, platform::Handle destination, std::size_t size) override {
        return source == readerHandle ? copyNotSupported : system_.copyRange(source, destination, size);
    }

    bool createNew(platform::Path path, platform::Handle& file, platform::Access access) override {
        return system_.createNew(path, file, access);
    }
    bool markInUse(platform::Handle file) override { return system_.markInUse(file); }
    Removal removeIfUnused(const char* path) override { return system_.removeIfUnused(path); }
    bool mayWrite(platform::Path path) override { return system_.mayWrite(path); }
    bool copyPermissions(platform::Path path, platform::Handle file) override {
        return system_.copyPermissions(path, file);
    }
    bool move(platform::Handle file, platform::Path from, platform::Path to, bool replace) override {
        return system_.move(file, from, to, replace);
    }
    bool syncFolderOf(platform::Path path) override { return system_.syncFolderOf(path); }
    bool openFolder(const char* path, platform::Handle& folder) override { return system_.openFolder(path, folder); }
    // The reader is never removed: it has no state to keep.
    bool fileState(platform::Handle file, platform::FileState& state) override {
        return file == readerHandle || system_.fileState(file, state);
    }
    Deletion deleteUnchanged(platform::Path path, const platform::FileState& expected) override {
        return system_.deleteUnchanged(path, expected);
    }
    std::string followLinks(const char* path) override { return system_.followLinks(path); }
    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        return system_.write(file, buffer, size);
    }
    bool truncate(platform::Handle file, std::uint64_t bytes) override { return system_.truncate(file, bytes); }
    bool sync(platform::Handle file) override { return system_.sync(file); }
    bool syncTogether(const platform::Handle* files, std::size_t count) override {
        return system_.syncTogether(files, count);
    }
    bool deleteFile(platform::Path path) override { return system_.deleteFile(path); }
    void showMessage(const char* text) override { system_.showMessage(text); }

private:
    // No file the system opens: descriptors are never negative, and -2 is no
    // Windows file handle (it stands for the current thread).
    static constexpr platform::Handle readerHandle = -2;

    platform::Os& system_;
    const marlune_reader& reader_;
    BoundedReader bounded_;
};

// A reader or writer whose struct is too small to hold its callback is no stream.
bool usable(const marlune_reader* reader) {
    return reader && holds(reader->size, &marlune_reader::context) && reader->read;
}

bool usable(const marlune_writer* writer) {
    return writer && holds(writer->size, &marlune_writer::context) && writer->write;
}

// The caller's codes are its own: none of them says a disk is full.
std::int32_t callbackStatus(std::int32_t status, marlune_report& report) {
    if (status == MARLUNE_DISK_FULL) status = MARLUNE_WRITE_ERROR;
    return report.status = status;
}

std::int32_t copyFrom(StreamSource source, const marlune_writer* writer, const marlune_options* options,
                      marlune_report& report, bool overlapWrites = false) {
    StreamOs os(source, writer);
    const marlune_options settings = settingsFrom(options);
    CopyRequest request = requestFrom(os, settings, sourceName, destinationName);
    request.placement = Placement::inPlace;
    request.durability = Durability::asWritten;
    request.replace = true;
    request.wholePartsOnly = true;
    request.overlapWrites = overlapWrites;
    platform::File from;
    platform::File to;
    container::Header header{};
    CopyFiles files{from, to, header};
    return callbackStatus(copyContainer(request, files, report).status, report);
}

std::int32_t examine(StreamSource source, marlune_report& report) {
    StreamOs os(source, nullptr);
    return examineContainer(os, sourceName, report);
}

// A file opened by name, read as a caller's stream: its size is stated, so that
// one that grows or shrinks meanwhile is MARLUNE_SOURCE_CHANGED.
std::int64_t MARLUNE_CALL readFile(void* buffer, std::uint64_t count, std::int32_t* error, void* context) {
    auto& file = *static_cast<platform::File*>(context);
    const std::int64_t got = file.read(buffer, static_cast<std::size_t>(count));
    if (got < 0) *error = file.error();
    return got;
}

std::int64_t MARLUNE_CALL readStandardInput(void* buffer, std::uint64_t count, std::int32_t* error, void*) {
    int code = 0;
    const std::int64_t got = platform::readStandardInput(buffer, static_cast<std::size_t>(count), code);
    if (got < 0) *error = code;
    return got;
}

std::int32_t MARLUNE_CALL writeStandardOutput(const void* buffer, std::uint64_t count, void*) {
    return platform::writeStandardOutput(buffer, static_cast<std::size_t>(count));
}

}  // namespace

std::int32_t copyStreamThrough(const marlune_reader* source, const marlune_writer* destination,
                               const marlune_options* options, marlune_report* report, bool overlapWrites) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        if (!usable(source)) return MARLUNE_NO_SOURCE_NAME;
        if (!usable(destination)) return MARLUNE_NO_DESTINATION_NAME;
        return copyFrom({source}, destination, options, filled, overlapWrites);
    });
}

}  // namespace marlune

using marlune::reported;

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy_stream(const marlune_reader* source,
                                                                const marlune_writer* destination,
                                                                const marlune_options* options,
                                                                marlune_report* report) {
    return marlune::copyStreamThrough(source, destination, options, report, false);
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_examine_stream(const marlune_reader* source,
                                                                   marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        if (!marlune::usable(source)) return MARLUNE_NO_SOURCE_NAME;
        return marlune::examine({source}, filled);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy_from_stream(const marlune_reader* source,
                                                                     const char* destination,
                                                                     const marlune_options* options,
                                                                     marlune_report* report) {
    if (!marlune::usable(source)) {
        return reported(report, [](marlune_report&) -> std::int32_t { return MARLUNE_NO_SOURCE_NAME; });
    }
    marlune::ReaderOs os(marlune::platform::unicodeOs(), *source);
    return marlune::copyThrough(os, marlune::sourceName, destination, options, report);
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy_memory(const void* bytes, uint64_t length,
                                                                const marlune_writer* destination,
                                                                const marlune_options* options,
                                                                marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        if (!bytes && length > 0) return MARLUNE_NO_SOURCE_NAME;
        if (!marlune::usable(destination)) return MARLUNE_NO_DESTINATION_NAME;
        return marlune::copyFrom({nullptr, static_cast<const std::uint8_t*>(bytes), length}, destination, options,
                                 filled);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_examine_memory(const void* bytes, uint64_t length,
                                                                   marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        if (!bytes && length > 0) return MARLUNE_NO_SOURCE_NAME;
        // Too large to address here: no copy of it could be made either.
        if (length > SIZE_MAX) return MARLUNE_OUT_OF_MEMORY;
        return marlune::examineMemory(static_cast<const std::uint8_t*>(bytes), static_cast<std::size_t>(length),
                                      filled);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy_to_stream(const char* source,
                                                                   const marlune_writer* destination,
                                                                   const marlune_options* options,
                                                                   marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        if (!source || !*source) return MARLUNE_NO_SOURCE_NAME;
        if (!marlune::usable(destination)) return MARLUNE_NO_DESTINATION_NAME;
        marlune::platform::File file;
        if (!file.openForReading(marlune::platform::unicodeOs(), source)) {
            filled.system_error = file.error();
            return marlune::sourceOpenStatus(file.error());
        }
        marlune_reader reader{};
        reader.size = sizeof reader;
        reader.length_known = file.sizeKnown() ? 1 : 0;
        reader.length = file.sizeAtOpen();
        reader.read = marlune::readFile;
        reader.context = &file;
        return marlune::copyFrom({&reader}, destination, options, filled);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_standard_input(marlune_reader* reader) {
    if (!reader || !marlune::holds(reader->size, &marlune_reader::context)) return MARLUNE_NO_SOURCE_NAME;
    std::uint64_t length = 0;
    reader->length_known = marlune::platform::standardInputLength(length) ? 1 : 0;
    reader->length = length;
    reader->read = marlune::readStandardInput;
    reader->context = nullptr;
    return MARLUNE_OK;
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_standard_output(marlune_writer* writer) {
    if (!writer || !marlune::holds(writer->size, &marlune_writer::context)) return MARLUNE_NO_DESTINATION_NAME;
    marlune::platform::prepareStandardOutput();
    writer->reserved = 0;
    writer->write = marlune::writeStandardOutput;
    writer->context = nullptr;
    return MARLUNE_OK;
}

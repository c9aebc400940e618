// Many files in one call, put on stable storage together: every source and
// folder opened first, then every file copied beside its name, one flush for the
// data of all of them, the moves, one flush per folder, and only then the
// sources removed. Each step is the one a single call takes (CopyCall), taken
// for the whole group at once; names are given inside the folders held open.
#include <algorithm>
#include <cstddef>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "boundary/api.h"
#include "boundary/copy_call.h"
#include "marlune.h"

namespace marlune {
namespace {

// One file of the batch, with everything its call works with.
struct Member {
    explicit Member(const CopyRequest& made) : request(made) {}

    CopyRequest request;
    std::string kvName;  // what request.destination points to when converting
    platform::File source;
    platform::File destination;
    container::Header header{};
    CopyFiles files{source, destination, header};
    marlune_report report{};
    CopyCall call{request, files, report};
    // Answered without a copy (already converted): no step applies.
    bool settled = false;

    bool live() const { return !settled && !call.failed(); }
    bool lackedHandles() const {
        return call.failed() && platform::kindOf(report.system_error) == platform::ErrorKind::tooManyFiles;
    }
};

// A field of the caller's item, or null where its size does not hold it.
template <typename Field>
Field fieldOf(const marlune_batch_file& item, Field marlune_batch_file::*member) {
    return holds(item.size, member) ? item.*member : Field{};
}

// Where the item's size holds a status, this one.
void setStatus(marlune_batch_file& item, std::int32_t status) {
    if (holds(item.size, &marlune_batch_file::status)) item.status = status;
}

// The folder that holds `path`, as it can be opened: "." for a bare name, the
// root with its separator ("/", "C:\").
std::string folderOf(const std::string& path) {
    for (std::size_t i = path.size(); i > 0; --i) {
        if (!platform::isPathSeparator(path[i - 1])) continue;
        const bool root = i == 1 || path[i - 2] == ':';
        return path.substr(0, root ? i : i - 1);
    }
    return ".";
}

// The folders of a batch, each opened once, before any copy, and closed with it.
class Folders {
public:
    explicit Folders(platform::Os& os) : os_(os) {}
    ~Folders() {
        for (const Opened& folder : opened_) {
            if (folder.handle != platform::noHandle) os_.close(folder.handle);
        }
    }
    Folders(const Folders&) = delete;
    Folders& operator=(const Folders&) = delete;

    // The folder that holds `path`, or the system's code when it cannot be opened.
    bool holding(const std::string& path, platform::Handle& folder) {
        const std::string name = folderOf(path);
        for (const Opened& known : opened_) {
            if (known.path != name) continue;
            folder = known.handle;
            return true;
        }
        opened_.reserve(opened_.size() + 1);  // the handle is never lost to a failed push
        if (!os_.openFolder(name.c_str(), folder)) return false;
        opened_.push_back({name, folder});
        return true;
    }

private:
    struct Opened {
        std::string path;
        platform::Handle handle;
    };
    platform::Os& os_;
    std::vector<Opened> opened_;
};
class Batch {
public:
    Batch(platform::Os& os, const marlune_options* options, bool converting, std::atomic<bool>* destinationFull,
          bool overlapWrites)
        : os_(os),
          settings_(settingsFrom(options)),
          converting_(converting),
          destinationFull_(destinationFull),
          overlapWrites_(overlapWrites) {}

    void add(const marlune_batch_file& item);
    void run();
    // Hands each file's status and report to the caller: the first failure's status, or MARLUNE_OK.
    std::int32_t handBack(marlune_batch_file* items) const;

private:
    // Opens every source and the folders they and their copies are in; a file the
    // batch names twice is found here.
    void openEach();
    // Where a file of the batch was open already: the earlier member.
    bool namedEarlier(const Member& member) const;
    // A folder that cannot be opened for want of handles fails the batch; one that
    // cannot for another reason is left to the names, which fail as they would alone.
    bool openFolder(const std::string& path, platform::Handle& folder);
    void copyEach();
    // The batch could not get all the handles it needs: every file fails before
    // anything moved, its source kept and nothing at its name.
    void failForWantOfHandles();
    void syncData();
    void syncFolders();
    template <typename Step>
    void forEachLive(Step step) {
        for (const std::unique_ptr<Member>& member : members_) {
            if (member->live()) step(*member);
        }
    }

    platform::Os& os_;
    const marlune_options settings_;
    const bool converting_;
    std::atomic<bool>* const destinationFull_;  // null: every file is worked on
    const bool overlapWrites_;
    std::mt19937_64 tags_;  // the partial files' tags, seeded once for the batch
    bool tagsSeeded_ = false;
    // Before the members: their partial files are removed inside these folders.
    Folders folders_{os_};
    std::vector<std::unique_ptr<Member>> members_;
    int lackedHandles_ = 0;  // the system's code when handles ran out
};

void Batch::add(const marlune_batch_file& item) {
    const char* source = fieldOf(item, &marlune_batch_file::source);
    auto member =
        std::make_unique<Member>(requestFrom(os_, settings_, source, fieldOf(item, &marlune_batch_file::destination)));
    CopyRequest& request = member->request;
    request.overlapWrites = overlapWrites_;
    if (!tagsSeeded_) {
        tags_.seed(randomTag());
        tagsSeeded_ = true;
    }
    request.partialTag = tags_() | 1;  // never 0, which asks for a tag of its own
    member->report.size = sizeof member->report;
    if (converting_ && isConverted(source)) {
        member->report.status = MARLUNE_ALREADY_CONVERTED;
        member->settled = true;
    } else if (converting_) {
        member->kvName = destinationFor(source ? source : "", 0);
        makeConversion(request, 0, member->kvName);
    } else {
        request.placement = Placement::beside;
    }
    members_.push_back(std::move(member));
}

bool Batch::openFolder(const std::string& path, platform::Handle& folder) {
    folder = platform::noHandle;
    if (folders_.holding(path, folder)) return true;
    const int code = platform::lastSystemError();
    folder = platform::noHandle;
    if (platform::kindOf(code) != platform::ErrorKind::tooManyFiles) return true;
    lackedHandles_ = code;
    return false;
}

bool Batch::namedEarlier(const Member& member) const {
    for (const std::unique_ptr<Member>& earlier : members_) {
        if (earlier.get() == &member) return false;
        if (!earlier->settled && earlier->call.source().isOpen() &&
            earlier->call.openedSource().isSameFile(member.call.openedSource())) {
            return true;
        }
    }
    return false;
}

void Batch::openEach() {
    for (const std::unique_ptr<Member>& each : members_) {
        Member& member = *each;
        if (!member.live()) continue;
        platform::Handle sourceFolder = platform::noHandle;
        if (converting_ && member.request.source && !openFolder(member.request.source, sourceFolder)) return;
        if (!member.call.open(sourceFolder)) {
            if (!member.lackedHandles()) continue;
            lackedHandles_ = member.report.system_error;
            return;
        }
        if (converting_ && namedEarlier(member)) {
            member.call.fail(MARLUNE_NAMED_TWICE, true, 0);
            continue;
        }
        platform::Handle targetFolder = platform::noHandle;
        if (!openFolder(member.call.target(), targetFolder)) return;
        member.call.useTargetFolder(targetFolder);
    }
}

void Batch::failForWantOfHandles() {
    for (const std::unique_ptr<Member>& member : members_) {
        if (member->live()) {
            member->call.fail(MARLUNE_TOO_MANY_FILES, true, lackedHandles_);
        } else if (member->lackedHandles()) {
            member->report.status = MARLUNE_TOO_MANY_FILES;
        }
    }
}

// A cancel stops the whole batch before anything moves: what was copied goes with
// its partial file, every source stays. So does a copy that found no handle left.
void Batch::copyEach() {
    bool cancelled = false;
    forEachLive([&](Member& member) {
        if (cancelled || lackedHandles_ != 0) {
            if (cancelled) member.call.fail(MARLUNE_CANCELLED, true, 0);
        } else if (destinationFull_ && destinationFull_->load()) {
            member.call.fail(notBegun, true, 0);
        } else if (!member.call.copy()) {
            cancelled = member.call.outcome().status == MARLUNE_CANCELLED;
            if (member.lackedHandles()) lackedHandles_ = member.report.system_error;
            if (destinationFull_ && member.call.outcome().status == MARLUNE_DISK_FULL) destinationFull_->store(true);
        }
    });
    if (cancelled) forEachLive([](Member& member) { member.call.fail(MARLUNE_CANCELLED, false, 0); });
}

// One flush for all where the system has one; where it fails, each file on its
// own, so that only the files whose data did not reach the disk fail.
void Batch::syncData() {
    std::vector<platform::Handle> handles;
    forEachLive([&](Member& member) {
        if (member.call.foundComplete() && !member.call.checkFound()) return;
        if (member.call.foundComplete() || member.request.durability != Durability::asWritten)
            handles.push_back(member.call.destination());
    });
    if (handles.empty() || os_.syncTogether(handles.data(), handles.size())) return;
    forEachLive([](Member& member) { member.call.syncData(); });
}

// Each folder once, for every file moved into it, through the handle the batch
// holds; a folder that cannot be synced fails its files only.
void Batch::syncFolders() {
    std::vector<std::string> folders;
    forEachLive([&](Member& member) {
        if (member.request.durability != Durability::dataAndName && !member.call.foundComplete()) return;
        const std::string folder = folderOf(member.call.target());
        if (std::find(folders.begin(), folders.end(), folder) != folders.end()) return;
        folders.push_back(folder);
        if (os_.syncFolderOf({member.call.targetFolder(), member.call.target().c_str()})) return;
        const int code = platform::lastSystemError();
        forEachLive([&](Member& other) {
            if (folderOf(other.call.target()) == folder) other.call.fail(MARLUNE_SYNC_ERROR, false, code);
        });
    });
}

void Batch::run() {
    openEach();
    if (lackedHandles_ == 0) copyEach();
    if (lackedHandles_ != 0) return failForWantOfHandles();
    syncData();
    forEachLive([](Member& member) { member.call.moveIntoPlace(); });
    syncFolders();
    forEachLive([](Member& member) { member.call.finish(); });
}

std::int32_t Batch::handBack(marlune_batch_file* items) const {
    std::int32_t first = MARLUNE_OK;
    for (std::size_t i = 0; i < members_.size(); ++i) {
        const marlune_report& report = members_[i]->report;
        marlune_batch_file& item = items[i];
        setStatus(item, report.status);
        handBackReport(fieldOf(item, &marlune_batch_file::report), report);
        const bool succeeded = report.status >= MARLUNE_OK && report.status <= MARLUNE_FINISHED;
        if (first == MARLUNE_OK && !succeeded) first = report.status;
    }
    return first;
}

std::int32_t runBatch(platform::Os& os, marlune_batch_file* items, std::uint32_t count, const marlune_options* options,
                      bool converting, std::atomic<bool>* destinationFull, bool overlapWrites) {
    if (!items) return count == 0 ? MARLUNE_OK : MARLUNE_NO_SOURCE_NAME;
    try {
        Batch batch(os, options, converting, destinationFull, overlapWrites);
        for (std::uint32_t i = 0; i < count; ++i) batch.add(items[i]);
        batch.run();
        return batch.handBack(items);
    } catch (...) {  // no memory for the batch: nothing of it was done
        for (std::uint32_t i = 0; i < count; ++i) setStatus(items[i], MARLUNE_OUT_OF_MEMORY);
        return MARLUNE_OUT_OF_MEMORY;
    }
}

}  // namespace

std::int32_t convertBatchThrough(platform::Os& os, marlune_batch_file* files, std::uint32_t count,
                                 const marlune_options* options, std::atomic<bool>* destinationFull,
                                 bool overlapWrites) {
    return runBatch(os, files, count, options, true, destinationFull, overlapWrites);
}

std::int32_t copyBatchThrough(platform::Os& os, marlune_batch_file* files, std::uint32_t count,
                              const marlune_options* options, std::atomic<bool>* destinationFull,
                              bool overlapWrites) {
    return runBatch(os, files, count, options, false, destinationFull, overlapWrites);
}

}  // namespace marlune

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_convert_batch(marlune_batch_file* files, uint32_t count,
                                                                  const marlune_options* options) {
    return marlune::convertBatchThrough(marlune::platform::unicodeOs(), files, count, options);
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy_batch(marlune_batch_file* files, uint32_t count,
                                                               const marlune_options* options) {
    return marlune::copyBatchThrough(marlune::platform::unicodeOs(), files, count, options);
}

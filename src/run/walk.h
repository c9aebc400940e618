// Two trees side by side: each walked depth first, one sorted listing per level
// held, and merged by name, so that memory grows with the depth and the widest
// folder, never with the number of files. A walk's order is that of a run: a
// folder's entries by the bytes of their names, a subfolder where its name falls.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/file.h"
#include "platform/folders.h"
#include "run/manifest.h"
#include "run/step.h"

namespace marlune::run {

struct WalkEntry {
    std::string relative;                           // under the walk's root, the platform's separators
    platform::Kind kind = platform::Kind::missing;  // file, link, or folder (one that cannot be read)
    int error = 0;                                  // of a folder that cannot be read
};

// Which of two relative names a walk meets first: <0, 0 or >0.
int walkOrder(const std::string& a, const std::string& b);

// The files and links under `root`, in the walk's order; folders are entered, not told,
// but for one that cannot be read. The root is the folder its name leads to (a link
// named is followed); a link met under it is told as a link, or with `followLinks`
// told as what it leads to (a folder entered, once on any one way down).
class TreeWalk {
public:
    // `skipPartials`: names a copy writes under until it is complete are not told.
    TreeWalk(platform::Os& os, std::string root, bool skipPartials = false, bool followLinks = false);
    bool next(WalkEntry& entry);
    // The system's code when the root could not be listed (-1: no folder there); else 0.
    int rootError() const { return rootError_; }

private:
    struct Level {
        std::string relative;
        platform::FileKey key;
        std::vector<platform::FolderEntry> entries;
        std::size_t next = 0;
    };
    // False (with the system's code) when the folder cannot be read.
    bool enter(const std::string& relative, const platform::FileKey& key, int& error);
    bool onTheWayDown(const platform::FileKey& key) const;

    platform::Os& os_;
    std::string root_;
    bool skipPartials_;
    bool followLinks_;
    int rootError_ = 0;
    std::vector<Level> stack_;
};

// What a deletion may remove, beyond the source's listing.
struct DeletionRules {
    std::vector<std::string> kept;     // names under the destination never removed (folded), records' own
    std::uint64_t most = 0;            // removals at the most; 0: no limit
    bool fromEmpty = false;            // an empty source may empty the destination
    bool despiteSourceErrors = false;  // tests alone: Job::deleteDespiteSourceErrors
};

// A verify's or a deletion's plan: the source tree (or a manifest) merged with the destination's.
// A deletion removes only what the source lacks, and nothing once the source could not be
// listed whole: it tells that once (MARLUNE_RUN_DELETION_OFF and the like) and ends.
class PairPlan {
public:
    enum class Mode { verify, remove };
    PairPlan(platform::Os& os, Mode mode, std::string source, std::string destination, std::string manifest,
             bool followLinks = false, DeletionRules rules = {});
    // The next file to check or remove; false once there is none.
    bool next(StepFile& file);
    // Set when the manifest could not be opened.
    int manifestError = 0;

private:
    bool pullSource();
    bool pullDestination();
    void plan(StepFile& file, const std::string& relative, std::int32_t status);
    // The one result that ends a deletion held back.
    bool holdBack(StepFile& file, std::int32_t status, const std::string& path, int error);
    bool isKept(const std::string& relative) const;

    platform::Os& os_;
    Mode mode_;
    DeletionRules rules_;
    std::uint64_t removals_ = 0;
    bool heldBack_ = false;
    std::string sourceRoot_;
    std::string destinationRoot_;
    std::unique_ptr<TreeWalk> sourceWalk_;
    std::unique_ptr<ManifestReader> manifest_;
    TreeWalk destinationWalk_;
    WalkEntry source_;
    WalkEntry destination_;
    std::string expected_;  // the manifest's digest for source_
    bool badLine_ = false;
    bool hasSource_ = false;
    bool hasDestination_ = false;
    bool started_ = false;
};

}  // namespace marlune::run

// A run's plan: the paths added, in their order, and the folders walked depth
// first, one sorted listing per folder level held; each file planned with what
// the plan settles itself (collisions, files named twice, copies that would
// land on a file of the run or outside the destination, partial files, folders
// that cannot be read).
//
// The one walk of a run. Where a job pairs its source folder with the destination
// (a mirror that deletes, verify), each source folder's listing is merged by name
// with its counterpart's in the same pass: verify tells what is missing, extra or
// different as it goes, and a mirror decides its deletions there, holding them
// (NameSpool) until every copy has ended and the whole run is known to have
// listed its source whole. A verify against a manifest walks the destination and
// merges it with the manifest's lines.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "run/manifest.h"
#include "run/roots.h"
#include "run/spool.h"
#include "run/step.h"

namespace marlune::run {

struct Job : StepJob {
    std::string manifest;           // mirror: the manifest's name; empty: none
    std::vector<std::string> kept;  // the run's own records, never deleted
    std::uint64_t maxDelete = 0;    // deletions at the most; 0: no limit
    // Tests alone (no front end sets it): deletions go ahead after a source error, a source
    // folder that cannot be listed counts as empty, and a deletion does not look again
    // whether the source has the name: to show what those rules keep.
    bool deleteDespiteSourceErrors = false;
};

class Planner {
public:
    // Every file-system call goes through `os`.
    Planner(Job job, platform::Os& os) : job_(std::move(job)), os_(os), deletions_(os), foldersWalked_(os) {}

    // A path and, for copies, its place under the destination (null: the path itself).
    std::int32_t add(const std::string& path, const char* place);
    // A file of the run's own that no deletion removes.
    // Where a mirror's manifest is to go, looked at before any work: in a folder that
    // exists (MARLUNE_RUN_NO_FOLDER) and may be written in, at no folder
    // (MARLUNE_DESTINATION_UNCREATABLE), and at no file of the sources added nor any
    // place their copies take (MARLUNE_RUN_LANDS_ON_RUN_FILE).
    RootCheck checkManifestName();
    std::int32_t keep(const std::string& path);
    // Looks at every name added, once: call before the first next().
    void begin();
    // The next file (or unreadable folder) of the run; false once there is none.
    bool next(StepFile& file);
    // About how many files come next without a new listing: for the size of groups.
    std::size_t comingSoon() const;
    const Job& job() const { return job_; }
    // True when the next file planned would be a mirror's first deletion: every copy
    // is planned, and the deletions may be decided once those copies have ended.
    bool deletionsNext() const;
    // An error in the source (a result of the run's): no deletion may follow it.
    void noteSourceError() { sourceFailed_ = true; }
    // The copies before them have ended: next() goes on to the deletions.
    void releaseDeletions() { deletionsReleased_ = true; }
    // A mirror's folders as the walk left them, each after the folders in it: the source
    // folder's path, then its copy's. False after the last. Once, when the plan has ended.
    bool nextFolderWalked(std::string& source, std::string& copy) {
        return foldersWalked_.next(source) && foldersWalked_.next(copy);
    }

    std::atomic<std::uint64_t> filesPlanned{0};
    std::atomic<std::uint64_t> bytesPlanned{0};
    std::atomic<std::uint64_t> linksNotFollowed{0};
    std::atomic<bool> complete{false};

private:
    struct Operand {
        std::string path;
        std::string place;  // copies: under the destination; "" for a folder's entries straight in
        bool placeGiven = false;
        platform::Kind kind = platform::Kind::missing;
        std::uint64_t size = 0;
        platform::FileKey key;
        bool settled = false;  // planned as a collision or named twice: takes no name
    };
    struct Entry {
        std::string name;
        platform::Kind kind;
        std::uint64_t size;
        platform::FileKey key;
        std::int64_t takenBy = -1;  // the earlier entry of the folder that takes its name
    };
    struct Level {
        std::string folder;
        std::string place;    // copies: its place under the destination
        std::string twiceOf;  // non-empty: walked earlier under this name, so each file is named twice
        platform::FileKey key;
        std::vector<Entry> entries;
        std::size_t next = 0;
        // A mirror's: the partial files that a run which stopped left in the folder's copy, last first.
        std::vector<std::string> stalePartials;
        // A paired walk's: the destination folder's entries (none where it lacks the folder),
        // merged with `entries` by name. A folder the source lacks has no `entries`.
        bool paired = false;
        bool sourceless = false;
        bool keepsItsTimes = false;  // a mirror's folder of the source, whose copy takes its times
        std::vector<platform::FolderEntry> counterpart;
        std::size_t counterpartNext = 0;
    };
    // A name added, as the collision checks look it up.
    struct Given {
        std::uint64_t hash;
        std::size_t operand;
        bool operator<(const Given& other) const {
            return hash != other.hash ? hash < other.hash : operand < other.operand;
        }
    };

    bool converting() const { return job_.job == MARLUNE_JOB_CONVERT; }
    bool verifying() const { return job_.job == MARLUNE_JOB_VERIFY; }
    bool againstManifest() const { return verifying() && !job_.manifest.empty(); }
    bool deleting() const { return copying() && has(MARLUNE_RUN_MIRROR) && has(MARLUNE_RUN_DELETE); }
    // The source folder is merged with the destination's, level by level.
    bool pairing() const { return verifying() || deleting(); }
    // A link is a name of its own, made anew (or compared as one), never followed.
    bool linksAsNames() const {
        return ((copying() && has(MARLUNE_RUN_MIRROR)) || verifying()) && !has(MARLUNE_RUN_FOLLOW_LINKS);
    }
    // A destination entry the source lacks (or has as a folder where it is none, or the reverse).
    bool destinationOnly(const std::string& place, bool sourceless, const platform::FolderEntry& entry, StepFile& file);
    bool enterDestinationOnly(const std::string& relative, StepFile& file);
    bool listCounterpart(Level& level, const std::string& place, bool isFolder, StepFile& file, bool& told);
    bool nextAgainstManifest(StepFile& file);
    // A mirror writing a manifest: the digest the manifest it replaces gives the copy
    // `relative`, read forward in step with the walk; empty where it gives none.
    std::string recordedDigest(const std::string& relative);
    bool startManifest(StepFile& file);
    void pullLine();
    bool reachesFolder(const Level& level, const Entry& entry);
    void pairWith(const Level& level, const std::string& name, platform::Kind kind, platform::Kind counterpart,
                  StepFile& file);
    std::vector<std::string> partialsAmong(const std::vector<platform::FolderEntry>& entries,
                                           const std::string& place) const;
    bool nextDeletion(StepFile& file);
    bool deletionsHeldBack(StepFile& file);
    bool isKept(const std::string& relative) const;
    void tell(StepFile& file, std::int32_t status, const std::string& source, const std::string& destination);
    bool copying() const { return job_.job == MARLUNE_JOB_COPY || job_.job == MARLUNE_JOB_SALVAGE; }
    bool has(std::uint32_t flag) const { return (job_.flags & flag) != 0; }
    // The name that two files of one run could both write: a .kv name, or a copy's with .kv names.
    bool namesCanMeet() const { return converting() || (copying() && has(MARLUNE_RUN_KV_NAMES)); }

    bool planOperand(std::size_t k, StepFile& file);
    // False when nothing is to be told (a folder walked already); else `file` may be unreadable.
    // `counterpart`: what the destination has at its place, in a paired walk.
    bool enterFolder(const std::string& path, const std::string& place, std::string twiceOf, StepFile& file, bool& told,
                     platform::Kind counterpart = platform::Kind::missing);
    void planWalked(const Level& level, const Entry& entry, const std::string& path, std::uint64_t size,
                    const platform::FileKey& key, StepFile& file);
    void finish(const std::string& path, const std::string& relative, std::uint64_t size, StepFile& file);
    void markTakenBy(std::vector<Entry>& entries) const;
    std::vector<std::string> stalePartialsIn(const std::string& place) const;
    // The name a file would write, as one to compare, hashed: its folder and folded last component.
    std::uint64_t placeHash(const platform::FileKey& folder, const std::string& name) const;
    std::uint64_t placeHash(const std::string& relative) const;
    std::uint64_t placeOfOperand(const Operand& operand);
    std::size_t givenWith(const std::vector<Given>& index, std::uint64_t hash, std::size_t from) const;
    std::string landsOn(const std::string& destination);
    std::string reachedEarlier(const std::string& target) const;

    Job job_;
    platform::Os& os_;
    std::vector<Operand> operands_;
    std::size_t nextOperand_ = 0;
    std::size_t current_ = 0;  // the operand being walked
    std::vector<Level> stack_;
    std::set<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>> walked_;  // with links followed
    // Names added, by identity and by the name they would write; a few dozen bytes each.
    std::vector<Given> byKey_;
    std::vector<Given> byPlace_;
    std::vector<std::uint64_t> operandPlaces_;
    std::map<std::size_t, std::string> reachedAt_;  // operands a walk named first, and by which name
    std::map<std::size_t, std::string> takenBy_;    // operands whose name a walked file took first
    // Converting with links followed: files reached through a link, by identity, and the link's name.
    std::map<std::tuple<std::uint64_t, std::uint64_t, std::uint64_t>, std::string> linkedFiles_;
    std::vector<std::pair<std::string, std::size_t>> sourceFolders_;  // copies: resolved, by operand
    std::string resolvedRoot_;
    std::string lastFolder_;  // landsOn's last folder, resolved
    std::string lastResolved_;
    std::string lastPlace_;  // the same, or its nearest existing folder's while it is missing
    bool begun_ = false;
    std::atomic<bool> sourceFailed_{false};
    bool deletionsReleased_ = false;
    platform::FileKey sourceRootKey_;  // the folders a deletion must find as they were at the start
    platform::FileKey destinationRootKey_;
    // A mirror's deletions, decided by the walk: "f" or "l" (a link) and the name under the destination.
    NameSpool deletions_;
    bool deletionsChecked_ = false;
    NameSpool foldersWalked_;  // see nextFolderWalked
    std::uint64_t removals_ = 0;
    std::uint64_t sourceFiles_ = 0;  // walked in the source: none, and a deletion would empty the mirror
    std::vector<std::string> kept_;  // folded names under the destination that no deletion removes
    // Verify against a manifest: its lines, and the destination file waiting to meet its line.
    std::unique_ptr<ManifestReader> manifest_;
    bool manifestWalked_ = false;
    bool lineReady_ = false;
    bool lineBad_ = false;
    bool manifestEnded_ = false;
    std::string lineName_;
    std::string lineDigest_;
    std::string previousLine_;
    bool hasWaiting_ = false;
    platform::FolderEntry waiting_;  // its name the relative one
    // A mirror writing a manifest: the one it replaces, and its line not yet met by the walk.
    std::unique_ptr<ManifestReader> recorded_;
    bool recordedReady_ = false;
    std::string recordedName_;
    std::string recordedDigest_;
};

}  // namespace marlune::run

// A run's plan: the paths added, in their order, and the folders walked depth
// first, one sorted listing per folder level held; each file planned with what
// the plan settles itself (collisions, files named twice, copies that would
// land on a file of the run or outside the destination, partial files, folders
// that cannot be read).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/folders.h"
#include "run/step.h"
#include "run/walk.h"

namespace marlune::run {

struct Job : StepJob {
    std::string manifest;           // mirror: the manifest's name; empty: none
    std::vector<std::string> kept;  // the run's own records, never deleted
    std::uint64_t maxDelete = 0;    // deletions at the most; 0: no limit
    // Tests alone (no front end sets it): deletions go ahead after a source error, to
    // show what the rule that a source folder be listed whole keeps.
    bool deleteDespiteSourceErrors = false;
};

class Planner {
public:
    // Every file-system call goes through `os`.
    Planner(Job job, platform::Os& os) : job_(std::move(job)), os_(os) {}

    // A path and, for copies, its place under the destination (null: the path itself).
    std::int32_t add(const std::string& path, const char* place);
    // A file of the run's own that no deletion removes.
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
    // The folders added whose entries go straight into the destination (copy -r SOURCE DESTINATION).
    std::vector<std::string> foldersIntoRoot() const {
        std::vector<std::string> folders;
        for (const Operand& operand : operands_) {
            if (operand.placeGiven && operand.place.empty()) folders.push_back(operand.path);
        }
        return folders;
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
    // A verify's files, and a mirror's deletions once its copies are planned.
    bool nextPaired(StepFile& file);
    DeletionRules deletionRules() const;
    bool deletionsHeldBack(StepFile& file);
    bool copying() const { return job_.job == MARLUNE_JOB_COPY || job_.job == MARLUNE_JOB_SALVAGE; }
    bool has(std::uint32_t flag) const { return (job_.flags & flag) != 0; }
    // The name that two files of one run could both write: a .kv name, or a copy's with .kv names.
    bool namesCanMeet() const { return converting() || (copying() && has(MARLUNE_RUN_KV_NAMES)); }

    bool planOperand(std::size_t k, StepFile& file);
    // False when nothing is to be told (a folder walked already); else `file` may be unreadable.
    bool enterFolder(const std::string& path, const std::string& place, std::string twiceOf, StepFile& file,
                     bool& told);
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
    bool begun_ = false;
    std::atomic<bool> sourceFailed_{false};
    bool deletionsReleased_ = false;
    platform::FileKey sourceRootKey_;  // the folders a deletion's walk must find at its start
    platform::FileKey destinationRootKey_;
    std::unique_ptr<PairPlan> pair_;
    bool pairDone_ = false;
};

// The full path of `path` with links resolved, for a name that may not exist yet:
// its nearest existing folder resolved, the rest appended.
std::string resolvedOrPlanned(platform::Os& os, const std::string& path);

}  // namespace marlune::run

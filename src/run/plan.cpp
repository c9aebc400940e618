#include "run/plan.h"

#include <algorithm>
#include <functional>
#include <utility>

#include "run/job_policy.h"
#include "run/paths.h"

namespace marlune::run {
namespace {

using platform::FileKey;
using platform::Kind;

std::tuple<std::uint64_t, std::uint64_t, std::uint64_t> tupleOf(const FileKey& key) {
    return {key.device, key.high, key.low};
}

bool known(const FileKey& key) {
    return key != FileKey{};
}

// A listing in the walk's order: by the bytes of the names.
void sortByName(std::vector<platform::FolderEntry>& entries) {
    std::sort(entries.begin(), entries.end(),
              [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
}

std::uint64_t hashOf(const std::string& text) {
    return std::hash<std::string>{}(text)*0x27D4EB2F165667C5u;
}

}  // namespace

std::int32_t Planner::add(const std::string& path, const char* place) {
    if (begun_) return MARLUNE_RUN_BAD_STATE;
    if (path.empty()) return MARLUNE_NO_SOURCE_NAME;
    if (const std::int32_t refused = checkAdd(policyOf(job_.job, job_.flags), operands_.size(), place);
        refused != MARLUNE_OK) {
        return refused;
    }
    std::uint64_t size = 0;
    FileKey key;
    // A folder named through a link is the folder it leads to.
    if (job_.job == MARLUNE_JOB_VERIFY && os_.kindOf(path, size, key) != Kind::folder) {
        return MARLUNE_SOURCE_MISSING;
    }
    Operand operand;
    operand.path = path;
    operand.placeGiven = place != nullptr;
    if (place) operand.place = place;
    // A folder whose entries go straight into the destination must be one.
    if (copying() && place && !*place && os_.kindOf(path, size, key) != Kind::folder) {
        return MARLUNE_SOURCE_MISSING;
    }
    if (copying() && has(MARLUNE_RUN_RECURSIVE)) {
        // A copy into its own tree would copy itself, and again each run.
        const std::string source = os_.resolvedPath(path);
        const std::string destination = resolvedOrPlanned(os_, job_.root);
        if (!source.empty() && liesWithin(destination, source) && os_.kindOf(path, size, key) == Kind::folder) {
            return MARLUNE_RUN_INSIDE_SOURCE;
        }
        // Deletions in the destination would remove the sources themselves.
        if (has(MARLUNE_RUN_DELETE) && !source.empty() && liesWithin(source, destination)) {
            return MARLUNE_RUN_SOURCE_INSIDE_DESTINATION;
        }
    }
    operands_.push_back(std::move(operand));
    return MARLUNE_OK;
}

std::int32_t Planner::keep(const std::string& path) {
    if (begun_) return MARLUNE_RUN_BAD_STATE;
    if (path.empty()) return MARLUNE_NO_SOURCE_NAME;
    job_.kept.push_back(path);
    return MARLUNE_OK;
}

RootCheck Planner::checkManifestName() {
    if (!policyOf(job_.job, job_.flags).writesManifest || job_.manifest.empty()) return {};
    const std::string& name = job_.manifest;
    const std::string resolved = resolvedOrPlanned(os_, name);
    const std::string root = resolvedOrPlanned(os_, job_.root);
    // A folder under the destination the run is to make (the destination itself, say)
    // is made by the copies: the nearest one that exists is written in.
    std::string folder = folderOf(name);
    std::uint64_t size = 0;
    FileKey key;
    Kind holder = os_.kindOf(folder, size, key);
    const int missing = platform::lastSystemError();
    if (holder == Kind::missing && liesWithin(resolved, root)) {
        for (std::string above = folderOf(folder); above != folder && holder == Kind::missing;
             above = folderOf(folder)) {
            folder = above;
            holder = os_.kindOf(folder, size, key);
        }
    }
    if (holder != Kind::folder) {
        return {MARLUNE_RUN_NO_FOLDER, holder == Kind::missing ? missing : platform::notAFolderError()};
    }
    int error = 0;
    if (!os_.mayWriteInFolder(folder, error)) return {MARLUNE_DESTINATION_UNCREATABLE, error};
    const Kind kind = os_.kindOfName(name);
    if (kind != Kind::missing && kind != Kind::file && kind != Kind::link) return {MARLUNE_DESTINATION_UNCREATABLE, 0};
    // A mistyped name would put the manifest over a recording, or a copy over the manifest.
    for (const Operand& operand : operands_) {
        const std::string source = os_.resolvedPath(operand.path);
        if (!source.empty() && liesWithin(resolved, source)) return {MARLUNE_RUN_LANDS_ON_RUN_FILE, 0};
        const std::string landing = operand.placeGiven ? operand.place : insideName(operand.path);
        if (resolved.size() <= root.size() || !liesWithin(resolved, root) || (!operand.placeGiven && landing.empty())) {
            continue;
        }
        std::string relative = resolved.substr(root.size());
        while (!relative.empty() && isSeparator(relative.front())) relative.erase(0, 1);
        if (!liesWithin(relative, landing) && !landing.empty()) continue;
        std::string rest = relative.substr(landing.size());
        while (!rest.empty() && isSeparator(rest.front())) rest.erase(0, 1);
        if (rest.empty() || os_.kindOfName(joinPath(operand.path, rest)) != Kind::missing) {
            return {MARLUNE_RUN_LANDS_ON_RUN_FILE, 0};
        }
    }
    // Nor is a file of another kind outside the trees replaced by it.
    if (kind != Kind::missing && !replaceableByManifest(os_, name)) return {MARLUNE_DESTINATION_EXISTS, 0};
    return {};
}

std::uint64_t Planner::placeHash(const FileKey& folder, const std::string& name) const {
    return folder.hash() ^ hashOf(platform::foldedName(name));
}

std::uint64_t Planner::placeHash(const std::string& relative) const {
    return hashOf(platform::foldedName(relative));
}

// The place an added file would write, hashed; 0 for none.
std::uint64_t Planner::placeOfOperand(const Operand& operand) {
    if (converting()) {
        const std::string kv = kvName(operand.path);
        if (kv.empty() || kv == operand.path || endsWith(operand.path, partialSuffix)) return 0;
        std::uint64_t size = 0;
        FileKey folder;
        if (os_.kindOf(folderOf(kv), size, folder) != Kind::folder) return hashOf(kv);
        return placeHash(folder, nameOf(kv));
    }
    const std::string relative = insideName(operand.placeGiven ? operand.place : operand.path);
    if (relative.empty() || endsWith(operand.path, partialSuffix)) return 0;
    return placeHash(kvName(relative));
}

void Planner::begin() {
    begun_ = true;
    const bool walking = has(MARLUNE_RUN_RECURSIVE) || verifying();
    if (copying() || verifying()) resolvedRoot_ = resolvedOrPlanned(os_, job_.root);
    if (deleting() && !operands_.empty()) {
        std::uint64_t size = 0;
        os_.kindOf(operands_.front().path, size, sourceRootKey_);
        os_.kindOf(job_.root, size, destinationRootKey_);
    }
    // The names under the destination a deletion keeps, wherever the names given lead: the
    // run's records and the manifest; and a verify leaves out the manifest it reads.
    std::vector<std::string> kept = deleting() ? job_.kept : std::vector<std::string>{};
    if ((deleting() || againstManifest()) && !job_.manifest.empty()) kept.push_back(job_.manifest);
    for (const std::string& name : kept) {
        const std::string resolved = resolvedOrPlanned(os_, name);
        if (resolved.size() <= resolvedRoot_.size() || !liesWithin(resolved, resolvedRoot_)) continue;
        std::string relative = resolved.substr(resolvedRoot_.size());
        while (!relative.empty() && isSeparator(relative.front())) relative.erase(0, 1);
        kept_.push_back(platform::foldedName(relative));
    }
    std::sort(kept_.begin(), kept_.end());
    if (policyOf(job_.job, job_.flags).writesManifest && !job_.manifest.empty()) {
        recorded_ = std::make_unique<ManifestReader>(os_, job_.manifest);
        job_.recordedAt = recorded_->written();
    }
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    // An examination compares nothing: a file named twice is examined twice.
    const bool compared = job_.job != MARLUNE_JOB_EXAMINE;
    operandPlaces_.assign(operands_.size(), 0);
    for (std::size_t k = 0; k < operands_.size(); ++k) {
        Operand& operand = operands_[k];
        if (compared || walking) operand.kind = os_.kindOf(operand.path, operand.size, operand.key);
        if (walking && operand.kind == Kind::folder) {
            if (copying()) sourceFolders_.emplace_back(os_.resolvedPath(operand.path), k);
            if (compared) byKey_.push_back({operand.key.hash(), k});
            continue;
        }
        ++files;
        bytes += operand.kind == Kind::file ? operand.size : 0;
        if (!compared || operand.kind != Kind::file) continue;
        if (converting() || copying()) byKey_.push_back({operand.key.hash(), k});
        if (namesCanMeet()) {
            operandPlaces_[k] = placeOfOperand(operand);
            if (operandPlaces_[k] != 0) byPlace_.push_back({operandPlaces_[k], k});
        }
    }
    std::sort(byKey_.begin(), byKey_.end());
    std::sort(byPlace_.begin(), byPlace_.end());
    filesPlanned += files;
    bytesPlanned += bytes;
}

// The first operand at or after `from` in the index with the hash; npos for none.
std::size_t Planner::givenWith(const std::vector<Given>& index, std::uint64_t hash, std::size_t from) const {
    auto at = std::lower_bound(index.begin(), index.end(), Given{hash, from});
    return at != index.end() && at->hash == hash ? at->operand : std::string::npos;
}

std::size_t Planner::comingSoon() const {
    std::size_t coming = operands_.size() - nextOperand_;
    for (const Level& level : stack_) coming += level.entries.size() - level.next + level.stalePartials.size();
    if (verifying()) {
        for (const Level& level : stack_) coming += level.counterpart.size() - level.counterpartNext;
    }
    return coming;
}

bool Planner::deletionsNext() const {
    return copying() && has(MARLUNE_RUN_DELETE) && begun_ && !deletionsReleased_ && stack_.empty() &&
           nextOperand_ == operands_.size();
}

// A record of the run's own, or one of its partial files (".tmp-" and 8 hex digits).
bool Planner::isKept(const std::string& relative) const {
    if (kept_.empty()) return false;
    const std::string folded = platform::foldedName(relative);
    if (std::binary_search(kept_.begin(), kept_.end(), folded)) return true;
    const std::size_t mark = folded.rfind(".tmp-");
    if (mark == std::string::npos || folded.size() != mark + 13) return false;
    const std::string digits = folded.substr(mark + 5);
    return digits.find_first_not_of("0123456789abcdef") == std::string::npos &&
           std::binary_search(kept_.begin(), kept_.end(), folded.substr(0, mark));
}

void Planner::tell(StepFile& file, std::int32_t status, const std::string& source, const std::string& destination) {
    file = StepFile{};
    ++filesPlanned;
    file.status = status;
    file.source = source;
    file.destination = destination;
}

// Why a mirror's deletions may not go ahead: a source error in the run, the source or
// destination folder no longer the one the run started with (a link turned meanwhile),
// a source that held nothing, or deletions that could not be held.
bool Planner::deletionsHeldBack(StepFile& file) {
    std::uint64_t size = 0;
    FileKey source;
    FileKey destination;
    // A destination the run made has no key to compare: it holds the run's copies alone.
    const bool moved = os_.kindOf(operands_.front().path, size, source) != Kind::folder || source != sourceRootKey_ ||
                       (known(destinationRootKey_) && (os_.kindOf(job_.root, size, destination) != Kind::folder ||
                                                       destination != destinationRootKey_));
    std::int32_t status = MARLUNE_OK;
    if ((sourceFailed_.load() && !job_.deleteDespiteSourceErrors) || moved || deletions_.error() != 0) {
        status = MARLUNE_RUN_DELETION_OFF;
    } else if (sourceFiles_ == 0 && deletions_.count() != 0 && !has(MARLUNE_RUN_DELETE_FROM_EMPTY)) {
        status = MARLUNE_RUN_SOURCE_EMPTY;  // a disk that did not mount would empty the mirror
    }
    if (status == MARLUNE_OK) return false;
    tell(file, status, operands_.front().path, job_.root);
    file.systemError = deletions_.error() > 0 ? deletions_.error() : 0;
    return true;
}

// The deletions the walk decided, once the copies have ended.
bool Planner::nextDeletion(StepFile& file) {
    if (!deletionsChecked_) {
        deletionsChecked_ = true;
        if (operands_.empty() || deletionsHeldBack(file)) {
            complete = true;
            return !operands_.empty();
        }
    }
    std::string name;
    while (!complete && deletions_.next(name)) {
        const std::string relative = name.substr(1);
        // A file the source has gained since it was listed is the source's now; a folder
        // there still lacks the file or link this name holds.
        const Kind now =
            job_.deleteDespiteSourceErrors ? Kind::missing : os_.kindOfName(joinPath(operands_.front().path, relative));
        if (now != Kind::missing && now != Kind::folder) continue;
        const std::string destination = joinPath(job_.root, relative);
        if (job_.maxDelete != 0 && removals_ == job_.maxDelete) {
            tell(file, MARLUNE_RUN_DELETE_LIMIT, destination, job_.root);
            complete = true;
            return true;
        }
        ++removals_;
        tell(file, MARLUNE_OK, destination, destination);
        file.remove = true;
        file.link = name[0] == 'l';
        return true;
    }
    if (!complete && deletions_.error() != 0) {  // the held names could not be read back
        tell(file, MARLUNE_RUN_DELETION_OFF, operands_.front().path, job_.root);
        file.systemError = deletions_.error() > 0 ? deletions_.error() : 0;
        complete = true;
        return true;
    }
    complete = true;
    return false;
}

// A destination entry that the source lacks: verify tells it (against a manifest, when it
// meets its line); a mirror holds it for deletion. A folder is walked in its turn.
bool Planner::destinationOnly(const std::string& place, bool sourceless, const platform::FolderEntry& entry,
                              StepFile& file) {
    const std::string relative = joinPath(place, entry.name);
    if (isKept(relative)) return false;
    if (entry.kind == Kind::folder) return enterDestinationOnly(relative, file);
    if (entry.kind != Kind::file && entry.kind != Kind::link) return false;
    const std::string path = joinPath(job_.root, relative);
    if (againstManifest()) {
        waiting_ = {relative, entry.kind, entry.size, entry.key};
        hasWaiting_ = true;
        return false;
    }
    if (verifying()) {
        tell(file, MARLUNE_VERIFY_EXTRA, path, path);
        file.link = entry.kind == Kind::link;
        return true;
    }
    if (endsWith(entry.name, partialSuffix)) {
        // A partial file in a folder the source lacks: a run that stopped left it.
        if (!sourceless) return false;  // the folder's stale partials are told on entering it
        tell(file, has(MARLUNE_RUN_JUDGE_ONLY) ? MARLUNE_RUN_PARTIAL_LEFT : MARLUNE_RUN_PARTIAL_REMOVED, path,
             std::string());
        return true;
    }
    deletions_.add((entry.kind == Kind::link ? "l" : "f") + relative);
    return false;
}

// A folder of the destination that the source lacks, walked as one with nothing in the source.
bool Planner::enterDestinationOnly(const std::string& relative, StepFile& file) {
    const std::string path = relative.empty() ? job_.root : joinPath(job_.root, relative);
    Level level;
    level.sourceless = true;
    int error = 0;
    if (!os_.listFolder(path, level.counterpart, error)) {
        if (!verifying()) return false;  // a deletion removes nothing it cannot list
        tell(file, MARLUNE_RUN_FOLDER_UNREADABLE, path, path);
        file.systemError = error;
        return true;
    }
    sortByName(level.counterpart);
    level.place = relative;
    level.paired = true;
    stack_.push_back(std::move(level));
    return false;
}

// Lists the destination's counterpart of a source folder being entered, at `place`.
// False when the folder is not to be walked: verify tells a counterpart it cannot list.
bool Planner::listCounterpart(Level& level, const std::string& place, bool isFolder, StepFile& file, bool& told) {
    level.paired = true;
    if (!isFolder) return true;
    const std::string path = place.empty() ? job_.root : joinPath(job_.root, place);
    int error = 0;
    if (os_.listFolder(path, level.counterpart, error)) {
        sortByName(level.counterpart);
        return true;
    }
    level.counterpart.clear();
    if (!verifying()) return true;  // the copies go on; nothing under it is deleted
    tell(file, MARLUNE_RUN_FOLDER_UNREADABLE, path, path);
    file.systemError = error;
    told = true;
    return false;
}

// One result of a verify against a manifest: a line the destination lacks, a file the
// manifest lacks, or a file and its line.
void Planner::pullLine() {
    previousLine_ = lineName_;
    manifestEnded_ = !manifest_->next(lineName_, lineDigest_, lineBad_);
    // The merge needs the walk's order: a line out of it is told, as a bad line.
    if (!manifestEnded_ && !lineBad_ && !previousLine_.empty() && walkOrder(previousLine_, lineName_) >= 0) {
        lineBad_ = true;
    }
    if (lineBad_) lineName_ = previousLine_;
    lineReady_ = !manifestEnded_;
}

bool Planner::nextAgainstManifest(StepFile& file) {
    if (!lineReady_ && !manifestEnded_) pullLine();
    if (lineReady_ && lineBad_) {
        lineReady_ = false;
        tell(file, MARLUNE_VERIFY_BAD_LINE, job_.root, job_.root);
        return true;
    }
    const int order = !lineReady_ ? 1 : !hasWaiting_ ? -1 : walkOrder(lineName_, waiting_.name);
    if (order < 0) {
        lineReady_ = false;
        const std::string path = joinPath(job_.root, lineName_);
        tell(file, MARLUNE_VERIFY_MISSING, path, path);
        return true;
    }
    if (!hasWaiting_) return false;
    hasWaiting_ = false;
    const std::string path = joinPath(job_.root, waiting_.name);
    if (order > 0) {
        if (waiting_.kind == Kind::link) return false;  // a manifest lists no links
        tell(file, MARLUNE_VERIFY_NOT_IN_MANIFEST, path, path);
        return true;
    }
    lineReady_ = false;
    tell(file, waiting_.kind == Kind::file ? MARLUNE_OK : MARLUNE_VERIFY_NOT_AS_LISTED, path, path);
    file.link = waiting_.kind == Kind::link;
    file.expected = lineDigest_;
    // What is to be read: a group's bytes bound it, so that long recordings are hashed on every worker.
    file.bytes = waiting_.kind == Kind::file ? waiting_.size : 0;
    bytesPlanned += file.bytes;
    return true;
}

// Whether a walked entry is a folder, or with links followed leads to one.
bool Planner::reachesFolder(const Level& level, const Entry& entry) {
    if (entry.kind != Kind::link || linksAsNames() || !has(MARLUNE_RUN_FOLLOW_LINKS)) return entry.kind == Kind::folder;
    std::uint64_t size = 0;
    FileKey key;
    return os_.kindOf(joinPath(level.folder, entry.name), size, key) == Kind::folder;
}

// A paired walk's file beside its counterpart: for verify, where and what it is.
void Planner::pairWith(const Level& level, const std::string& name, Kind kind, Kind counterpart, StepFile& file) {
    ++sourceFiles_;
    if (!verifying() || file.status != 0) return;
    file.destination = joinPath(level.place.empty() ? job_.root : joinPath(job_.root, level.place), name);
    if (counterpart == Kind::missing) {
        file.status = MARLUNE_VERIFY_MISSING;
    } else if (counterpart != kind) {
        file.status = MARLUNE_VERIFY_DIFFERENT;
    }
}

// A verify against a manifest: the manifest opened, the destination's walk begun.
bool Planner::startManifest(StepFile& file) {
    manifest_ = std::make_unique<ManifestReader>(os_, job_.manifest);
    const int error = manifest_->opened() ? 0 : platform::lastSystemError();
    if (manifest_->opened()) pullLine();
    // Nothing to check against: one result, and no walk (sha256sum -c fails so too).
    if (!manifest_->opened() || manifestEnded_) {
        manifestEnded_ = true;
        tell(file, MARLUNE_VERIFY_NO_MANIFEST, job_.manifest, job_.root);
        file.systemError = error;
        return true;
    }
    return enterDestinationOnly(std::string(), file);
}

bool Planner::next(StepFile& file) {
    for (;;) {
        if (againstManifest() && (hasWaiting_ || (manifestWalked_ && stack_.empty() && !manifestEnded_))) {
            if (nextAgainstManifest(file)) return true;
            continue;
        }
        if (stack_.empty()) {
            if (againstManifest() && !manifestWalked_) {
                manifestWalked_ = true;
                if (startManifest(file)) return true;
                continue;
            }
            // Against a manifest, the folder added is the destination walked already.
            if (nextOperand_ == operands_.size() || againstManifest()) {
                if (deleting()) return deletionsReleased_ && nextDeletion(file);
                complete = true;
                return false;
            }
            current_ = nextOperand_++;
            if (planOperand(current_, file)) return true;
            continue;
        }
        Level& level = stack_.back();
        if (!level.stalePartials.empty()) {
            file = StepFile{};
            ++filesPlanned;
            file.source = std::move(level.stalePartials.back());
            level.stalePartials.pop_back();
            file.status = has(MARLUNE_RUN_JUDGE_ONLY) ? MARLUNE_RUN_PARTIAL_LEFT : MARLUNE_RUN_PARTIAL_REMOVED;
            return true;
        }
        // The destination's entries that come before the source's next, or have its name
        // but are a folder where it is none (or the reverse), are the destination's alone.
        if (level.paired && level.counterpartNext < level.counterpart.size()) {
            const platform::FolderEntry& other = level.counterpart[level.counterpartNext];
            const bool sourceEnded = level.next == level.entries.size();
            const Entry* ours = sourceEnded ? nullptr : &level.entries[level.next];
            if (sourceEnded || other.name < ours->name ||
                (other.name == ours->name && (other.kind == Kind::folder) != reachesFolder(level, *ours))) {
                const std::string place = level.place;
                const bool sourceless = level.sourceless;
                const platform::FolderEntry taken = std::move(level.counterpart[level.counterpartNext++]);
                if (destinationOnly(place, sourceless, taken, file)) return true;
                continue;
            }
        }
        if (level.next == level.entries.size()) {
            if (level.keepsItsTimes) {
                foldersWalked_.add(level.folder);
                foldersWalked_.add(level.place.empty() ? job_.root : joinPath(job_.root, level.place));
            }
            stack_.pop_back();
            continue;
        }
        const Entry& entry = level.entries[level.next++];
        Kind counterpart = Kind::missing;
        if (level.paired && level.counterpartNext < level.counterpart.size() &&
            level.counterpart[level.counterpartNext].name == entry.name) {
            counterpart = level.counterpart[level.counterpartNext++].kind;
        }
        const std::string path = joinPath(level.folder, entry.name);
        Kind kind = entry.kind;
        std::uint64_t size = entry.size;
        FileKey key = entry.key;
        if (kind == Kind::link && linksAsNames()) {
            // A mirror makes the link anew, verify compares it: never followed, whatever it leads to.
            planWalked(level, entry, path, 0, key, file);
            file.link = true;
            pairWith(level, entry.name, Kind::link, counterpart, file);
            return true;
        }
        if (kind == Kind::link) {
            if (has(MARLUNE_RUN_FOLLOW_LINKS)) kind = os_.kindOf(path, size, key);
            // A link met after the file it leads to names that file twice, whether its conversion
            // has removed it by now or not.
            if (converting() && has(MARLUNE_RUN_FOLLOW_LINKS) && (kind == Kind::file || kind == Kind::missing)) {
                if (std::string earlier = reachedEarlier(os_.linkTarget(path)); !earlier.empty()) {
                    file = StepFile{};
                    ++filesPlanned;
                    file.status = MARLUNE_NAMED_TWICE;
                    file.other = std::move(earlier);
                    finish(path, std::string(), 0, file);
                    return true;
                }
            }
            if (!has(MARLUNE_RUN_FOLLOW_LINKS) || kind == Kind::missing || kind == Kind::other) {
                ++linksNotFollowed;
                continue;
            }
            // A followed link that leads into the destination would copy the copies again.
            if (kind == Kind::folder && copying() && liesWithin(os_.resolvedPath(path), resolvedRoot_)) {
                continue;
            }
        }
        if (kind == Kind::folder) {
            const std::string place = copying() || pairing() ? joinPath(level.place, entry.name) : std::string();
            const std::string twiceOf = level.twiceOf.empty() ? std::string() : joinPath(level.twiceOf, entry.name);
            // Folders reached through a link are no folders of the mirror's: their copies keep their own times.
            const bool keepsItsTimes = level.keepsItsTimes && entry.kind == Kind::folder;
            const std::size_t depth = stack_.size();
            bool told = false;
            const bool entered = enterFolder(path, place, twiceOf, file, told, counterpart);
            if (stack_.size() > depth) stack_.back().keepsItsTimes = keepsItsTimes;
            if (entered && told) return true;
            continue;
        }
        if (kind != Kind::file) continue;  // devices, pipes and sockets are nobody's recordings
        planWalked(level, entry, path, size, key, file);
        pairWith(level, entry.name, Kind::file, counterpart, file);
        return true;
    }
}

bool Planner::planOperand(std::size_t k, StepFile& file) {
    Operand& operand = operands_[k];
    if ((has(MARLUNE_RUN_RECURSIVE) || verifying()) && operand.kind == Kind::folder) {
        std::string twiceOf;
        if (const auto reached = reachedAt_.find(k); reached != reachedAt_.end()) twiceOf = reached->second;
        Kind root = Kind::missing;
        if (pairing()) {
            std::uint64_t size = 0;
            FileKey key;
            root = os_.kindOf(job_.root, size, key);
        }
        bool told = false;
        const std::size_t depth = stack_.size();
        const bool entered = enterFolder(operand.path, operand.placeGiven ? operand.place : insideName(operand.path),
                                         twiceOf, file, told, root);
        // A folder whose entries go straight into the destination (copy -r SOURCE DESTINATION).
        if (stack_.size() > depth) {
            stack_.back().keepsItsTimes =
                copying() && has(MARLUNE_RUN_MIRROR) && operand.placeGiven && operand.place.empty();
        }
        return entered && told;
    }
    file = StepFile{};
    file.index = 0;
    const bool compared = job_.job != MARLUNE_JOB_EXAMINE && operand.kind == Kind::file;
    if (compared && converting()) {
        // The first name of a file converts it; a later one would find it gone.
        if (const auto reached = reachedAt_.find(k); reached != reachedAt_.end()) {
            file.status = MARLUNE_NAMED_TWICE;
            file.other = reached->second;
        } else {
            for (std::size_t j = givenWith(byKey_, operand.key.hash(), 0); j < k;
                 j = givenWith(byKey_, operand.key.hash(), j + 1)) {
                if (operands_[j].kind == Kind::file && operands_[j].key == operand.key) {
                    file.status = MARLUNE_NAMED_TWICE;
                    file.other = operands_[j].path;
                    break;
                }
            }
        }
    }
    if (compared && file.status == 0 && namesCanMeet() && operandPlaces_[k] != 0) {
        if (const auto taken = takenBy_.find(k); taken != takenBy_.end()) {
            file.status = MARLUNE_RUN_COLLISION;
            file.other = taken->second;
        } else {
            for (std::size_t j = givenWith(byPlace_, operandPlaces_[k], 0); j < k;
                 j = givenWith(byPlace_, operandPlaces_[k], j + 1)) {
                if (!operands_[j].settled && operandPlaces_[j] == operandPlaces_[k]) {
                    file.status = MARLUNE_RUN_COLLISION;
                    file.other = operands_[j].path;
                    break;
                }
            }
        }
    }
    operand.settled = file.status != 0;
    std::string relative;
    if (copying()) {
        relative = insideName(operand.placeGiven ? operand.place : operand.path);
        if (operand.placeGiven && operand.place.empty()) relative = nameOf(operand.path);
    }
    finish(operand.path, relative, operand.kind == Kind::file ? operand.size : 0, file);
    if (copying() && relative.empty() && file.status != MARLUNE_RUN_PARTIAL_LEFT) {
        file.status = MARLUNE_RUN_OUTSIDE_DESTINATION;
        file.destination.clear();
    }
    return true;
}

bool Planner::enterFolder(const std::string& path, const std::string& place, std::string twiceOf, StepFile& file,
                          bool& told, Kind counterpart) {
    std::uint64_t size = 0;
    FileKey key;
    os_.kindOf(path, size, key);
    if (known(key)) {
        // A link that leads back up the tree, or (with links followed) to a folder walked already.
        for (const Level& level : stack_) {
            if (level.key == key) return false;
        }
        if (has(MARLUNE_RUN_FOLLOW_LINKS) && !walked_.insert(tupleOf(key)).second) return false;
        if (converting()) {
            for (std::size_t j = givenWith(byKey_, key.hash(), 0); j != std::string::npos;
                 j = givenWith(byKey_, key.hash(), j + 1)) {
                if (j == current_ || operands_[j].kind != Kind::folder || operands_[j].key != key) continue;
                if (j < current_ && twiceOf.empty()) twiceOf = operands_[j].path;
                if (j > current_) reachedAt_.emplace(j, path);
            }
        }
    }
    Level level;
    int error = 0;
    std::vector<platform::FolderEntry> listed;
    if (!os_.listFolder(path, listed, error)) {
        file = StepFile{};
        file.status = MARLUNE_RUN_FOLDER_UNREADABLE;
        file.systemError = error;
        file.source = path;
        ++filesPlanned;
        told = true;
        // Its counterpart's names cannot be told from the source's lack of them.
        if (pairing()) sourceFailed_ = true;
        if (deleting() && job_.deleteDespiteSourceErrors && counterpart == Kind::folder) {
            StepFile unused;
            enterDestinationOnly(place, unused);  // tests alone: taken for empty, as without the rule
        }
        return true;
    }
    sortByName(listed);
    level.entries.reserve(listed.size());
    for (platform::FolderEntry& entry : listed) {
        level.entries.push_back({std::move(entry.name), entry.kind, entry.size, entry.key, -1});
    }
    listed = {};
    markTakenBy(level.entries);
    if (pairing() && !listCounterpart(level, place, counterpart == Kind::folder, file, told)) return true;
    if (copying() && has(MARLUNE_RUN_MIRROR)) {
        level.stalePartials = level.paired ? partialsAmong(level.counterpart, place) : stalePartialsIn(place);
    }
    level.folder = path;
    level.place = place;
    level.twiceOf = std::move(twiceOf);
    level.key = key;
    stack_.push_back(std::move(level));
    return true;
}

// The name by which the walk reached the resolved path `target` before the entry
// being planned; empty when it did not (yet). Folders walked through a followed
// link are not looked into: their resolved names are not the walk's.
std::string Planner::reachedEarlier(const std::string& target) const {
    if (target.empty()) return {};
    for (std::size_t i = stack_.size(); i-- > 0;) {
        const Level& level = stack_[i];
        const std::string folder = os_.resolvedPath(level.folder);
        if (folder.empty() || target.size() == folder.size() || !liesWithin(target, folder)) continue;
        std::size_t from = folder.size();
        while (from < target.size() && isSeparator(target[from])) ++from;
        std::size_t end = from;
        while (end < target.size() && !isSeparator(target[end])) ++end;
        const std::string first = target.substr(from, end - from);
        // Entries before the one being planned (or walked below) are done with.
        for (std::size_t e = 0; e + 1 < level.next; ++e) {
            const Entry& entry = level.entries[e];
            if (entry.kind != Kind::link && platform::foldedName(entry.name) == first) {
                return joinPath(level.folder, entry.name) + target.substr(end);
            }
        }
        return {};
    }
    for (std::size_t k = 0; k < current_; ++k) {
        const std::string resolved = resolvedOrPlanned(os_, operands_[k].path);
        if (resolved.empty() || !liesWithin(target, resolved)) continue;
        if (operands_[k].kind != Kind::folder && target != resolved) continue;
        return operands_[k].path + target.substr(resolved.size());
    }
    return {};
}

// The partial files in the copy of a folder at `place`, which a mirror's run that
// stopped left there, to be removed before its copies are written; none where
// the way there has anything but folders. Its names alone are listed.
std::vector<std::string> Planner::stalePartialsIn(const std::string& place) const {
    std::string folder = job_.root;
    for (std::size_t at = 0; at < place.size();) {
        std::size_t end = at;
        while (end < place.size() && !isSeparator(place[end])) ++end;
        if (end > at) {
            folder = joinPath(folder, place.substr(at, end - at));
            if (os_.kindOfName(folder) != Kind::folder) return {};
        }
        at = end + 1;
    }
    std::vector<std::string> names;
    int error = 0;
    if (!os_.namesEndingWith(folder, partialSuffix, names, error)) return {};
    std::sort(names.begin(), names.end(), std::greater<>());
    for (std::string& name : names) name = joinPath(folder, name);
    return names;
}

// The partial files among the listed entries of the destination folder at `place`.
std::vector<std::string> Planner::partialsAmong(const std::vector<platform::FolderEntry>& entries,
                                                const std::string& place) const {
    const std::string folder = place.empty() ? job_.root : joinPath(job_.root, place);
    std::vector<std::string> names;
    for (const platform::FolderEntry& entry : entries) {
        if (entry.kind == Kind::file && endsWith(entry.name, partialSuffix))
            names.push_back(joinPath(folder, entry.name));
    }
    std::sort(names.begin(), names.end(), std::greater<>());
    return names;
}

// Files of one folder that would write one name: the first in the order takes it.
void Planner::markTakenBy(std::vector<Entry>& entries) const {
    if (!namesCanMeet()) return;
    std::vector<std::pair<std::string, std::size_t>> names;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        if (entry.kind != Kind::file || endsWith(entry.name, partialSuffix)) continue;
        std::string kv = kvName(entry.name);
        if (converting() && kv == entry.name) continue;  // a .kv file writes nothing
        if (!kv.empty()) names.emplace_back(platform::foldedName(kv), i);
    }
    std::sort(names.begin(), names.end());
    for (std::size_t first = 0, i = 1; i < names.size(); ++i) {
        if (names[i].first != names[first].first) {
            first = i;
        } else {
            entries[names[i].second].takenBy = static_cast<std::int64_t>(names[first].second);
        }
    }
}

void Planner::planWalked(const Level& level, const Entry& entry, const std::string& path, std::uint64_t size,
                         const FileKey& key, StepFile& file) {
    file = StepFile{};
    ++filesPlanned;
    bytesPlanned += size;
    FileKey identity = key;
    const bool linked = converting() && entry.kind == Kind::link;
    // Windows lists no identity.
    if (!known(identity) && (!byKey_.empty() || !linkedFiles_.empty() || linked)) {
        os_.kindOf(path, size, identity);
    }
    if (converting()) {
        if (!level.twiceOf.empty()) {
            file.status = MARLUNE_NAMED_TWICE;
            file.other = joinPath(level.twiceOf, entry.name);
        }
        // A file reached through a link met earlier is converted under that name already.
        if (file.status == 0 && known(identity) && (linked || !linkedFiles_.empty())) {
            const auto earlier = linkedFiles_.find(tupleOf(identity));
            if (earlier != linkedFiles_.end()) {
                file.status = MARLUNE_NAMED_TWICE;
                file.other = earlier->second;
            } else if (linked) {
                linkedFiles_.emplace(tupleOf(identity), path);
            }
        }
        for (std::size_t j = givenWith(byKey_, identity.hash(), 0); j != std::string::npos && file.status == 0;
             j = givenWith(byKey_, identity.hash(), j + 1)) {
            if (operands_[j].kind != Kind::file || operands_[j].key != identity) continue;
            if (j < current_) {
                file.status = MARLUNE_NAMED_TWICE;
                file.other = operands_[j].path;
            } else if (j > current_) {
                reachedAt_.emplace(j, path);
            }
        }
    }
    if (file.status == 0 && entry.takenBy >= 0) {
        file.status = MARLUNE_RUN_COLLISION;
        file.other = joinPath(level.folder, level.entries[static_cast<std::size_t>(entry.takenBy)].name);
    }
    const std::string relative = copying() ? joinPath(level.place, entry.name) : std::string();
    if (file.status == 0 && namesCanMeet() && !byPlace_.empty() && !endsWith(entry.name, partialSuffix)) {
        const std::string kv = kvName(converting() ? entry.name : relative);
        const std::uint64_t hash = converting() ? placeHash(level.key, kv) : placeHash(kv);
        if (!(converting() && kv == entry.name)) {
            for (std::size_t j = givenWith(byPlace_, hash, 0); j != std::string::npos && file.status == 0;
                 j = givenWith(byPlace_, hash, j + 1)) {
                if (j < current_ && !operands_[j].settled) {
                    file.status = MARLUNE_RUN_COLLISION;
                    file.other = operands_[j].path;
                } else if (j > current_) {
                    takenBy_.emplace(j, path);
                }
            }
        }
    }
    finish(path, relative, size, file);
}

// What every planned file gets: its destination, its partial-file rule, and for
// copies the guard against replacing a file of the run.
void Planner::finish(const std::string& path, const std::string& relative, std::uint64_t size, StepFile& file) {
    file.source = path;
    file.bytes = size;
    const bool partial = endsWith(path, partialSuffix);
    if (converting()) {
        const std::string kv = kvName(path);
        if (kv != path && !partial) file.destination = kv;
        // Converting what a crash left would make a .kv of half a recording.
        if (partial && file.status == 0) {
            file.status = has(MARLUNE_RUN_JUDGE_ONLY) ? MARLUNE_RUN_PARTIAL_LEFT : MARLUNE_RUN_PARTIAL_REMOVED;
        }
        return;
    }
    if (!copying()) return;
    if (!relative.empty()) {
        const std::string destination = joinPath(job_.root, relative);
        file.destination = has(MARLUNE_RUN_KV_NAMES) ? kvName(destination) : destination;
    }
    if (partial) {
        file.status = MARLUNE_RUN_PARTIAL_LEFT;
        file.other.clear();
        return;
    }
    if (file.destination.empty()) return;
    const std::string landed = landsOn(file.destination);
    if (!landed.empty()) {
        file.status = MARLUNE_RUN_LANDS_ON_RUN_FILE;
        file.other = landed;
    }
    if (recorded_ && file.status == 0) {
        std::string name = file.destination.substr(std::min(job_.root.size(), file.destination.size()));
        while (!name.empty() && isSeparator(name.front())) name.erase(0, 1);
        file.expected = recordedDigest(name);
    }
}

// The lines come in the walk's order, as the run that wrote them delivered its copies:
// lines before the name are of files gone, a line after it waits for its file. Out of
// order (another tree's manifest), a name finds no line and its source is hashed.
std::string Planner::recordedDigest(const std::string& relative) {
    for (;;) {
        if (!recordedReady_) {
            bool bad = false;
            if (!recorded_->opened() || !recorded_->next(recordedName_, recordedDigest_, bad)) return {};
            if (bad) continue;
            recordedReady_ = true;
        }
        const int order = walkOrder(recordedName_, relative);
        if (order > 0) return {};
        recordedReady_ = false;
        if (order == 0) return recordedDigest_;
    }
}

// The file of the run that a copy to `destination` would replace; empty for none.
std::string Planner::landsOn(const std::string& destination) {
    const std::string folder = folderOf(destination);
    if (folder != lastFolder_) {
        lastFolder_ = folder;
        lastResolved_ = os_.resolvedPath(folder);
        // A folder the copies have yet to make will lie where its nearest existing one does.
        lastPlace_ = lastResolved_;
        for (std::string above = folder; lastPlace_.empty() && folderOf(above) != above;) {
            above = folderOf(above);
            lastPlace_ = os_.resolvedPath(above);
        }
    }
    // In a place that lies in no source folder, only a file named as an operand can be
    // there: without one, the name need not be looked at (as a tree of new copies mostly finds).
    const auto holds = [this](const std::pair<std::string, std::size_t>& source) {
        return liesWithin(lastPlace_, source.first);
    };
    const bool fileOperands = std::any_of(operands_.begin(), operands_.end(),
                                          [](const Operand& operand) { return operand.kind == Kind::file; });
    if (!fileOperands && !lastPlace_.empty() && std::none_of(sourceFolders_.begin(), sourceFolders_.end(), holds)) {
        return {};
    }
    std::uint64_t size = 0;
    FileKey key;
    if (os_.kindOf(destination, size, key) != Kind::file) return {};
    for (std::size_t j = givenWith(byKey_, key.hash(), 0); j != std::string::npos;
         j = givenWith(byKey_, key.hash(), j + 1)) {
        if (operands_[j].kind == Kind::file && operands_[j].key == key) return operands_[j].path;
    }
    if (lastResolved_.empty()) lastResolved_ = os_.resolvedPath(folder);  // made since
    for (const auto& [resolved, k] : sourceFolders_) {
        if (!liesWithin(lastResolved_, resolved)) continue;
        std::string rest = lastResolved_.substr(resolved.size());
        while (!rest.empty() && isSeparator(rest[0])) rest.erase(0, 1);
        return joinPath(rest.empty() ? operands_[k].path : joinPath(operands_[k].path, rest), nameOf(destination));
    }
    return {};
}

}  // namespace marlune::run

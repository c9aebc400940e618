#include "run/walk.h"

#include <algorithm>

#include "run/paths.h"

namespace marlune::run {
namespace {

using platform::Kind;

// The next component of `path` from `at`: its end.
std::size_t componentEnd(const std::string& path, std::size_t at) {
    while (at < path.size() && !isSeparator(path[at])) ++at;
    return at;
}


}  // namespace

int walkOrder(const std::string& a, const std::string& b) {
    std::size_t i = 0;
    std::size_t j = 0;
    for (;;) {
        if (i >= a.size() || j >= b.size()) return (i < a.size()) - (j < b.size());
        const std::size_t endA = componentEnd(a, i);
        const std::size_t endB = componentEnd(b, j);
        const int compared = a.compare(i, endA - i, b, j, endB - j);
        if (compared != 0) return compared;
        i = endA + 1;
        j = endB + 1;
    }
}

TreeWalk::TreeWalk(platform::Os& os, std::string root, bool skipPartials, bool followLinks)
    : os_(os), root_(std::move(root)), skipPartials_(skipPartials), followLinks_(followLinks) {
    std::uint64_t size = 0;
    platform::FileKey key;
    if (os_.kindOf(root_, size, key) != Kind::folder) {
        rootError_ = -1;
    } else if (!enter("", key, rootError_) && rootError_ == 0) {
        rootError_ = -1;
    }
}

bool TreeWalk::onTheWayDown(const platform::FileKey& key) const {
    for (const Level& level : stack_) {
        if (level.key == key) return true;
    }
    return false;
}

bool TreeWalk::enter(const std::string& relative, const platform::FileKey& key, int& error) {
    Level level;
    level.relative = relative;
    level.key = key;
    if (!os_.listFolder(relative.empty() ? root_ : joinPath(root_, relative), level.entries, error)) return false;
    std::sort(level.entries.begin(), level.entries.end(),
              [](const platform::FolderEntry& a, const platform::FolderEntry& b) { return a.name < b.name; });
    stack_.push_back(std::move(level));
    return true;
}

bool TreeWalk::next(WalkEntry& entry) {
    while (!stack_.empty()) {
        Level& level = stack_.back();
        if (level.next == level.entries.size()) {
            stack_.pop_back();
            continue;
        }
        const platform::FolderEntry& found = level.entries[level.next++];
        const std::string relative = joinPath(level.relative, found.name);
        Kind kind = found.kind;
        platform::FileKey key = found.key;
        if (kind == Kind::link && followLinks_) {
            std::uint64_t size = 0;
            const Kind reached = os_.kindOf(joinPath(root_, relative), size, key);
            // A link that leads nowhere, or back up its own way, stays a name of its own.
            if (reached == Kind::file || (reached == Kind::folder && !onTheWayDown(key))) kind = reached;
        }
        if (kind == Kind::folder) {
            int error = 0;
            if (enter(relative, key, error)) continue;
            entry = {relative, Kind::folder, error};
            return true;
        }
        if (kind != Kind::file && kind != Kind::link) continue;
        if (skipPartials_ && endsWith(found.name, partialSuffix)) continue;
        entry = {relative, kind, 0};
        return true;
    }
    return false;
}

PairPlan::PairPlan(platform::Os& os, Mode mode, std::string source, std::string destination, std::string manifest,
                   bool followLinks, DeletionRules rules)
    : os_(os),
      mode_(mode),
      rules_(std::move(rules)),
      sourceRoot_(std::move(source)),
      destinationRoot_(std::move(destination)),
      // A deletion is planned while the copies are written: their partial files are theirs.
      destinationWalk_(os, destinationRoot_, mode == Mode::remove) {
    if (!manifest.empty()) {
        manifest_ = std::make_unique<ManifestReader>(os_, manifest);
        if (!manifest_->opened()) manifestError = platform::lastSystemError() ? platform::lastSystemError() : -1;
    } else {
        sourceWalk_ = std::make_unique<TreeWalk>(os_, sourceRoot_, false, followLinks);
    }
    std::sort(rules_.kept.begin(), rules_.kept.end());
}

bool PairPlan::holdBack(StepFile& file, std::int32_t status, const std::string& path, int error) {
    heldBack_ = true;
    file = StepFile{};
    file.status = status;
    file.systemError = error;
    file.source = path;
    file.destination = destinationRoot_;
    return true;
}

// A record of the run's own, or one of its partial files (".tmp-" and 8 hex digits).
bool PairPlan::isKept(const std::string& relative) const {
    if (rules_.kept.empty()) return false;
    const std::string folded = platform::foldedName(relative);
    if (std::binary_search(rules_.kept.begin(), rules_.kept.end(), folded)) return true;
    const std::size_t mark = folded.rfind(".tmp-");
    if (mark == std::string::npos || folded.size() != mark + 13) return false;
    const std::string digits = folded.substr(mark + 5);
    return digits.find_first_not_of("0123456789abcdef") == std::string::npos &&
           std::binary_search(rules_.kept.begin(), rules_.kept.end(), folded.substr(0, mark));
}

bool PairPlan::pullSource() {
    if (sourceWalk_) return hasSource_ = sourceWalk_->next(source_);
    if (!manifest_ || !manifest_->opened()) return hasSource_ = false;
    const std::string previous = source_.relative;
    hasSource_ = manifest_->next(source_.relative, expected_, badLine_);
    source_.kind = Kind::file;
    // The merge needs the walk's order: a line out of it is told, as a bad line.
    if (hasSource_ && !badLine_ && !previous.empty() && walkOrder(previous, source_.relative) >= 0) badLine_ = true;
    if (badLine_) source_.relative = previous;
    return hasSource_;
}

bool PairPlan::pullDestination() {
    return hasDestination_ = destinationWalk_.next(destination_);
}

void PairPlan::plan(StepFile& file, const std::string& relative, std::int32_t status) {
    file = StepFile{};
    file.status = status;
    file.destination = joinPath(destinationRoot_, relative);
    file.source = manifest_ || mode_ == Mode::remove ? file.destination : joinPath(sourceRoot_, relative);
}

bool PairPlan::next(StepFile& file) {
    if (heldBack_) return false;
    if (!started_) {
        started_ = true;
        pullSource();
        pullDestination();
        if (mode_ == Mode::remove && sourceWalk_->rootError() != 0 && !rules_.despiteSourceErrors) {
            return holdBack(file, MARLUNE_RUN_DELETION_OFF, sourceRoot_, std::max(sourceWalk_->rootError(), 0));
        }
        // An empty source (a disk that did not mount) would empty the mirror.
        if (mode_ == Mode::remove && !hasSource_ && hasDestination_ && !rules_.fromEmpty) {
            return holdBack(file, MARLUNE_RUN_SOURCE_EMPTY, sourceRoot_, 0);
        }
    }
    for (;;) {
        if (hasSource_ && badLine_) {
            plan(file, "", MARLUNE_VERIFY_BAD_LINE);
            file.source = file.destination = destinationRoot_;
            pullSource();
            if (mode_ == Mode::verify) return true;
            continue;
        }
        const bool unreadable =
            (hasSource_ && source_.kind == Kind::folder) || (hasDestination_ && destination_.kind == Kind::folder);
        if (unreadable) {
            const bool inSource = hasSource_ && source_.kind == Kind::folder;
            const WalkEntry& folder = inSource ? source_ : destination_;
            // A deletion never removes what a folder of the source that cannot be read may hold.
            if (mode_ == Mode::remove && inSource && !rules_.despiteSourceErrors) {
                return holdBack(file, MARLUNE_RUN_DELETION_OFF, joinPath(sourceRoot_, folder.relative), folder.error);
            }
            plan(file, folder.relative, MARLUNE_RUN_FOLDER_UNREADABLE);
            file.systemError = folder.error;
            if (inSource) file.source = joinPath(sourceRoot_, folder.relative);
            inSource ? pullSource() : pullDestination();
            if (mode_ == Mode::remove) continue;
            return true;
        }
        if (!hasSource_ && !hasDestination_) return false;
        const int order = !hasSource_ ? 1 : !hasDestination_ ? -1 : walkOrder(source_.relative, destination_.relative);
        if (order < 0) {  // the destination lacks it
            plan(file, source_.relative, MARLUNE_VERIFY_MISSING);
            pullSource();
            if (mode_ == Mode::verify) return true;
            continue;
        }
        if (order > 0 && manifest_ && destination_.kind == Kind::link) {  // a manifest lists no links
            pullDestination();
            continue;
        }
        if (order > 0 && mode_ == Mode::remove && isKept(destination_.relative)) {
            pullDestination();
            continue;
        }
        if (order > 0 && mode_ == Mode::remove && rules_.most != 0 && removals_ == rules_.most) {
            return holdBack(file, MARLUNE_RUN_DELETE_LIMIT, joinPath(destinationRoot_, destination_.relative), 0);
        }
        if (order > 0) {  // the source lacks it
            if (mode_ == Mode::remove) ++removals_;
            plan(file, destination_.relative, mode_ == Mode::verify ? MARLUNE_VERIFY_EXTRA : 0);
            file.source = file.destination;
            file.remove = mode_ == Mode::remove;
            file.link = destination_.kind == Kind::link;
            pullDestination();
            return true;
        }
        plan(file, source_.relative, 0);
        file.link = source_.kind == Kind::link;
        file.expected = expected_;
        if (!manifest_ && source_.kind != destination_.kind) file.status = MARLUNE_VERIFY_DIFFERENT;
        if (manifest_ && destination_.kind != Kind::file) file.status = MARLUNE_VERIFY_DIFFERENT;
        pullSource();
        pullDestination();
        if (mode_ == Mode::verify) return true;
    }
}

}  // namespace marlune::run

#include "records/records.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <random>

#include "boundary/api.h"
#include "container/layout.h"
#include "platform/folders.h"
#include "records/text.h"
#include "run/job_policy.h"
#include "run/paths.h"

namespace marlune::records {
namespace {

constexpr int nameAttempts = 16;

std::uint64_t nowNs() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

// One line whatever the host gave: a control character would split it.
std::string oneLine(std::string text) {
    std::replace_if(
        text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    return text;
}

std::string given(const char* text) {
    return text ? text : "";
}

bool wanted(const char* path) {
    return path && *path;
}

// A recording, which no record of a run replaces or extends, whatever name a caller
// gives it by mistake: a container's whole header, its chunks starting within the
// file. A list whose first name begins as a magic does ("fx30/take.snd") has text
// where the header's dataOffset lies, which points far past its end.
bool holdsRecording(const std::string& path) {
    platform::File file;
    container::Header header{};
    if (!file.openForReading(platform::unicodeOs(), path.c_str())) return false;
    if (file.read(header.data(), header.size()) != static_cast<std::int64_t>(header.size())) return false;
    const std::uint32_t chunks = container::dataOffset(header);
    return container::hasContainerMagic(header) && chunks >= header.size() && chunks <= file.sizeAtOpen();
}

// Whether the file at `path` begins as a log of ours does.
bool isOurLog(const std::string& path) {
    platform::File file;
    if (!file.openForReading(platform::unicodeOs(), path.c_str())) return false;
    static const char mark[] = "# marlune ";
    char start[sizeof mark - 1] = {};
    return file.read(start, sizeof start) == static_cast<std::int64_t>(sizeof start) &&
           std::memcmp(start, mark, sizeof start) == 0;
}

// Which file of the run's trees a record at `path` would take the place of: one of
// the source tree, one a copy from `source` would write under `destination`, or none.
enum class TreeFile { none, ofSource, ofCopy };

TreeFile treeFileAt(const std::string& path, const std::string& source, const std::string& destination) {
    if (source.empty()) return TreeFile::none;
    platform::Os& os = platform::unicodeOs();
    const std::string resolved = run::resolvedOrPlanned(os, path);
    const std::string from = os.resolvedPath(source);
    if (resolved.empty() || from.empty()) return TreeFile::none;
    if (run::liesWithin(resolved, from)) {
        const platform::Kind kind = os.kindOfName(path);
        return kind == platform::Kind::missing || kind == platform::Kind::folder ? TreeFile::none : TreeFile::ofSource;
    }
    const std::string to = destination.empty() ? std::string() : run::resolvedOrPlanned(os, destination);
    if (to.empty() || resolved.size() <= to.size() || !run::liesWithin(resolved, to)) return TreeFile::none;
    std::string relative = resolved.substr(to.size());
    while (!relative.empty() && run::isSeparator(relative.front())) relative.erase(0, 1);
    return os.kindOfName(run::joinPath(from, relative)) == platform::Kind::missing ? TreeFile::none
                                                                                  : TreeFile::ofCopy;
}

// A record that replaces its file never takes a file of the trees; a log, appended,
// goes on in the source tree only from a log of ours, and never where a copy goes.
bool recordRefused(const char* path, const std::string& source, const std::string& destination, bool appended) {
    const TreeFile taken = treeFileAt(path, source, destination);
    if (!appended) return taken != TreeFile::none;
    return taken == TreeFile::ofCopy || (taken == TreeFile::ofSource && !isOurLog(path));
}

std::size_t sizeBin(std::uint64_t bytes) {
    std::size_t bin = 0;
    for (std::uint64_t limit = 1024; bytes >= limit && bin + 1 < PageFacts::sizeBins; limit *= 4) ++bin;
    return bin;
}

}  // namespace

PendingFile::~PendingFile() {
    if (!file_.isOpen()) return;
    file_.close();
    platform::unicodeOs().deleteFile(temporary_.c_str());
}

bool PendingFile::create(const std::string& path) {
    path_ = path;
    std::random_device random;
    for (int attempt = 0; attempt < nameAttempts; ++attempt) {
        char suffix[32];
        std::snprintf(suffix, sizeof suffix, ".tmp-%08x", static_cast<unsigned>(random()));
        temporary_ = path + suffix;
        // A new name only: a link or a file someone planted there is never written through.
        if (file_.createNew(platform::unicodeOs(), temporary_.c_str())) return true;
        if (platform::kindOf(file_.error()) != platform::ErrorKind::exists) return false;
    }
    return false;
}

bool PendingFile::write(const std::string& text) {
    if (!file_.isOpen() || failed_) return false;
    failed_ = !file_.write(text.data(), text.size());
    return !failed_;
}

bool PendingFile::moveIntoPlace() {
    if (!file_.isOpen()) return true;
    platform::Os& os = platform::unicodeOs();
    // A recording that took the name during the run (a conversion's .kv) stays: the
    // name is taken only while free, or over a file that is no recording.
    const bool moved = !failed_ && file_.sync() &&
                       (os.move(file_.handle(), temporary_.c_str(), path_.c_str(), false) ||
                        (!holdsRecording(path_) && os.move(file_.handle(), temporary_.c_str(), path_.c_str(), true)));
    const bool closed = file_.close();
    if (!moved) os.deleteFile(temporary_.c_str());
    return moved && closed;
}

std::int32_t Records::open(const marlune_records_options& options) {
    const auto take = [&](auto member, auto fallback) {
        return holds(options.size, member) ? options.*member : fallback;
    };
    const char* none = nullptr;
    kind_.job = take(&marlune_records_options::job, std::int32_t{MARLUNE_JOB_EXAMINE});
    kind_.flags = take(&marlune_records_options::flags, std::uint32_t{0});
    kind_.command = given(take(&marlune_records_options::command, none));
    header_.version = marlune_version();
    header_.command = kind_.command;
    header_.commandLine = oneLine(given(take(&marlune_records_options::command_line, none)));
    const char* folder = take(&marlune_records_options::folder, none);
    header_.folder = shellEscaped(folder ? folder : platform::workingFolder());
    header_.started = platform::utcTimestamp();
    logAll_ = take(&marlune_records_options::log_all, std::int32_t{0}) != 0;
    destinationFolder_ = given(take(&marlune_records_options::destination_folder, none));
    header_.job = kind_.job;
    header_.flags = kind_.flags;
    header_.destination = destinationFolder_;
    header_.source = given(take(&marlune_records_options::source_folder, none));
    header_.manifest = given(take(&marlune_records_options::manifest, none));
    // The manifest a verify reads is the one of its last writing; a mirror's is told at the end.
    platform::FileAttributes manifest;
    if (kind_.job == MARLUNE_JOB_VERIFY && !header_.manifest.empty() &&
        platform::unicodeOs().regularFileAttributes(header_.manifest, manifest)) {
        header_.manifestDate = platform::utcTimestampOf(manifest.modified);
    }
    const std::uint32_t rows = take(&marlune_records_options::html_rows, std::uint32_t{0});
    pageRows_ = rows == 0 ? 1000 : rows;
    started_ = nowNs();

    const char* log = take(&marlune_records_options::log, none);
    const char* failedList = take(&marlune_records_options::failed_list, none);
    const char* suspectList = take(&marlune_records_options::suspect_list, none);
    const char* csv = take(&marlune_records_options::csv, none);
    const char* html = take(&marlune_records_options::html, none);
    for (const char* path : {log, failedList, suspectList, csv, html}) {
        if (wanted(path) && holdsRecording(path)) return MARLUNE_DESTINATION_EXISTS;
    }
    // Checked before anything is made: a record is the run's, never a file of its trees.
    for (const char* path : {log, failedList, suspectList, csv, html}) {
        if (wanted(path) && recordRefused(path, header_.source, destinationFolder_, path == log)) {
            return MARLUNE_RUN_LANDS_ON_RUN_FILE;
        }
    }
    if (wanted(failedList) && !failed_.create(failedList)) return MARLUNE_DESTINATION_UNCREATABLE;
    if (wanted(suspectList) && !suspects_.create(suspectList)) return MARLUNE_DESTINATION_UNCREATABLE;
    if (wanted(csv) && !csv_.create(csv)) return MARLUNE_DESTINATION_UNCREATABLE;
    if (wanted(html) && !page_.create(html)) return MARLUNE_DESTINATION_UNCREATABLE;
    writePage_ = wanted(html);
    if (wanted(csv)) {
        marlune_run_result none_{};
        if (!wrote(csv_.write(csvHeader(recordFields(kind_, none_))), csv_)) return writeFailure();
    }
    // The log last: a run refused leaves no header of a run that never was.
    if (wanted(log)) {
        if (!log_.openForAppending(platform::unicodeOs(), log)) return MARLUNE_DESTINATION_UNCREATABLE;
        const std::string line = "# marlune " + header_.version + " " + header_.command + " started " +
                                 header_.started + " in " + header_.folder + ": " + header_.commandLine + "\n";
        if (!wrote(log_.write(line.data(), line.size()), log_)) return writeFailure();
    }
    return MARLUNE_OK;
}

std::int32_t Records::writeFailure() const {
    return writeError_ == 0 ? MARLUNE_WRITE_ERROR : writeFailureStatus(writeError_);
}

bool Records::logs(std::int32_t outcome) const {
    if (logAll_) return true;
    switch (outcome) {
        case MARLUNE_OUTCOME_FAILED:
        case MARLUNE_OUTCOME_COLLISION:
        case MARLUNE_OUTCOME_KEPT:
        case MARLUNE_OUTCOME_SUSPECT:
        case MARLUNE_OUTCOME_CANCELLED:
        case MARLUNE_OUTCOME_DIFFERENT:
        case MARLUNE_OUTCOME_DAMAGED:
        case MARLUNE_OUTCOME_RESTORED:
            return true;
        default:
            return false;
    }
}

std::int32_t Records::add(const marlune_run_result& result) {
    // Only the CSV rows and the page take every field.
    const std::vector<Field> fields = csv_.isOpen() || writePage_ ? recordFields(kind_, result) : std::vector<Field>();
    const std::string path = given(result.path);
    const bool known = result.outcome >= 0 && result.outcome < MARLUNE_OUTCOME_COUNT;
    ++totals_.files;
    if (known) ++totals_.outcomes[static_cast<std::size_t>(result.outcome)];
    if (result.outcome == MARLUNE_OUTCOME_FAILED) {
        const int error = result.report ? result.report->system_error : 0;
        const bool full = error != 0 && platform::kindOf(error) == platform::ErrorKind::diskFull;
        if (result.status == MARLUNE_DISK_FULL || full) ++totals_.failedForRoom;
        if (isDamaged(result.status)) ++totals_.failedDamaged;
    }
    if (result.report) {
        totals_.bytesRead += result.report->source_bytes;
        if (run::policyOf(kind_.job, kind_.flags).writes) {
            totals_.bytesWritten += result.report->bytes_written;
        }
    }
    bool written = true;
    if (log_.isOpen() && logs(result.outcome)) {
        const char* outcome = marlune_outcome_name(result.outcome);
        const std::string line =
            shellEscaped(path) + ": " + (outcome ? outcome : "?") + ": " + oneLine(given(result.reason)) + "\n";
        written = wrote(log_.write(line.data(), line.size()), log_) && written;
    }
    // NUL-ended, nothing a name can hold lost or split; by its place under the
    // destination, so that --files-from takes it back there.
    const std::string listed = run::placeOf(path, given(result.destination), destinationFolder_) + '\0';
    const bool failed = result.outcome == MARLUNE_OUTCOME_FAILED || result.outcome == MARLUNE_OUTCOME_COLLISION;
    if (failed_.isOpen() && failed) written = wrote(failed_.write(listed), failed_) && written;
    if (suspects_.isOpen() && result.outcome == MARLUNE_OUTCOME_SUSPECT) {
        written = wrote(suspects_.write(listed), suspects_) && written;
    }
    if (csv_.isOpen()) written = wrote(csv_.write(csvRow(fields)), csv_) && written;
    if (writePage_) noteForPage(result, fields);
    if (!written) writeFailed_ = true;
    return written ? MARLUNE_OK : writeFailure();
}

void Records::noteForPage(const marlune_run_result& result, const std::vector<Field>& fields) {
    ++facts_.statuses[result.status];
    marlune_report report{};
    if (result.report) report = *result.report;
    const bool opened = result.status != MARLUNE_RUN_FOLDER_UNREADABLE && report.source_bytes != 0;
    if (opened || result.status == MARLUNE_OK) ++facts_.sizes[sizeBin(report.source_bytes)];
    const char* piece = cutPieceOf(result.status, report);
    if (piece) ++facts_.cuts[sizeBin(report.cut_offset)];
    switch (result.outcome) {
        case MARLUNE_OUTCOME_FAILED:
        case MARLUNE_OUTCOME_COLLISION:
        case MARLUNE_OUTCOME_DIFFERENT:
        case MARLUNE_OUTCOME_SUSPECT:
            break;
        default:
            if (!piece) return;
    }
    if (facts_.rows.size() >= pageRows_) {
        ++facts_.rowsLeft;
        return;
    }
    PageFacts::Row row;
    row.file = shellEscaped(given(result.path));
    row.status = result.status;
    for (const Field& field : fields) {
        if (field.key == "outcome") row.outcome = field.value;
    }
    row.piece = piece ? piece : "";
    row.offset = piece ? report.cut_offset : 0;
    row.size = report.source_bytes;
    row.missing = piece ? report.cut_missing : 0;
    facts_.rows.push_back(std::move(row));
}

Totals Records::totalsWith(const marlune_run_tally* tally) const {
    Totals totals = totals_;
    // The run ends when its summary is first asked for: every summary says the same.
    if (ended_ == 0) ended_ = nowNs();
    totals.seconds = static_cast<double>(ended_ - started_) / 1e9;
    if (tally) {
        const auto take = [&](auto member) { return holds(tally->size, member) ? tally->*member : 0; };
        totals.notStarted = take(&marlune_run_tally::not_started);
        totals.linksNotFollowed = take(&marlune_run_tally::links_not_followed);
        totals.stoppedBy = take(&marlune_run_tally::stopped_by);
        totals.bytesNotWritten = take(&marlune_run_tally::bytes_not_written);
        totals.manifestTold = take(&marlune_run_tally::manifest_told) != 0;
        totals.manifestStatus = take(&marlune_run_tally::manifest_status);
        // The engine's true counts, failed files too, where it gives them.
        if (holds(tally->size, &marlune_run_tally::bytes_written)) {
            totals.bytesRead = tally->bytes_read;
            totals.bytesWritten = tally->bytes_written;
        }
    }
    return totals;
}

namespace {

std::array<const char*, 4> textsOf(const marlune_run_result& result) {
    return {result.path, result.destination, result.other, result.reason};
}

}  // namespace

bool Records::Asked::matches(const marlune_run_result& result) const {
    if (!held || result.status != status || result.outcome != outcome || (result.report != nullptr) != hasReport) {
        return false;
    }
    if (hasReport && std::memcmp(result.report, &report, sizeof report) != 0) return false;
    const std::array<const char*, 4> now = textsOf(result);
    for (std::size_t i = 0; i < now.size(); ++i) {
        if ((now[i] != nullptr) != given[i] || (now[i] && texts[i] != now[i])) return false;
    }
    return true;
}

void Records::Asked::hold(const marlune_run_result& result, std::vector<Field> made) {
    held = true;
    status = result.status;
    outcome = result.outcome;
    hasReport = result.report != nullptr;
    if (hasReport) report = *result.report;
    const std::array<const char*, 4> now = textsOf(result);
    for (std::size_t i = 0; i < now.size(); ++i) {
        given[i] = now[i] != nullptr;
        texts[i] = now[i] ? now[i] : "";
    }
    fields = std::move(made);
}

bool Records::field(const marlune_run_result& result, const std::string& key, std::string& value) const {
    if (!asked_.matches(result)) asked_.hold(result, recordFields(kind_, result));
    for (const Field& field : asked_.fields) {
        if (field.key != key) continue;
        value = field.value;
        return field.kind != Field::Kind::null;
    }
    return false;
}

std::string Records::summaryJson(const marlune_run_tally* tally, bool cancelled) const {
    // The summary's key for each outcome it counts, in the outcomes' order.
    static const char* const keys[] = {
        "converted", "copied",     "salvaged", "complete",        "wouldConvert", "alreadyKv", "skipped",
        "kept",      "failed",     "finished", "partialsRemoved", "collisions",   "cancelled", "suspects",
        "unchanged", "copiedAsIs", "damaged",  "linked",          "deleted",      "matched",   "different",
        "restored",
    };
    const Totals totals = totalsWith(tally);
    const std::vector<Finding> verdict = verdictOf(header_, totals);
    const auto number = [](std::uint64_t value) { return std::to_string(value); };
    const bool dryRun = run::policyOf(kind_.job, kind_.flags).dryRun;
    std::string out = "{\"record\": \"summary\", \"command\": " + jsonString(kind_.command) +
                      ", \"dryRun\": " + (dryRun ? "true" : "false") +
                      ", \"files\": " + number(totals.files + totals.notStarted);
    for (std::size_t i = 0; i < std::size(keys); ++i)
        out += ", \"" + std::string(keys[i]) + "\": " + number(totals.outcomes[i]);
    const double perSecond = totals.seconds > 0 ? static_cast<double>(totals.bytesRead) / totals.seconds : 0;
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", totals.seconds);
    return out + ", \"notStarted\": " + number(totals.notStarted) +
           ", \"interrupted\": " + (cancelled ? "true" : "false") +
           ", \"linksNotFollowed\": " + number(totals.linksNotFollowed) + ", \"bytesIn\": " + number(totals.bytesRead) +
           ", \"bytesOut\": " + number(totals.bytesWritten) + ", \"seconds\": " + seconds +
           ", \"bytesPerSecond\": " + number(static_cast<std::uint64_t>(perSecond)) +
           // The page's answer, for a program: whether nothing is amiss, and its first sentence.
           ", \"safe\": " + (verdict.front().tone == Finding::Tone::safe ? "true" : "false") +
           ", \"verdict\": " + jsonString(verdict.front().sentence) + "}";
}

std::int32_t Records::close(const marlune_run_tally* tally) {
    totals_ = totalsWith(tally);
    bool ok = !writeFailed_;
    if (log_.isOpen()) {
        const std::string line = "# " + summaryLine(totals_) + "\n";
        ok = wrote(log_.write(line.data(), line.size()), log_) && ok;
        ok = wrote(log_.close(), log_) && ok;
    }
    if (writePage_) ok = wrote(page_.write(pageText(header_, totals_, facts_)), page_) && ok;
    for (PendingFile* file : {&failed_, &suspects_, &csv_, &page_}) ok = wrote(file->moveIntoPlace(), *file) && ok;
    return ok ? MARLUNE_OK : writeFailure();
}

std::string summaryLine(const Totals& totals) {
    std::string out = "summary: " + std::to_string(totals.files + totals.notStarted) + " files";
    std::string counts;
    for (std::size_t i = 0; i < totals.outcomes.size(); ++i) {
        const char* name = marlune_outcome_name(static_cast<std::int32_t>(i));
        if (totals.outcomes[i] == 0 || !name) continue;
        counts += (counts.empty() ? ": " : ", ") + std::to_string(totals.outcomes[i]) + " " + name;
    }
    out += counts;
    if (totals.notStarted != 0) out += ", " + std::to_string(totals.notStarted) + " not started";
    if (totals.linksNotFollowed != 0) out += ", " + std::to_string(totals.linksNotFollowed) + " links not followed";
    char tail[96];
    std::snprintf(tail, sizeof tail, "; %llu bytes read, %llu bytes written, %.3f s",
                  static_cast<unsigned long long>(totals.bytesRead),
                  static_cast<unsigned long long>(totals.bytesWritten), totals.seconds);
    return out + tail;
}

}  // namespace marlune::records

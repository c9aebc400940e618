// A command run over files through the library's run engine: the output in the run's
// order (text lines or JSON records), the progress line, the library's records, the
// summary and the exit status. The library says what became of each file; each
// command says it in its own words.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <numeric>
#include <string>
#include <vector>

#include "marlune.h"

namespace marlune::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;
inline constexpr int exitInterrupted = 130;
// What shells show for a process that SIGPIPE ended: the output was closed (or failed).
inline constexpr int exitOutputClosed = 141;

// Told on standard error and in the log, and failing the run (but in a dry run).
inline bool isProblem(std::int32_t outcome) {
    return outcome == MARLUNE_OUTCOME_FAILED || outcome == MARLUNE_OUTCOME_KEPT ||
           outcome == MARLUNE_OUTCOME_COLLISION || outcome == MARLUNE_OUTCOME_DIFFERENT;
}

inline marlune_report emptyReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

// A text the library writes into a buffer it sizes: `write(text, size)` returns
// the bytes the text takes with its null, 0 for none.
template <class Write>
std::string libraryText(Write write) {
    std::string text(write(nullptr, 0), '\0');
    if (text.empty()) return text;
    write(text.data(), static_cast<std::uint32_t>(text.size()));
    text.pop_back();
    return text;
}

// The library's record of one file: the facts a command's text tells.
class Record {
public:
    Record(const marlune_records* records, const marlune_run_result& result) : records_(records), result_(result) {}
    // The field's value as the JSON record gives it; false when it is null.
    bool field(const char* key, std::string& value) const;

private:
    const marlune_records* records_;
    const marlune_run_result& result_;
};

// One file's result: the library's outcome, status, report and sentence.
struct FileResult {
    std::int32_t outcome = MARLUNE_OUTCOME_FAILED;
    std::int32_t status = MARLUNE_RUN_FOLDER_UNREADABLE;
    bool judged() const { return status != MARLUNE_RUN_FOLDER_UNREADABLE; }  // a folder that could not be read is not
    marlune_report report = emptyReport();
    std::string destination;  // empty: none
    std::string other;        // the other file of a collision; empty: none
    std::string reason;       // in words
};

// A single call's result for a file of the job, worded as a run's; its outcome is the command's to say.
FileResult judged(std::int32_t job, std::int32_t status, const marlune_report& report);

// The engine's counts, summed over the command's runs and single files.
struct Tally : marlune_run_tally {
    Tally() : marlune_run_tally{} { size = sizeof(marlune_run_tally); }
    double seconds = 0;
    bool interrupted = false;
    bool manifestLeft = false;  // a manifest asked for was not written by a run stopped short
    std::uint64_t operator[](std::int32_t outcome) const { return outcomes[static_cast<std::size_t>(outcome)]; }
    // The files told of, and those not started.
    std::uint64_t files() const { return std::accumulate(std::begin(outcomes), std::end(outcomes), not_started); }
};

// What the engine is given: a file or folder, and for copies whether a folder's
// entries go straight into the destination (copy -r SOURCE DESTINATION).
struct Operand {
    std::string path;
    bool contents = false;
    bool single = false;  // worked on alone by Command::single (standard input, one copy)
};

class Command {
public:
    virtual ~Command() = default;
    virtual const char* name() const = 0;
    virtual bool dryRun() const { return false; }
    // The engine's job for a run of many files.
    virtual marlune_run_options job() const = 0;
    // One file without the engine (standard input, a copy of one file); by default none.
    virtual FileResult single(const std::string& file);
    // The text for a file: a line, or a block of lines; empty for none.
    virtual std::string text(const std::string& file, const FileResult& result, const Record& record) const = 0;
    // Whether the text goes to standard error (as "marlune: TEXT"), also with --json.
    virtual bool toError(const FileResult& result) const { return isProblem(result.outcome) && !dryRun(); }
    // Blocks of several lines, a blank line between them.
    virtual bool blocks() const { return false; }
    // The summary's lines of counts, and whether the text summary goes to standard output.
    virtual std::string counts(const Tally&) const { return {}; }
    virtual bool summaryShown(const Tally&) const { return true; }
    virtual bool writes() const { return true; }
};

struct RunSettings {
    unsigned workers = 0;  // 0: one per processor
    bool json = false;
    bool progress = false;  // the progress line on standard error
    bool strict = false;    // a suspect fails the run
    // The library's records (marlune_records_options); empty: none.
    std::string log, failedList, suspectList, csv, report;
    bool logAll = false;
    std::string commandLine;  // for the records' header
};

// The runs of a command: operands for the engine, and "-" between them for standard input.
// Returns the exit status: 0, 1 when a file failed (or collided, or with `strict` is a
// suspect) or the records could not be written, 2 for operands the
// engine refuses before any work, 130 when interrupted, 141 when standard output could
// not be written.
int runCommand(const std::vector<Operand>& operands, const RunSettings& settings, Command& command);

// The library's records of the run as the settings ask for them (the strings stay the settings'
// and the operands' own).
marlune_records_options recordsOptions(const RunSettings& settings, const Command& command,
                                       const std::vector<Operand>& operands);

// A name for a line of text: escaped where it would break the line or hide a byte.
std::string shown(const std::string& name);

// A command's words for an outcome: "%t" stands for the destination, "%r" for the reason.
inline constexpr std::int32_t anyOutcome = -1;
struct Words {
    std::int32_t outcome;  // anyOutcome: any not before it in its table
    std::string text;
};
// The file's line in the words its outcome has in `table`; empty when it has none.
std::string worded(const std::string& file, const FileResult& result, std::initializer_list<Words> table);

// "N partial files", "1 partial file".
std::string counted(std::uint64_t count, const char* one, const char* many);
// ", N suspect (...), N cancelled", for the counts that only some runs meet.
std::string countsIfMet(const Tally& tally);
// The run's summary in text: what stopped it, the command's counts, the bytes and the time.
std::string summaryText(const Command& command, const Tally& tally);
// The one sentence for a run that a full destination stopped (empty for any other run).
std::string stoppedText(const Tally& tally);

}  // namespace marlune::cli

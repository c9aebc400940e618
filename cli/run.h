// A command run over files through the library's run engine: the output in the
// run's order (text lines or JSON records), the progress line, the log, the
// summary and the exit status. Each command says what a result means and in
// which words.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "json.h"
#include "marlune.h"
#include "statuses.h"

namespace marlune::cli {

inline constexpr int exitSuccess = 0;
inline constexpr int exitFailure = 1;
inline constexpr int exitUsage = 2;
inline constexpr int exitInterrupted = 130;
// What shells show for a process that SIGPIPE ended: the output was closed (or failed).
inline constexpr int exitOutputClosed = 141;

// In the order the JSON summary counts them.
enum class Outcome {
    converted,
    copied,
    salvaged,
    complete,
    wouldConvert,
    alreadyKv,
    skipped,
    kept,
    failed,
    finished,        // the .kv held this file's conversion already; the source removed
    partialRemoved,  // a partial file that no one was writing any more
    collision,       // an earlier file of the run takes its name, or is the same file
    unchanged,       // a mirror's copy that matches its source
    copiedAsIs,      // a mirror's byte-for-byte copy of a file that is no container
    damaged,         // a mirror's byte-for-byte copy of a damaged container
    linked,          // a mirror's symbolic link made anew
    deleted,         // a mirror's --delete removed it
    matched,         // verify: equal
    different,       // verify: missing, extra or unequal
};
inline constexpr std::size_t outcomeCount = 19;
// A mirror's or verify's outcome from the engine: those from "unchanged" on, in this order.
inline Outcome fromEngine(std::int32_t outcome) {
    return static_cast<Outcome>(outcome - MARLUNE_OUTCOME_UNCHANGED + static_cast<int>(Outcome::unchanged));
}

// Told on standard error and in the log, and failing the run (but in a dry run).
inline bool isProblem(Outcome outcome) {
    return outcome == Outcome::failed || outcome == Outcome::kept || outcome == Outcome::collision ||
           outcome == Outcome::different;
}

// One file's result as the library gave it.
struct Answer {
    std::int32_t status = MARLUNE_OK;
    std::string file;
    std::string destination;  // empty: none
    std::string other;        // the other file of a collision
    marlune_report report = emptyReport();
    std::int32_t outcome = -1;  // the engine's MARLUNE_OUTCOME_*, where it gave one
};

struct FileResult {
    Outcome outcome = Outcome::failed;
    bool hasStatus = false;  // the library judged the file
    std::int32_t status = 0;
    marlune_report report = emptyReport();
    std::string destination;  // empty: none
    std::string reason;       // in words
    Json json;                // the command's own members of the file's record
};

// A result with the library's status, report and sentence.
FileResult judged(const Answer& answer, std::int32_t job = MARLUNE_JOB_COPY);

struct Tally {
    std::array<std::size_t, outcomeCount> counts{};
    std::size_t files = 0;
    std::size_t notStarted = 0;
    std::uint64_t linksNotFollowed = 0;
    std::uint64_t bytesIn = 0;
    std::uint64_t bytesOut = 0;
    double seconds = 0;
    bool interrupted = false;
    std::size_t operator[](Outcome outcome) const { return counts[static_cast<std::size_t>(outcome)]; }
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
    // What the library's answer for a file means for this command.
    virtual FileResult judge(const Answer& answer) const = 0;
    // The text for a file: a line, or a block of lines; empty for none.
    virtual std::string text(const std::string& file, const FileResult& result) const = 0;
    // Whether the text goes to standard error (as "marlune: TEXT"), also with --json.
    virtual bool toError(const FileResult& result) const { return isProblem(result.outcome) && !dryRun(); }
    // Blocks of several lines, a blank line between them.
    virtual bool blocks() const { return false; }
    // The summary's lines of counts.
    virtual std::string counts(const Tally& tally) const = 0;
    // Whether the text summary goes to standard output (the log always has it).
    virtual bool summaryShown(const Tally& tally) const = 0;
    virtual bool writes() const { return true; }
};

struct RunSettings {
    unsigned workers = 0;  // 0: one per processor
    bool json = false;
    bool progress = false;  // the progress line on standard error
    std::string log;        // a file for the failures and the summary; empty: none
};

// The runs of a command: operands for the engine, and "-" between them for standard input.
// Returns the exit status: 0, 1 when a file failed (or collided), 2 for operands the
// engine refuses before any work, 130 when interrupted, 141 when standard output could
// not be written.
int runCommand(const std::vector<Operand>& operands, const RunSettings& settings, Command& command);

// "N partial files", "1 partial file".
std::string counted(std::uint64_t count, const char* one, const char* many);

}  // namespace marlune::cli

// The records of a run: the log, the lists of names to feed back, the CSV
// table and the report page, written from the results as they come.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "marlune.h"
#include "platform/file.h"
#include "records/fields.h"

namespace marlune::records {

// A file written under a new name beside `path` and moved over it once whole;
// removed when it never is.
class PendingFile {
public:
    PendingFile() = default;
    ~PendingFile();
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool create(const std::string& path);
    bool isOpen() const { return file_.isOpen(); }
    bool write(const std::string& text);
    // The system's code of the write or sync that failed.
    int error() const { return file_.error(); }
    // Synced, then moved over its name.
    bool moveIntoPlace();

private:
    platform::File file_;
    std::string path_;
    std::string temporary_;
    bool failed_ = false;
};

// What the page shows, kept as counts: flat in the number of files.
struct PageFacts {
    static constexpr std::size_t sizeBins = 12;  // under 1 KiB, then by factors of 4 (sizes and cut offsets)
    struct Row {
        std::string file;
        std::string outcome;
        std::int32_t status = MARLUNE_OK;
        std::string piece;
        std::uint64_t offset = 0;
        std::uint64_t size = 0;
        std::uint64_t missing = 0;
    };
    std::array<std::uint64_t, sizeBins> sizes{};
    std::array<std::uint64_t, sizeBins> cuts{};  // by the offset of the piece cut short
    std::map<std::int32_t, std::uint64_t> statuses;
    std::vector<Row> rows;
    std::uint64_t rowsLeft = 0;  // failed, damaged and suspect files beyond the table
};

struct Totals {
    std::array<std::uint64_t, MARLUNE_OUTCOME_COUNT> outcomes{};
    std::uint64_t files = 0;
    std::uint64_t notStarted = 0;
    std::uint64_t linksNotFollowed = 0;
    std::uint64_t bytesRead = 0;
    std::uint64_t bytesWritten = 0;
    double seconds = 0;
    std::int32_t stoppedBy = MARLUNE_OK;  // marlune_run_tally.stopped_by
    std::uint64_t bytesNotWritten = 0;
    std::uint64_t failedForRoom = 0;  // failed because the destination was full
    std::uint64_t failedDamaged = 0;  // failed because the container is cut short
    bool manifestTold = false;
    std::int32_t manifestStatus = MARLUNE_OK;
};

struct Header {
    std::string version;
    std::string command;
    std::string commandLine;
    std::string folder;
    std::string started;  // UTC
    std::int32_t job = MARLUNE_JOB_EXAMINE;
    std::uint32_t flags = 0;
    std::string source;        // the folder the files came from; empty: not one
    std::string destination;   // the folder they went to (verify: the one checked); empty: none
    std::string manifest;      // the manifest written or checked against; empty: none
    std::string manifestDate;  // when that manifest was last written (UTC); empty: not known
};

// The page's answer to "is what the run looked after safe?": one sentence and
// its colour, worst first, then what else the run found.
struct Finding {
    enum class Tone { safe, warning, unsafe };
    Tone tone;
    std::string sentence;
};
std::vector<Finding> verdictOf(const Header& header, const Totals& totals);
// "1.6 GiB", "512 bytes"; "2 min 5 s", "0.4 s".
std::string readableBytes(std::uint64_t bytes);
std::string readableSeconds(double seconds);

std::string pageText(const Header& header, const Totals& totals, const PageFacts& facts);
std::string summaryLine(const Totals& totals);

class Records {
public:
    // Returns a status.
    std::int32_t open(const marlune_records_options& options);
    std::int32_t add(const marlune_run_result& result);
    std::int32_t close(const marlune_run_tally* tally);
    std::string json(const marlune_run_result& result) const { return jsonRecord(recordFields(kind_, result)); }
    // The record's field as text; false for a null field or a key it lacks.
    bool field(const marlune_run_result& result, const std::string& key, std::string& value) const;
    // The run's summary as one JSON object: the results added and the engine's tally.
    std::string summaryJson(const marlune_run_tally* tally, bool cancelled) const;

private:
    bool logs(std::int32_t outcome) const;
    // `ok`, keeping the first failure's system code (the file's, read once it failed) for writeFailure().
    template <typename Written>
    bool wrote(bool ok, const Written& file) {
        if (!ok && writeError_ == 0) writeError_ = file.error();
        return ok;
    }
    // MARLUNE_DISK_FULL when a file of the records found its disk full, else MARLUNE_WRITE_ERROR.
    std::int32_t writeFailure() const;
    Totals totalsWith(const marlune_run_tally* tally) const;
    void noteForPage(const marlune_run_result& result, const std::vector<Field>& fields);

    RecordKind kind_;
    Header header_;
    bool logAll_ = false;
    std::uint32_t pageRows_ = 1000;
    std::string destinationFolder_;  // the lists name files by their place under it
    platform::File log_;
    PendingFile failed_;
    PendingFile suspects_;
    PendingFile csv_;
    PendingFile page_;
    bool writePage_ = false;
    bool writeFailed_ = false;
    int writeError_ = 0;
    Totals totals_;
    PageFacts facts_;
    std::uint64_t started_ = 0;        // steady clock, ns
    mutable std::uint64_t ended_ = 0;  // 0: not yet
    // The result whose fields were asked last, as it was: a host that asks for
    // several fields of one file has its record made once.
    struct Asked {
        bool held = false;
        std::int32_t status = 0;
        std::int32_t outcome = 0;
        bool hasReport = false;
        marlune_report report{};
        std::array<std::string, 4> texts;  // path, destination, other, reason
        std::array<bool, 4> given{};
        std::vector<Field> fields;
        bool matches(const marlune_run_result& result) const;
        void hold(const marlune_run_result& result, std::vector<Field> made);
    };
    mutable Asked asked_;
};

}  // namespace marlune::records

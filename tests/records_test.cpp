// The records of a run: names escaped so that the shell reads them back, exact
// names in JSON and in the lists, a log that grows run by run, and files that
// take their names only once whole.
#include "records/records.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "marlune.h"
#include "records/text.h"
#include "support/files.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

std::string text(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

std::string escaped(const std::string& name) {
    std::string out(marlune_name_escaped(name.c_str(), nullptr, 0), '\0');
    marlune_name_escaped(name.c_str(), out.data(), static_cast<std::uint32_t>(out.size()));
    out.pop_back();
    return out;
}

TEST(NameEscaping, PrintableNamesStayAndOthersAreQuotedAsTheShellReadsThem) {
    EXPECT_EQ(escaped("take_1-final.snd"), "take_1-final.snd");
    EXPECT_EQ(escaped("a b $x `y`.snd"), "a b $x `y`.snd");
    EXPECT_EQ(escaped("caf\xc3\xa9.snd"), "caf\xc3\xa9.snd");
    EXPECT_EQ(escaped("a\nb"), "'a'$'\\n''b'");
    EXPECT_EQ(escaped("it's here"), "'it'\\''s here'");
    EXPECT_EQ(escaped("caf\xe9.snd"), "'caf'$'\\351''.snd'");
    EXPECT_EQ(escaped("\xc2\x85"), "$'\\302'$'\\205'");  // a C1 control, not a character to show
    EXPECT_EQ(escaped(""), "''");
}

#ifndef _WIN32
// What bash makes of the escaped name is the name, byte for byte.
TEST(NameEscaping, BashReadsEveryEscapedNameBack) {
    if (std::system("command -v bash >/dev/null 2>&1") != 0) GTEST_SKIP() << "no bash here";
    const TempDir dir;
    const std::string names[] = {"a\nb",    "tab\there", "it's", "$HOME `x`\n\\",
                                 "caf\xe9", "\x01\x7f",  "-n\r", "*?[]\x1b"};
    for (const std::string& name : names) {
        const std::string out = dir.path("out");
        const std::string script = dir.path("script");
        const std::string line = "printf %s " + escaped(name) + " > \"$1\"\n";
        writeFile(script, Bytes(line.begin(), line.end()));
        ASSERT_EQ(std::system(("bash " + script + " " + out).c_str()), 0) << escaped(name);
        EXPECT_EQ(text(readFile(out)), name) << escaped(name);
        EXPECT_NE(escaped(name).find('\''), std::string::npos) << "an escaped name shows that it is one";
    }
}
#endif

TEST(Base64, MatchesTheStandardAlphabetWithPadding) {
    EXPECT_EQ(records::base64(""), "");
    EXPECT_EQ(records::base64("f"), "Zg==");
    EXPECT_EQ(records::base64("fo"), "Zm8=");
    EXPECT_EQ(records::base64("foob"), "Zm9vYg==");
    EXPECT_EQ(records::base64("caf\xe9.snd"), "Y2Fm6S5zbmQ=");
    EXPECT_EQ(records::base64("\xff\xfe\xfd"), "//79");
}

TEST(CsvField, QuotesOnlyWhatNeedsIt) {
    EXPECT_EQ(records::csvField("plain"), "plain");
    EXPECT_EQ(records::csvField("a,b"), "\"a,b\"");
    EXPECT_EQ(records::csvField("say \"hi\""), "\"say \"\"hi\"\"\"");
    EXPECT_EQ(records::csvField("a\nb"), "\"a\nb\"");
}

marlune_run_result resultOf(const char* path, std::int32_t status, std::int32_t outcome, marlune_report& report) {
    marlune_run_result result{};
    result.size = sizeof result;
    result.path = path;
    result.status = status;
    result.outcome = outcome;
    result.reason = "because";
    result.report = &report;
    return result;
}

marlune_report emptyReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

// A name that a spreadsheet would run as a formula is a text cell in the table;
// a number the run writes is still a number.
TEST(Records, TheTableShowsNamesThatLookLikeFormulasAsText) {
    const struct {
        const char* name;
        const char* cell;
    } cases[] = {
        {"=HYPERLINK(\"http://x\",\"y\").snd", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\").snd\""},
        {"@SUM(1+1).snd", "\"'@SUM(1+1).snd\""},
        {"+x", "\"'+x\""},
        {"-x", "\"'-x\""},
        {"\tx", "\"'\tx\""},
        {"\rx", "\"'\rx\""},
        {"'x", "\"''x\""},  // so that removing one leading ' always gives the name back
        {"x=1+1.snd", "x=1+1.snd"},
        {"a,b.snd", "\"a,b.snd\""},
    };
    const TempDir dir;
    const std::string csv = dir.path("table.csv");
    marlune_records_options options{};
    options.size = sizeof options;
    options.command = "info";
    options.csv = csv.c_str();
    marlune_records* records = nullptr;
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    marlune_report report = emptyReport();
    report.header_bytes = 82;
    report.length_mode = -1;
    for (const auto& c : cases) {
        const marlune_run_result result = resultOf(c.name, MARLUNE_OK, MARLUNE_OUTCOME_COMPLETE, report);
        ASSERT_EQ(marlune_records_add(records, &result), MARLUNE_OK);
    }
    ASSERT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
    const std::string table = text(readFile(csv));
    std::size_t row = table.find("\r\n") + 2;  // after the header
    for (const auto& c : cases) {
        const std::size_t end = table.find("\r\n", row);
        ASSERT_NE(end, std::string::npos) << c.name;
        const std::string line = table.substr(row, end - row);
        EXPECT_EQ(line.rfind(std::string("file,info,") + c.cell + ",", 0), 0u) << line;
        EXPECT_NE(line.find(",-1,fixed,"), std::string::npos) << "lengthMode stays a number: " << line;
        row = end + 2;
    }
    EXPECT_EQ(row, table.size());
}

TEST(RecordJson, ANameThatIsNoUtf8KeepsItsBytes) {
    marlune_records_options options{};
    options.size = sizeof options;
    options.command = "info";
    marlune_records* records = nullptr;
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    marlune_report report = emptyReport();
    const auto json = [&](const char* path) {
        const marlune_run_result result = resultOf(path, MARLUNE_OK, MARLUNE_OUTCOME_COMPLETE, report);
        std::string out(marlune_records_json(records, &result, nullptr, 0), '\0');
        marlune_records_json(records, &result, out.data(), static_cast<std::uint32_t>(out.size()));
        out.pop_back();
        return out;
    };
    const std::string latin = json("caf\xe9.snd");
    EXPECT_NE(latin.find("\"file\": \"caf\\ufffd.snd\""), std::string::npos) << latin;
    EXPECT_NE(latin.find("\"fileBytes\": \"Y2Fm6S5zbmQ=\""), std::string::npos) << latin;
    const std::string utf8 = json("caf\xc3\xa9.snd");
    EXPECT_EQ(utf8.find("fileBytes"), std::string::npos) << utf8;
    EXPECT_NE(utf8.find("\"problem\": null"), std::string::npos) << utf8;
    EXPECT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
}

TEST(RecordFields, EachFieldAsTheJsonHasItAndNoneWhereItIsNull) {
    marlune_records_options options{};
    options.size = sizeof options;
    options.job = MARLUNE_JOB_SALVAGE;
    options.command = "salvage";
    marlune_records* records = nullptr;
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    marlune_report report = emptyReport();
    report.source_bytes = 1200;
    report.cut_offset = 812;
    report.bytes_written = 812;  // the salvage ends where the cut chunk's header starts
    const marlune_run_result result = resultOf("a.snd", MARLUNE_SALVAGED, MARLUNE_OUTCOME_SALVAGED, report);
    const auto field = [&](const char* key) {
        std::string out(marlune_records_field(records, &result, key, nullptr, 0), '\0');
        if (out.empty()) return std::string("(null)");
        marlune_records_field(records, &result, key, out.data(), static_cast<std::uint32_t>(out.size()));
        out.pop_back();
        return out;
    };
    EXPECT_EQ(field("cutPiece"), "chunk-header");
    EXPECT_EQ(field("lostBytes"), "388");
    EXPECT_EQ(field("destination"), "(null)");
    EXPECT_EQ(field("noSuchField"), "(null)");
    // Too small a buffer is left untouched; the answer says what it takes.
    char small[4] = "xyz";
    EXPECT_EQ(marlune_records_field(records, &result, "cutPiece", small, sizeof small), 13u);
    EXPECT_STREQ(small, "xyz");
    EXPECT_EQ(marlune_records_field(nullptr, &result, "cutPiece", nullptr, 0), 0u);
    // The same result changed in place is a new record: 8 bytes short of the payload, its header was whole.
    report.bytes_written = 804;
    EXPECT_EQ(field("cutPiece"), "payload");
    EXPECT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
}

TEST(RecordSummary, CountsTheResultsAddedAndTakesTheRestFromTheTally) {
    marlune_records_options options{};
    options.size = sizeof options;
    options.job = MARLUNE_JOB_CONVERT;
    options.flags = MARLUNE_RUN_JUDGE_ONLY;
    options.command = "convert";
    marlune_records* records = nullptr;
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    marlune_report report = emptyReport();
    for (const std::int32_t outcome : {MARLUNE_OUTCOME_WOULD_CONVERT, MARLUNE_OUTCOME_WOULD_CONVERT,
                                       MARLUNE_OUTCOME_COLLISION, MARLUNE_OUTCOME_SUSPECT}) {
        const marlune_run_result result = resultOf("a.snd", MARLUNE_OK, outcome, report);
        ASSERT_EQ(marlune_records_add(records, &result), MARLUNE_OK);
    }
    marlune_run_tally tally{};
    tally.size = sizeof tally;
    tally.not_started = 3;
    tally.links_not_followed = 1;
    tally.bytes_read = 4096;
    std::string json(marlune_records_summary_json(records, &tally, 1, nullptr, 0), '\0');
    marlune_records_summary_json(records, &tally, 1, json.data(), static_cast<std::uint32_t>(json.size()));
    json.pop_back();
    for (const char* member :
         {"{\"record\": \"summary\", \"command\": \"convert\", \"dryRun\": true, \"files\": 7, \"converted\": 0, ",
          "\"wouldConvert\": 2, ", "\"collisions\": 1, \"cancelled\": 0, \"suspects\": 1, ",
          "\"different\": 0, \"restored\": 0, \"notStarted\": 3, ",
          "\"interrupted\": true, \"linksNotFollowed\": 1, \"bytesIn\": 4096, \"bytesOut\": 0, \"seconds\": "}) {
        EXPECT_NE(json.find(member), std::string::npos) << member << " in " << json;
    }
    EXPECT_EQ(json.back(), '}');
    EXPECT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
}

struct Recorded {
    std::string log;
    std::string failed;
    std::string suspects;
};

TEST(Records, TheLogGrowsByOneSectionARunAndTheListsHoldTheExactNames) {
    const TempDir dir;
    const std::string log = dir.path("run.log");
    const std::string failed = dir.path("failed.lst");
    const std::string suspects = dir.path("suspects.lst");
    writeFile(failed, Bytes{'o', 'l', 'd', 0});
    for (int run = 0; run < 2; ++run) {
        marlune_records_options options{};
        options.size = sizeof options;
        options.job = MARLUNE_JOB_EXAMINE;
        options.command = "info";
        options.command_line = "marlune info -r .";
        options.folder = "/data";
        options.log = log.c_str();
        options.failed_list = failed.c_str();
        options.suspect_list = suspects.c_str();
        marlune_records* records = nullptr;
        ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
        marlune_report report = emptyReport();
        marlune_run_result results[] = {
            resultOf("whole.snd", MARLUNE_OK, MARLUNE_OUTCOME_COMPLETE, report),
            resultOf("cut\n.snd", MARLUNE_PAYLOAD_CUT, MARLUNE_OUTCOME_FAILED, report),
            resultOf("empty.snd", MARLUNE_NOT_A_CONTAINER, MARLUNE_OUTCOME_SUSPECT, report),
        };
        for (const marlune_run_result& result : results) EXPECT_EQ(marlune_records_add(records, &result), MARLUNE_OK);
        // Until the close the lists of the run before stand.
        EXPECT_EQ(text(readFile(failed)), run == 0 ? std::string("old", 4) : std::string("cut\n.snd", 9));
        marlune_run_tally tally{};
        tally.size = sizeof tally;
        tally.not_started = 2;
        EXPECT_EQ(marlune_records_close(records, &tally), MARLUNE_OK);
    }
    EXPECT_EQ(text(readFile(failed)), std::string("cut\n.snd", 9));
    EXPECT_EQ(text(readFile(suspects)), std::string("empty.snd", 10));
    const std::string section =
        "'cut'$'\\n''.snd': failed: because\n"
        "empty.snd: suspect: because\n"
        "# summary: 5 files: 1 complete, 1 failed, 1 suspect, 2 not started; 0 bytes read, 0 bytes written, ";
    const std::string written = text(readFile(log));
    const std::size_t first = written.find("# marlune ");
    const std::size_t second = written.find("# marlune ", first + 1);
    ASSERT_EQ(first, 0u) << written;
    ASSERT_NE(second, std::string::npos) << written;
    EXPECT_NE(written.find(" info started ", first), std::string::npos);
    EXPECT_NE(written.find(" in /data: marlune info -r .\n", first), std::string::npos);
    EXPECT_NE(written.find(section, first), std::string::npos) << written;
    EXPECT_NE(written.find(section, second), std::string::npos) << written;
    // Nothing left beside them.
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"failed.lst", "run.log", "suspects.lst"}));
}

// A run into a folder lists each file by its place there, the name --files-from takes back;
// a cancelled file is in no list.
TEST(Records, ListsNameWhatFilesFromTakesBackAndNoCancelledFile) {
    const TempDir dir;
    const std::string failed = dir.path("failed.lst");
    struct Case {
        const char* path;
        const char* destination;
        std::int32_t status;
        std::int32_t outcome;
    };
    const Case cases[] = {
        {"/archive/2019/cut.snd", "/new/2019/cut.snd", MARLUNE_PAYLOAD_CUT, MARLUNE_OUTCOME_FAILED},
        {"listed/b.snd", "/new/listed/b.snd", MARLUNE_WRITE_ERROR, MARLUNE_OUTCOME_FAILED},
        {"/archive/c.snd", "/new/c.kv", MARLUNE_DISK_FULL, MARLUNE_OUTCOME_FAILED},         // --kv-names
        {"/elsewhere/d.snd", "/other/d.snd", MARLUNE_WRITE_ERROR, MARLUNE_OUTCOME_FAILED},  // no place under it
        {"/archive/e.snd", "/new/e.snd", MARLUNE_CANCELLED, MARLUNE_OUTCOME_CANCELLED},
    };
    marlune_records_options options{};
    options.size = sizeof options;
    options.job = MARLUNE_JOB_COPY;
    options.command = "copy";
    options.failed_list = failed.c_str();
    options.destination_folder = "/new/";
    marlune_records* records = nullptr;
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    marlune_report report = emptyReport();
    for (const Case& each : cases) {
        marlune_run_result result = resultOf(each.path, each.status, each.outcome, report);
        result.destination = each.destination;
        EXPECT_EQ(marlune_records_add(records, &result), MARLUNE_OK);
    }
    EXPECT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
    EXPECT_EQ(text(readFile(failed)), std::string("2019/cut.snd\0listed/b.snd\0c.snd\0/elsewhere/d.snd\0", 49));
}

TEST(Records, AFileThatCannotBeMadeLeavesNothingBehind) {
    const TempDir dir;
    const std::string csv = dir.path("table.csv");
    const std::string page = dir.path("missing/report.html");
    const std::string log = dir.path("run.log");
    marlune_records_options options{};
    options.size = sizeof options;
    options.csv = csv.c_str();
    options.html = page.c_str();
    options.log = log.c_str();
    marlune_records* records = nullptr;
    EXPECT_EQ(marlune_records_open(&options, &records), MARLUNE_DESTINATION_UNCREATABLE);
    EXPECT_EQ(records, nullptr);
    EXPECT_TRUE(dir.names().empty());
}

#ifdef __linux__
// A log on a full disk (Linux's /dev/full takes no byte): told as a full disk, not as any write error.
TEST(Records, ALogOnAFullDiskIsToldAsAFullDisk) {
    marlune_records_options options{};
    options.size = sizeof options;
    options.log = "/dev/full";
    marlune_records* records = nullptr;
    EXPECT_EQ(marlune_records_open(&options, &records), MARLUNE_DISK_FULL);
    EXPECT_EQ(records, nullptr);
}
#endif

// A records name mistyped as a recording's, or one a conversion's .kv takes during the run.
TEST(Records, NoRecordReplacesOrExtendsARecording) {
    const TempDir dir;
    const Bytes recording = KvrbBuilder().chunk(330).build();
    const std::string kv = dir.path("take.kv");
    writeFile(kv, recording);
    marlune_records* records = nullptr;
    for (const auto member :
         {&marlune_records_options::log, &marlune_records_options::failed_list, &marlune_records_options::suspect_list,
          &marlune_records_options::csv, &marlune_records_options::html}) {
        marlune_records_options options{};
        options.size = sizeof options;
        options.*member = kv.c_str();
        EXPECT_EQ(marlune_records_open(&options, &records), MARLUNE_DESTINATION_EXISTS);
        EXPECT_EQ(records, nullptr);
    }
    const std::string csv = dir.path("later.kv");
    marlune_records_options options{};
    options.size = sizeof options;
    options.csv = csv.c_str();
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    writeFile(csv, recording);
    EXPECT_EQ(marlune_records_close(records, nullptr), MARLUNE_WRITE_ERROR);
    EXPECT_EQ(readFile(kv), recording);
    EXPECT_EQ(readFile(csv), recording);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"later.kv", "take.kv"}));
    // A list whose first name begins as a magic does is a list, replaced run after run.
    const std::string list = dir.path("failed.lst");
    const std::string names("fx30/take 1.snd\0KVRB/take 2.snd\0", 32);
    writeFile(list, Bytes(names.begin(), names.end()));
    options.csv = nullptr;
    options.failed_list = list.c_str();
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    EXPECT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
    EXPECT_TRUE(readFile(list).empty());
}

TEST(Records, ThePageListsAtMostItsRowsAndSaysHowManyMore) {
    const TempDir dir;
    const std::string page = dir.path("report.html");
    marlune_records_options options{};
    options.size = sizeof options;
    options.command = "info";
    options.html = page.c_str();
    options.html_rows = 2;
    marlune_records* records = nullptr;
    ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK);
    marlune_report report = emptyReport();
    report.source_bytes = 1000;
    report.cut_offset = 950;
    report.cut_missing = 10;
    const marlune_run_result cut = resultOf("<cut>.snd", MARLUNE_PAYLOAD_CUT, MARLUNE_OUTCOME_FAILED, report);
    for (int i = 0; i < 5; ++i) marlune_records_add(records, &cut);
    ASSERT_EQ(marlune_records_close(records, nullptr), MARLUNE_OK);
    const std::string written = text(readFile(page));
    std::size_t rows = 0;
    for (std::size_t at = written.find("&lt;cut&gt;.snd"); at != std::string::npos;
         at = written.find("&lt;cut&gt;", at + 1)) {
        ++rows;
    }
    EXPECT_EQ(rows, 2u);
    EXPECT_NE(written.find("and 3 more such files"), std::string::npos);
    EXPECT_EQ(written.find("<cut>"), std::string::npos);
}

// The page's first line answers whether the run's files are safe, from the
// counts alone, whatever host made the records.
TEST(Records, ThePageOpensWithOneSentenceOnWhetherTheFilesAreSafe) {
    constexpr std::uint32_t mirror = MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR;
    constexpr std::int32_t notTold = -1;
    using Results = std::vector<std::pair<std::int32_t, std::int32_t>>;  // status, outcome
    const Results copied{{MARLUNE_OK, MARLUNE_OUTCOME_COPIED}, {MARLUNE_OK, MARLUNE_OUTCOME_COPIED_AS_IS}};
    const struct {
        const char* what;
        std::int32_t job;
        std::uint32_t flags;
        Results results;
        std::int32_t manifest;  // what became of it; notTold: none asked for
        std::int32_t stoppedBy;
        std::uint64_t notStarted;
        std::uint64_t bytesNotWritten;
        const char* verdict;  // tone, then the sentence
    } cases[] = {
        {"a clean mirror", MARLUNE_JOB_COPY, mirror, copied, MARLUNE_OK, MARLUNE_OK, 0, 0,
         "safe\">Every file arrived and its manifest is written."},
        {"a mirror without a manifest", MARLUNE_JOB_COPY, mirror, copied, notTold, MARLUNE_OK, 0, 0,
         "safe\">Every file arrived."},
        {"a full destination",
         MARLUNE_JOB_COPY,
         mirror,
         {{MARLUNE_OK, MARLUNE_OUTCOME_COPIED}, {MARLUNE_DISK_FULL, MARLUNE_OUTCOME_FAILED}},
         MARLUNE_DISK_FULL,
         MARLUNE_DISK_FULL,
         3,
         1610612736,
         "unsafe\">1 file failed because the destination filled up; 3 files were not started (1.5 GiB more was "
         "needed)."},
        {"failed writes",
         MARLUNE_JOB_COPY,
         0,
         {{MARLUNE_WRITE_ERROR, MARLUNE_OUTCOME_FAILED}, {MARLUNE_WRITE_ERROR, MARLUNE_OUTCOME_FAILED}},
         notTold,
         MARLUNE_OK,
         0,
         0,
         "unsafe\">2 files failed."},
        {"a manifest that could not be written", MARLUNE_JOB_COPY, mirror, copied, MARLUNE_WRITE_ERROR, MARLUNE_OK, 0,
         0, "unsafe\">Every file arrived, but its manifest was not written."},
        {"a damaged recording",
         MARLUNE_JOB_COPY,
         mirror,
         {{MARLUNE_OK, MARLUNE_OUTCOME_COPIED}, {MARLUNE_PAYLOAD_CUT, MARLUNE_OUTCOME_DAMAGED}},
         MARLUNE_OK,
         MARLUNE_OK,
         0,
         0,
         "warning\">1 recording is damaged and was copied as it is."},
        {"a cancel",
         MARLUNE_JOB_COPY,
         mirror,
         {{MARLUNE_OK, MARLUNE_OUTCOME_COPIED}, {MARLUNE_CANCELLED, MARLUNE_OUTCOME_CANCELLED}},
         MARLUNE_CANCELLED,
         MARLUNE_OK,
         2,
         0,
         "unsafe\">The run was interrupted: 3 files were not done."},
        {"a verify that matched",
         MARLUNE_JOB_VERIFY,
         MARLUNE_RUN_RECURSIVE,
         {{MARLUNE_OK, MARLUNE_OUTCOME_MATCHED}, {MARLUNE_OK, MARLUNE_OUTCOME_MATCHED}},
         notTold,
         MARLUNE_OK,
         0,
         0,
         "safe\">Verified against /archive: all 2 files matched."},
        {"a verify that found rot",
         MARLUNE_JOB_VERIFY,
         MARLUNE_RUN_RECURSIVE,
         {{MARLUNE_OK, MARLUNE_OUTCOME_MATCHED}, {MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_DIFFERENT}},
         notTold,
         MARLUNE_OK,
         0,
         0,
         "unsafe\">1 file differs from /archive."},
        {"an examination of a cut recording",
         MARLUNE_JOB_EXAMINE,
         MARLUNE_RUN_RECURSIVE,
         {{MARLUNE_OK, MARLUNE_OUTCOME_COMPLETE}, {MARLUNE_PAYLOAD_CUT, MARLUNE_OUTCOME_FAILED}},
         notTold,
         MARLUNE_OK,
         0,
         0,
         "warning\">1 recording is damaged."},
    };
    const TempDir dir;
    for (const auto& c : cases) {
        const std::string page = dir.path("report.html");
        marlune_records_options options{};
        options.size = sizeof options;
        options.job = c.job;
        options.flags = c.flags;
        options.command = "copy";
        options.html = page.c_str();
        options.source_folder = "/archive";
        options.manifest = c.manifest == notTold ? nullptr : "/archive.sha256";
        marlune_records* records = nullptr;
        ASSERT_EQ(marlune_records_open(&options, &records), MARLUNE_OK) << c.what;
        marlune_report report = emptyReport();
        for (const auto& [status, outcome] : c.results) {
            const marlune_run_result result = resultOf("take.snd", status, outcome, report);
            ASSERT_EQ(marlune_records_add(records, &result), MARLUNE_OK) << c.what;
        }
        marlune_run_tally tally{};
        tally.size = sizeof tally;
        tally.stopped_by = c.stoppedBy;
        tally.not_started = c.notStarted;
        tally.bytes_not_written = c.bytesNotWritten;
        tally.manifest_told = c.manifest == notTold ? 0 : 1;
        tally.manifest_status = c.manifest;
        ASSERT_EQ(marlune_records_close(records, &tally), MARLUNE_OK) << c.what;
        EXPECT_NE(text(readFile(page)).find(std::string("<p id=\"verdict\" class=\"") + c.verdict + "</p>"),
                  std::string::npos)
            << c.what << ": " << text(readFile(page)).substr(0, 600);
    }
}

TEST(Records, SizesAndTimesReadAsPeopleReadThem) {
    const std::pair<std::uint64_t, const char*> sizes[] = {
        {0, "0 bytes"},       {1, "1 byte"},           {1023, "1023 bytes"},   {1024, "1.0 KiB"},
        {1048575, "1.0 MiB"}, {1718619890, "1.6 GiB"}, {300 << 20, "300 MiB"}, {UINT64_MAX, "16.0 EiB"},
    };
    for (const auto& [bytes, shown] : sizes) EXPECT_EQ(records::readableBytes(bytes), shown) << bytes;
    const std::pair<double, const char*> times[] = {
        {0.011, "0.01 s"}, {12.34, "12.3 s"}, {59.96, "1 min 0 s"}, {125, "2 min 5 s"}, {3725, "1 h 2 min"},
    };
    for (const auto& [seconds, shown] : times) EXPECT_EQ(records::readableSeconds(seconds), shown) << seconds;
}

}  // namespace
}  // namespace marlune::testing

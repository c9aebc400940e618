// The command's parts that need no process: the JSON writer, the command's
// table of status facts, and the progress line's words.
#include <gtest/gtest.h>

#include <cstring>

#include "json.h"
#include "progress.h"
#include "statuses.h"

namespace marlune::cli {
namespace {

TEST(Json, StringsAreEscapedAndKeptValidUtf8) {
    EXPECT_EQ(jsonString("a\"b\\c\n\x01"), "\"a\\\"b\\\\c\\u000a\\u0001\"");
    EXPECT_EQ(jsonString("caf\xc3\xa9 \xf0\x9f\x8e\xb5"), "\"caf\xc3\xa9 \xf0\x9f\x8e\xb5\"");
    // Overlong, surrogate, past U+10FFFF, cut short, and bytes that begin nothing.
    for (const char* bad : {"\xc0\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xe2\x82", "\xff", "\x80"}) {
        const std::string out = jsonString(bad);
        EXPECT_NE(out.find("\\ufffd"), std::string::npos) << out;
        for (unsigned char c : out) EXPECT_LT(c, 0x80) << out;
    }
}

TEST(Json, MembersComeInOrderWithNullsWhereAValueIsUnknown) {
    Json inner;
    inner.text("kind", "payload-cut").numberOrNull("chunk", false, 3);
    Json json;
    json.text("record", "file").number("code", -5).boolean("done", true).numberOrNull("size", true, 12u);
    json.textOrNull("magic", false, "KVRB").object("problem", inner).append(Json().raw("takenBy", "null"));
    EXPECT_EQ(json.str(),
              "{\"record\": \"file\", \"code\": -5, \"done\": true, \"size\": 12, \"magic\": null, "
              "\"problem\": {\"kind\": \"payload-cut\", \"chunk\": null}, \"takenBy\": null}");
    EXPECT_EQ(Json().append(Json()).str(), "{}");
}

TEST(Statuses, EveryCutStatusNamesItsPieceAndTheReasonSaysWhere) {
    marlune_report report = emptyReport();
    report.cut_offset = 812;
    report.cut_size = 330;
    report.cut_missing = 142;
    EXPECT_STREQ(factsOf(MARLUNE_PAYLOAD_CUT).cut, "payload");
    EXPECT_STREQ(factsOf(MARLUNE_HEADER_CUT).cut, "header");
    EXPECT_EQ(reasonOf(MARLUNE_JOB_COPY, MARLUNE_PAYLOAD_CUT, report),
              std::string(marlune_status_text(MARLUNE_PAYLOAD_CUT)) + " (at offset 812, 142 of 330 bytes missing)");
    EXPECT_EQ(reasonOf(MARLUNE_JOB_COPY, MARLUNE_DISK_FULL, report), marlune_status_text(MARLUNE_DISK_FULL));
    // A salvage ends where the cut chunk starts: at its header, or 8 bytes before its payload.
    report.bytes_written = 812;
    EXPECT_STREQ(cutPiece(MARLUNE_SALVAGED, report), "chunk-header");
    report.bytes_written = 804;
    EXPECT_STREQ(cutPiece(MARLUNE_SALVAGED, report), "payload");
}

TEST(Statuses, EveryStatusTheLibraryNamesHasFactsThatFitIt) {
    int named = 0;
    for (std::int32_t status = 0; status < 100; ++status) {
        if (std::strcmp(marlune_status_name(status), "MARLUNE_UNKNOWN") == 0) continue;
        ++named;
        const StatusFacts facts = factsOf(status);
        const bool success = status <= MARLUNE_FINISHED;
        EXPECT_EQ(facts.problem == nullptr, success) << status;
        if (facts.cut != nullptr) EXPECT_NE(std::strstr(marlune_status_name(status), "_CUT"), nullptr) << status;
        EXPECT_EQ(notOpened(status), facts.problem && std::strcmp(facts.problem, "cannot-open") == 0) << status;
    }
    EXPECT_GE(named, 28);
}

TEST(Progress, CountsSoFarUntilTheWalkEndsAndOnlyThenTellsTheTimeLeft) {
    const std::uint64_t mib = 1024 * 1024;
    EXPECT_EQ(progressText(5, 120, 10 * mib, 40 * mib, false, 10), "5/120 files so far, 10.0 MiB of 40.0 MiB so far");
    EXPECT_EQ(progressText(5, 120, 10 * mib, 40 * mib, true, 10),
              "5/120 files, 10.0 MiB of 40.0 MiB, 1.0 MiB/s, 0:30 left");
}

}  // namespace
}  // namespace marlune::cli

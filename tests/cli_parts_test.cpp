// The command's parts that need no process: the worker pool, the groups of
// files, the JSON writer and the command's table of status facts.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "groups.h"
#include "json.h"
#include "pool.h"
#include "statuses.h"

namespace marlune::cli {
namespace {

using namespace std::chrono_literals;

TEST(Pool, DeliversEveryResultInOrderWhateverFinishesFirst) {
    std::vector<std::size_t> order;
    const std::size_t started = runInOrder<std::size_t>(
        50, 4, 8,
        [](std::size_t index) {
            // Later jobs finish first.
            std::this_thread::sleep_for(std::chrono::microseconds((50 - index) * 100));
            return index * 2;
        },
        [&order](std::size_t index, std::size_t& result) {
            EXPECT_EQ(result, index * 2);
            order.push_back(index);
        });
    EXPECT_EQ(started, 50u);
    ASSERT_EQ(order.size(), 50u);
    for (std::size_t i = 0; i < order.size(); ++i) EXPECT_EQ(order[i], i);
}

TEST(Pool, StartsNoJobMoreThanTheWindowAheadOfTheOutput) {
    std::atomic<std::size_t> delivered{0};
    std::atomic<std::size_t> furthestAhead{0};
    PoolHooks hooks;
    hooks.tick = 5ms;
    runInOrder<int>(
        200, 3, 6,
        [&](std::size_t index) {
            const std::size_t ahead = index - std::min(index, delivered.load());
            if (ahead > furthestAhead.load()) furthestAhead.store(ahead);
            return 0;
        },
        [&](std::size_t, int&) {
            // A slow reader: the workers would run far ahead without the window.
            std::this_thread::sleep_for(200us);
            delivered.fetch_add(1);
        },
        hooks);
    EXPECT_EQ(delivered.load(), 200u);
    // The window counts from the results taken for delivery; those being delivered are one window more.
    EXPECT_LT(furthestAhead.load(), 2 * 6u);
    EXPECT_GT(furthestAhead.load(), 0u);
}

TEST(Pool, AStopStartsNoFurtherJobAndDeliversTheOnesStarted) {
    std::atomic<bool> stop{false};
    std::set<std::size_t> ran;
    std::mutex mutex;
    PoolHooks hooks;
    hooks.stop = [&stop] { return stop.load(); };
    hooks.tick = 5ms;
    std::size_t delivered = 0;
    const std::size_t started = runInOrder<int>(
        1000, 2, 8,
        [&](std::size_t index) {
            if (index == 10) stop.store(true);
            std::lock_guard<std::mutex> lock(mutex);
            ran.insert(index);
            return 0;
        },
        [&](std::size_t, int&) { ++delivered; }, hooks);
    EXPECT_GE(started, 11u);
    EXPECT_LT(started, 1000u);
    EXPECT_EQ(delivered, started);
    EXPECT_EQ(ran.size(), started);
}

TEST(Pool, NoJobsMeansNoWorkAndNoDelivery) {
    bool called = false;
    EXPECT_EQ(runInOrder<int>(
                  0, 4, 16, [&](std::size_t) { called = true; return 0; },
                  [&](std::size_t, int&) { called = true; }),
              0u);
    EXPECT_FALSE(called);
}

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
    EXPECT_EQ(json.str(), "{\"record\": \"file\", \"code\": -5, \"done\": true, \"size\": 12, \"magic\": null, "
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
    EXPECT_EQ(reasonOf(MARLUNE_PAYLOAD_CUT, report),
              std::string(marlune_status_text(MARLUNE_PAYLOAD_CUT)) + " (at offset 812, 142 of 330 bytes missing)");
    EXPECT_EQ(reasonOf(MARLUNE_DISK_FULL, report), marlune_status_text(MARLUNE_DISK_FULL));
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

FileList filesOfSizes(const std::vector<std::uint64_t>& sizes) {
    FileList list;
    for (std::size_t i = 0; i < sizes.size(); ++i) list.files.push_back("f" + std::to_string(i));
    list.sizes = sizes;
    return list;
}

// Every file once, in order, each group within its bounds.
void expectGroups(const std::vector<Group>& groups, const FileList& list, std::size_t most, std::uint64_t bytes) {
    std::size_t next = 0;
    for (const Group& group : groups) {
        EXPECT_EQ(group.first, next);
        EXPECT_GE(group.count, 1u);
        EXPECT_LE(group.count, most);
        std::uint64_t held = 0;
        for (std::size_t i = group.first; i < group.first + group.count; ++i) held += list.sizes[i];
        if (group.count > 1 && bytes != 0) EXPECT_LE(held, bytes);
        next += group.count;
    }
    EXPECT_EQ(next, list.files.size());
}

TEST(Groups, TakeConsecutiveFilesWithinCountAndBytesAndAFewForEachWorker) {
    const FileList small = filesOfSizes(std::vector<std::uint64_t>(1000, 10));
    const std::vector<Group> one = groupsOf(small, {256, 0}, 1);
    expectGroups(one, small, 250, 0);  // a quarter of the list for one worker
    EXPECT_EQ(one.size(), 4u);
    const std::vector<Group> two = groupsOf(small, {256, 0}, 2);
    expectGroups(two, small, 125, 0);
    EXPECT_EQ(two.size(), 8u);
    expectGroups(groupsOf(small, {100, 0}, 1), small, 100, 0);
    // A file larger than the bound is a group of its own; the others stay within it.
    const FileList mixed = filesOfSizes({100, 100, 100, 1000, 100, 50, 50, 100, 100, 100, 100, 100});
    const std::vector<Group> bounded = groupsOf(mixed, {256, 250}, 1);
    expectGroups(bounded, mixed, 3, 250);
    EXPECT_EQ(bounded[1].first, 2u);
    EXPECT_EQ(groupsOf(mixed, {}, 4).size(), mixed.files.size());
    EXPECT_TRUE(groupsOf(FileList{}, {256, 0}, 2).empty());
}

TEST(Groups, AJobCountsEveryFileOfItsGroupOnceThoughEachStartsFromZero) {
    std::atomic<std::uint64_t> bytes{0};
    JobProgress progress(bytes);
    const marlune_options options = progress.options();
    // Two files of a batch: 300 and 200 bytes, told as each goes.
    for (const std::uint64_t done : {100u, 300u, 50u, 200u}) options.progress(done, 0, options.progress_context);
    EXPECT_EQ(bytes.load(), 500u);
    progress.finish(520);  // a third that told nothing
    EXPECT_EQ(bytes.load(), 520u);
}

}  // namespace
}  // namespace marlune::cli

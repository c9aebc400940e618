// IKVRBinfo crashed after every call it makes. Whatever a crash then leaves on
// the disk, the recording is whole under the source's name or the ".kv" name, and
// the ".kv" name never holds anything but the new copy or what it held before.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "marlune.h"
#include "support/crash_os.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

#ifdef _WIN32
const std::string sourcePath = "rec\\take.snd";
const std::string kvPath = "rec\\take.kv";
#else
const std::string sourcePath = "rec/take.snd";
const std::string kvPath = "rec/take.kv";
#endif

struct Recording {
    std::string what;
    Bytes source;
    Bytes converted;
    std::optional<Bytes> earlierKv;
    std::size_t largestTransfer = 128;
};

struct CrashRun {
    std::size_t states = 0;
    std::vector<std::string> calls;
    std::size_t lost = 0;
    std::vector<std::string> firstLosses;
};

// What a crash state has lost of the recording; empty when nothing.
std::string lossIn(const CrashOs::Disk& disk, const Recording& recording) {
    const auto source = disk.find(sourcePath);
    const auto kv = disk.find(kvPath);
    if (source != disk.end() && source->second != recording.source) return "the source changed";
    if (kv != disk.end() && kv->second != recording.converted && kv->second != recording.earlierKv) {
        return "the .kv name holds " + std::to_string(kv->second.size()) + " bytes, neither copy";
    }
    if (source == disk.end() && (kv == disk.end() || kv->second != recording.converted)) {
        return "the source is gone and no whole copy has the .kv name";
    }
    return {};
}

CrashRun crashEveryCall(const Recording& recording, bool fileSyncsDoNothing = false,
                        bool folderSyncsDoNothing = false) {
    CrashOs os;
    os.largestTransfer = recording.largestTransfer;
    os.fileSyncsDoNothing = fileSyncsDoNothing;
    os.folderSyncsDoNothing = folderSyncsDoNothing;
    os.addSyncedFile(sourcePath, recording.source);
    if (recording.earlierKv) os.addSyncedFile(kvPath, *recording.earlierKv);

    const std::int32_t showErrors = 1;
    EXPECT_EQ(IKVRBinfo(0, &showErrors, sourcePath.c_str()), -1);
    EXPECT_EQ(os.messages, std::vector<std::string>{});
    // Without a crash: the copy alone, under the ".kv" name, and no partial file left.
    EXPECT_EQ(os.contents(kvPath), recording.converted);
    EXPECT_EQ(os.names(), std::vector<std::string>{kvPath});

    CrashRun run;
    for (std::size_t point = 0; point < os.crashPoints(); ++point) {
        run.calls.push_back(os.callBefore(point));
        run.states += os.forEachCrashState(point, [&](const CrashOs::Disk& disk) {
            const std::string loss = lossIn(disk, recording);
            if (loss.empty()) return;
            if (++run.lost <= 3) {
                run.firstLosses.push_back("after call " + std::to_string(point + 1) + " (" + run.calls.back() +
                                          "): " + loss);
            }
        });
    }
    return run;
}

bool anyLossSays(const CrashRun& run, const std::string& text) {
    return std::any_of(run.firstLosses.begin(), run.firstLosses.end(),
                       [&](const std::string& loss) { return loss.find(text) != std::string::npos; });
}

std::vector<Recording> recordings() {
    const Bytes fixedSource = KvrbBuilder().lengthMode(0).preamble(3).chunk(7, 330).chunk(330).build();
    const Bytes fixedConverted = KvrbBuilder().lengthMode(0).preamble(3).chunk(330).chunk(330).build();
    // Long enough for more unsynced writes than every combination of them is tried for.
    const Bytes variable = KvrbBuilder().lengthMode(1).preamble(20).chunk(40).chunk(700).chunk(17).chunk(300).build();
    const Bytes earlier = KvrbBuilder().lengthMode(0).chunk(330).build();
    // A preamble longer than two copy buffers goes through copyRange.
    const std::size_t longPreamble = 1100 * 1024;
    const std::size_t unlimited = static_cast<std::size_t>(-1);
    return {
        {"fixed length", fixedSource, fixedConverted, std::nullopt},
        {"fixed length over an earlier .kv", fixedSource, fixedConverted, earlier},
        {"variable length", variable, variable, std::nullopt},
        {"variable length over an earlier .kv", variable, variable, earlier},
        {"long preamble over an earlier .kv", KvrbBuilder().lengthMode(0).preamble(longPreamble).chunk(9, 330).build(),
         KvrbBuilder().lengthMode(0).preamble(longPreamble).chunk(330).build(), earlier, unlimited},
    };
}

TEST(CrashTest, EveryStateACrashLeavesHoldsTheWholeRecording) {
    std::size_t states = 0;
    std::size_t points = 0;
    for (const Recording& recording : recordings()) {
        SCOPED_TRACE(recording.what);
        const CrashRun run = crashEveryCall(recording);
        EXPECT_EQ(run.lost, 0u) << ::testing::PrintToString(run.firstLosses);
        EXPECT_GT(run.states, run.calls.size());  // some calls left changes that a crash may lose
        const std::set<std::string> calls(run.calls.begin(), run.calls.end());
        if (recording.largestTransfer > recording.source.size()) {
            EXPECT_EQ(calls.count("copyRange"), 1u);
        }
        states += run.states;
        points += run.calls.size();
    }
    std::cout << "crash states checked: " << states << " (" << points << " crash points)\n";
}

// The same checks on a library that leaves the folder unsynced must find the
// state in which the source's removal reached the disk and the new name did not.
TEST(CrashTest, ConversionsThatSkipTheFolderSyncLoseTheRecording) {
    const CrashRun run = crashEveryCall(recordings()[1], false, true);
    EXPECT_GT(run.lost, 0u);
    EXPECT_TRUE(anyLossSays(run, "the source is gone")) << ::testing::PrintToString(run.firstLosses);
    std::cout << "without folder syncs: " << run.lost << " of " << run.states << " crash states lose the recording\n";
}

// And one that leaves the file unsynced, the state in which the name reached the
// disk before the data.
TEST(CrashTest, ConversionsThatSkipTheFileSyncLoseTheRecording) {
    const CrashRun run = crashEveryCall(recordings()[2], true, false);
    EXPECT_GT(run.lost, 0u);
    EXPECT_TRUE(anyLossSays(run, "neither copy")) << ::testing::PrintToString(run.firstLosses);
    std::cout << "without file syncs: " << run.lost << " of " << run.states << " crash states lose the recording\n";
}

// The model itself: what an unsynced file and name may come to, and that syncs keep them.
TEST(CrashOs, LosesKeepsOrTearsEachUnsyncedChange) {
    CrashOs os;
    platform::Handle file = platform::noHandle;
    ASSERT_TRUE(os.createNew("d/f", file));
    EXPECT_EQ(os.write(file, "abcd", 4), 4);
    EXPECT_EQ(os.write(file, "ef", 2), 2);
    const std::size_t unsynced = os.crashPoints() - 1;

    std::set<std::string> seen;
    const auto collect = [&](const CrashOs::Disk& disk) {
        const auto named = disk.find("d/f");
        seen.insert(named == disk.end() ? "none" : std::string(named->second.begin(), named->second.end()));
    };
    // Three changes: all eight combinations, and each of the two writes torn.
    EXPECT_EQ(os.forEachCrashState(unsynced, collect), 10u);
    const std::set<std::string> expected = {
        "none", "", "abcd", std::string("\0\0\0\0ef", 6), "abcdef", "abcde", std::string("ab\0\0ef", 6)};
    EXPECT_EQ(seen, expected);

    os.everyCombinationUpTo = 2;  // all kept, all lost, each lost alone, each write torn
    EXPECT_EQ(os.forEachCrashState(unsynced, collect), 7u);

    ASSERT_TRUE(os.sync(file));
    ASSERT_TRUE(os.syncFolderOf("d/f"));
    seen.clear();
    EXPECT_EQ(os.forEachCrashState(os.crashPoints() - 1, collect), 1u);
    EXPECT_EQ(seen, std::set<std::string>{"abcdef"});

    // A rename is one change in its folder: the file has one name or the other.
    ASSERT_TRUE(os.move(file, "d/f", "d/g", true));
    std::set<std::vector<std::string>> names;
    os.forEachCrashState(os.crashPoints() - 1, [&](const CrashOs::Disk& disk) {
        std::vector<std::string> present;
        for (const auto& entry : disk) present.push_back(entry.first);
        names.insert(present);
    });
    EXPECT_EQ(names, (std::set<std::vector<std::string>>{{"d/f"}, {"d/g"}}));
    EXPECT_TRUE(os.close(file));
}

}  // namespace
}  // namespace marlune::testing

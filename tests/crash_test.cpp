// Conversions (IKVRBinfo and marlune_convert) crashed after every call they make,
// alone and with a neighbour acting on the same names. Whatever a crash then
// leaves on the disk, each recording is whole under its source's name or the
// ".kv" name, and the ".kv" name never holds anything but a whole file.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "boundary/api.h"
#include "container/copy.h"
#include "marlune.h"
#include "run/engine.h"
#include "run/step.h"
#include "support/crash_os.h"
#include "support/files.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

#ifdef _WIN32
const std::string folder = "rec\\";
#else
const std::string folder = "rec/";
#endif
const std::string sourcePath = folder + "take.snd";
const std::string kvPath = folder + "take.kv";
// The neighbours: another recording converted to the same ".kv" name, and a file
// another program moves there.
const std::string siblingPath = folder + "take.wav";
const std::string movedPath = folder + "other.kv";

struct Recording {
    std::string what;
    Bytes source;
    Bytes converted;
    std::optional<Bytes> earlierKv;
    std::size_t largestTransfer = 128;
    // Few combinations for a copy of many large writes: the states grow with their square.
    std::size_t everyCombinationUpTo = 10;
};

// Who converts: IKVRBinfo, which always replaces, or marlune_convert keeping what
// has the name (replace 0).
enum class Caller { original, keeping };
enum class Neighbour { none, sibling, mover };

struct Scenario {
    Caller caller = Caller::original;
    Neighbour neighbour = Neighbour::none;
    // The neighbour acts once, right after this call of the conversion (from 1).
    std::size_t actsAfter = 0;
    // A library that forgets one of its safeguards.
    bool fileSyncsDoNothing = false;
    bool folderSyncsDoNothing = false;
    bool movesAlwaysReplace = false;
    bool namesAlwaysLeadToTheirFiles = false;
};

const Bytes sibling = KvrbBuilder().lengthMode(1).preamble(1).chunk(5).chunk(9).build();
const Bytes moved = KvrbBuilder().lengthMode(1).chunk(77).build();

struct CrashRun {
    bool writtenBehind = false;  // some call came from a thread of the copy's own
    std::size_t states = 0;
    std::vector<std::string> calls;
    std::size_t lost = 0;
    std::vector<std::string> firstLosses;
};

// What a crash state has lost of the recording and of its neighbour's file; empty
// when nothing. A file a conversion was told to replace may go: that is replacing.
std::string lossIn(const CrashOs::Disk& disk, const Recording& recording, const Scenario& scenario) {
    const auto at = [&disk](const std::string& path) -> std::optional<Bytes> {
        const auto found = disk.find(path);
        if (found == disk.end()) return std::nullopt;
        return found->second;
    };
    const std::optional<Bytes> source = at(sourcePath);
    const std::optional<Bytes> kv = at(kvPath);
    if (source && *source != recording.source) return "the source changed";
    if (kv && kv != recording.converted && kv != recording.earlierKv && kv != sibling && kv != moved) {
        return "the .kv name holds " + std::to_string(kv->size()) + " bytes, no file's copy";
    }
    if (!source && kv != recording.converted) return "the source is gone and no whole copy has the .kv name";
    if (scenario.neighbour == Neighbour::sibling && at(siblingPath) != sibling && kv != sibling) {
        return "the sibling's source is gone and its copy is not at the .kv name";
    }
    if (scenario.neighbour == Neighbour::mover && scenario.caller == Caller::keeping && at(movedPath) != moved &&
        kv != moved) {
        return "the file moved to the .kv name was replaced";
    }
    return {};
}

std::int32_t convertOnce(CrashOs& os, Caller caller, const std::string& path) {
    if (caller == Caller::original) {
        const std::int32_t showErrors = 1;
        return IKVRBinfo(0, &showErrors, path.c_str());
    }
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 0;
    marlune_report report{};
    report.size = sizeof report;
    return convertThrough(os, path.c_str(), &options, &report);
}

bool succeeded(Caller caller, std::int32_t result) {
    return caller == Caller::original ? result == -1 : result == MARLUNE_OK;
}

CrashRun crashEveryCall(const Recording& recording, const Scenario& scenario = {}) {
    CrashOs os;
    os.largestTransfer = recording.largestTransfer;
    os.everyCombinationUpTo = recording.everyCombinationUpTo;
    os.fileSyncsDoNothing = scenario.fileSyncsDoNothing;
    os.folderSyncsDoNothing = scenario.folderSyncsDoNothing;
    os.movesAlwaysReplace = scenario.movesAlwaysReplace;
    os.namesAlwaysLeadToTheirFiles = scenario.namesAlwaysLeadToTheirFiles;
    const std::int64_t recorded = 1000000;  // a time none of the run's own changes takes
    os.addSyncedFile(sourcePath, recording.source, recorded);
    if (recording.earlierKv) os.addSyncedFile(kvPath, *recording.earlierKv);
    if (scenario.neighbour == Neighbour::sibling) os.addSyncedFile(siblingPath, sibling);
    if (scenario.neighbour == Neighbour::mover) os.addSyncedFile(movedPath, moved);

    std::size_t calls = 0;
    bool acted = false;  // the neighbour's own calls are crash points, not further turns
    const std::thread::id caller = std::this_thread::get_id();
    bool behind = false;
    os.afterCall = [&] {
        behind |= std::this_thread::get_id() != caller;
        if (acted || ++calls != scenario.actsAfter) return;
        acted = true;
        if (scenario.neighbour == Neighbour::sibling) convertOnce(os, Caller::keeping, siblingPath);
        if (scenario.neighbour == Neighbour::mover) os.rename(movedPath.c_str(), kvPath.c_str());
    };
    const std::int32_t result = convertOnce(os, scenario.caller, sourcePath);
    if (scenario.neighbour == Neighbour::none) {
        // Without a crash: the copy alone, under the ".kv" name, and no partial file left.
        EXPECT_TRUE(succeeded(scenario.caller, result)) << result;
        EXPECT_EQ(os.messages, std::vector<std::string>{});
        EXPECT_EQ(os.contents(kvPath), recording.converted);
        EXPECT_EQ(os.names(), std::vector<std::string>{kvPath});
        EXPECT_EQ(os.modifiedOf(kvPath), recorded);  // the recording's date, not the conversion's
    }

    CrashRun run;
    run.writtenBehind = behind;
    for (std::size_t point = 0; point < os.crashPoints(); ++point) {
        run.calls.push_back(os.callBefore(point));
        run.states += os.forEachCrashState(point, [&](const CrashOs::Disk& disk) {
            const std::string loss = lossIn(disk, recording, scenario);
            if (loss.empty()) return;
            if (++run.lost <= 3) {
                run.firstLosses.push_back("after call " + std::to_string(point + 1) + " (" + run.calls.back() +
                                          "): " + loss);
            }
        });
    }
    // And once all is done, without a crash.
    const std::string loss = lossIn(os.names().empty() ? CrashOs::Disk{} : [&] {
        CrashOs::Disk now;
        for (const std::string& name : os.names()) now[name] = *os.contents(name);
        return now;
    }(), recording, scenario);
    if (!loss.empty()) {
        ++run.lost;
        run.firstLosses.push_back("at the end: " + loss);
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
    // Large enough for a single call to write on a thread of its own.
    KvrbBuilder large = KvrbBuilder().lengthMode(1).preamble(100);
    for (int chunk = 0; chunk < 700; ++chunk) large.chunk(static_cast<std::uint16_t>(chunk * 7919 % 8000));
    const Bytes largeBytes = large.build();
    return {
        {"fixed length", fixedSource, fixedConverted, std::nullopt},
        {"fixed length over an earlier .kv", fixedSource, fixedConverted, earlier},
        {"variable length", variable, variable, std::nullopt},
        {"variable length over an earlier .kv", variable, variable, earlier},
        {"long preamble over an earlier .kv", KvrbBuilder().lengthMode(0).preamble(longPreamble).chunk(9, 330).build(),
         KvrbBuilder().lengthMode(0).preamble(longPreamble).chunk(330).build(), earlier, unlimited},
        {"large, written behind", largeBytes, largeBytes, std::nullopt, 1 << 20, 2},
    };
}

TEST(CrashTest, EveryStateACrashLeavesHoldsTheWholeRecording) {
    std::size_t states = 0;
    std::size_t points = 0;
    for (const Caller caller : {Caller::original, Caller::keeping}) {
        for (const Recording& recording : recordings()) {
            // Keeping, an earlier .kv is kept: nothing to crash in but the refusal.
            if (caller == Caller::keeping && recording.earlierKv) continue;
            SCOPED_TRACE(recording.what + (caller == Caller::keeping ? ", marlune_convert" : ", IKVRBinfo"));
            Scenario scenario;
            scenario.caller = caller;
            const CrashRun run = crashEveryCall(recording, scenario);
            EXPECT_EQ(run.lost, 0u) << ::testing::PrintToString(run.firstLosses);
            EXPECT_GT(run.states, run.calls.size());  // some calls left changes that a crash may lose
            const std::set<std::string> calls(run.calls.begin(), run.calls.end());
            if (recording.largestTransfer > recording.source.size()) {
                EXPECT_EQ(calls.count("copyRange"), 1u);
            }
            // A single call's large copy writes behind; the original functions inline.
            const bool large = recording.source.size() > 2 * container::CopyBuffer::overlappedSize;
            EXPECT_EQ(run.writtenBehind, large && caller == Caller::keeping);
            states += run.states;
            points += run.calls.size();
        }
    }
    std::cout << "crash states checked: " << states << " (" << points << " crash points)\n";
}

// The calls a lone conversion makes, up to and including its check that the ".kv"
// name leads to its own file (the first isSameFile).
std::size_t callsUpToTheNameCheck(const Recording& recording, Caller caller, std::size_t& all) {
    Scenario scenario;
    scenario.caller = caller;
    const CrashRun run = crashEveryCall(recording, scenario);
    all = run.calls.size();
    const auto check = std::find(run.calls.begin(), run.calls.end(), "isSameFile");
    EXPECT_NE(check, run.calls.end());
    return static_cast<std::size_t>(check - run.calls.begin()) + 1;
}

// A neighbour acts after each call of the conversion in turn, and a crash may
// then come after any call of either. A sibling's conversion may come at any
// point; a file moved over the ".kv" name up to the conversion's check of that
// name: after it, a move replaces a finished conversion, as it would one that
// returned.
CrashRun crashWithNeighbour(Neighbour neighbour, Caller caller, Scenario safeguards, std::size_t& turns) {
    CrashRun total;
    const std::vector<Recording> all = recordings();
    for (const std::size_t pick : {std::size_t{1}, std::size_t{2}}) {  // with and without an earlier .kv
        const Recording& recording = all[pick];
        if (caller == Caller::keeping && recording.earlierKv) continue;
        std::size_t calls = 0;
        const std::size_t nameCheck = callsUpToTheNameCheck(recording, caller, calls);
        const std::size_t lastTurn = neighbour == Neighbour::mover ? nameCheck - 1 : calls;
        for (std::size_t turn = 1; turn <= lastTurn; ++turn) {
            Scenario scenario = safeguards;
            scenario.caller = caller;
            scenario.neighbour = neighbour;
            scenario.actsAfter = turn;
            const CrashRun run = crashEveryCall(recording, scenario);
            total.states += run.states;
            total.calls.insert(total.calls.end(), run.calls.begin(), run.calls.end());
            total.lost += run.lost;
            for (const std::string& loss : run.firstLosses) {
                if (total.firstLosses.size() < 3)
                    total.firstLosses.push_back(recording.what + ", turn " + std::to_string(turn) + ": " + loss);
            }
            ++turns;
        }
    }
    return total;
}

TEST(CrashTest, NoNeighbourMakesAConversionLoseARecording) {
    std::size_t states = 0;
    std::size_t turns = 0;
    const std::pair<Neighbour, Caller> pairs[] = {{Neighbour::sibling, Caller::keeping},
                                                  {Neighbour::mover, Caller::keeping},
                                                  {Neighbour::mover, Caller::original}};
    for (const auto& [neighbour, caller] : pairs) {
        const CrashRun run = crashWithNeighbour(neighbour, caller, {}, turns);
        EXPECT_EQ(run.lost, 0u) << ::testing::PrintToString(run.firstLosses);
        states += run.states;
    }
    std::cout << "crash states checked with a neighbour: " << states << " (" << turns << " turns)\n";
}

// The same runs find the losses of a library without its safeguards: a move that
// replaces the sibling's new ".kv", or a source removed after its copy was
// replaced.
TEST(CrashTest, WithoutItsSafeguardsANeighbourMakesAConversionLoseARecording) {
    std::size_t turns = 0;
    Scenario replacing;
    replacing.movesAlwaysReplace = true;
    const CrashRun sibling = crashWithNeighbour(Neighbour::sibling, Caller::keeping, replacing, turns);
    EXPECT_GT(sibling.lost, 0u);
    EXPECT_TRUE(anyLossSays(sibling, "sibling's source is gone")) << ::testing::PrintToString(sibling.firstLosses);
    Scenario unchecked;
    unchecked.namesAlwaysLeadToTheirFiles = true;
    const CrashRun mover = crashWithNeighbour(Neighbour::mover, Caller::original, unchecked, turns);
    EXPECT_GT(mover.lost, 0u);
    EXPECT_TRUE(anyLossSays(mover, "the source is gone")) << ::testing::PrintToString(mover.firstLosses);
    std::cout << "without no-replace moves: " << sibling.lost << " of " << sibling.states
              << " states lose a recording; without the name check: " << mover.lost << " of " << mover.states << "\n";
}

// The same checks on a library that leaves the folder unsynced must find the
// state in which the source's removal reached the disk and the new name did not.
TEST(CrashTest, ConversionsThatSkipTheFolderSyncLoseTheRecording) {
    Scenario scenario;
    scenario.folderSyncsDoNothing = true;
    const CrashRun run = crashEveryCall(recordings()[1], scenario);
    EXPECT_GT(run.lost, 0u);
    EXPECT_TRUE(anyLossSays(run, "the source is gone")) << ::testing::PrintToString(run.firstLosses);
    std::cout << "without folder syncs: " << run.lost << " of " << run.states << " crash states lose the recording\n";
}

// And one that leaves the file unsynced, the state in which the name reached the
// disk before the data.
TEST(CrashTest, ConversionsThatSkipTheFileSyncLoseTheRecording) {
    Scenario scenario;
    scenario.fileSyncsDoNothing = true;
    const CrashRun run = crashEveryCall(recordings()[2], scenario);
    EXPECT_GT(run.lost, 0u);
    EXPECT_TRUE(anyLossSays(run, "no file's copy")) << ::testing::PrintToString(run.firstLosses);
    std::cout << "without file syncs: " << run.lost << " of " << run.states << " crash states lose the recording\n";
}

// A batch of three conversions in two folders, crashed after every call: each
// recording is whole at its source's name or its ".kv" name in every state.
struct BatchRun {
    std::size_t states = 0;
    std::size_t points = 0;
    std::size_t lost = 0;
    std::string firstLoss;
};

// With `sourceChanges`, another program appends a chunk to the first source once
// every copy has ended, before the flush: that source must then stay, as it now
// is, or its whole new conversion stand.
BatchRun crashABatch(bool dataFlushDoesNothing, bool folderSyncsDoNothing, bool sourceChanges = false,
                     bool filesNeverChange = false) {
    std::vector<std::pair<std::string, Bytes>> sources = {
        {folder + "a" + folder.back() + "x.snd", KvrbBuilder().lengthMode(0).preamble(2).chunk(7, 330).build()},
        {folder + "a" + folder.back() + "y.snd", KvrbBuilder().lengthMode(1).chunk(90).chunk(3).build()},
        {folder + "b" + folder.back() + "z.snd", KvrbBuilder().lengthMode(1).preamble(9).chunk(400).build()}};
    std::vector<Bytes> converted = {KvrbBuilder().lengthMode(0).preamble(2).chunk(330).build(), sources[1].second,
                                    sources[2].second};
    const Bytes appended = KvrbBuilder().lengthMode(0).preamble(2).chunk(7, 330).chunk(12, 330).build();
    CrashOs os;
    os.largestTransfer = 256;
    os.fileSyncsDoNothing = dataFlushDoesNothing;
    os.folderSyncsDoNothing = folderSyncsDoNothing;
    os.filesNeverChange = filesNeverChange;
    std::vector<marlune_batch_file> files;
    for (const auto& [path, bytes] : sources) {
        os.addSyncedFile(path, bytes);
        files.push_back({sizeof(marlune_batch_file), -1, path.c_str(), nullptr, nullptr});
    }
    bool appendedYet = false;
    std::size_t appendedAt = 0;  // the first crash point that has the new chunk
    if (sourceChanges) {
        os.afterCall = [&] {
            if (appendedYet || os.callBefore(os.crashPoints() - 1) != "syncTogether") return;
            appendedYet = true;
            appendedAt = os.crashPoints();
            os.appendSynced(
                sources[0].first,
                Bytes(appended.begin() + static_cast<std::ptrdiff_t>(sources[0].second.size()), appended.end()));
        };
    }
    const std::int32_t status =
        convertBatchThrough(os, files.data(), static_cast<std::uint32_t>(files.size()), nullptr);
    EXPECT_EQ(status, sourceChanges && !filesNeverChange ? MARLUNE_SOURCE_CHANGED : MARLUNE_OK);
    EXPECT_EQ(appendedYet, sourceChanges);
    const std::pair<std::string, Bytes> before = sources[0];
    const Bytes convertedBefore = converted[0];
    BatchRun run;
    run.points = os.crashPoints();
    for (std::size_t point = 0; point < os.crashPoints(); ++point) {
        // From the append on, what is to be kept is the source as it is now, or its conversion.
        const bool changed = appendedYet && point >= appendedAt;
        sources[0].second = changed ? appended : before.second;
        converted[0] =
            changed ? KvrbBuilder().lengthMode(0).preamble(2).chunk(330).chunk(330).build() : convertedBefore;
        run.states += os.forEachCrashState(point, [&](const CrashOs::Disk& disk) {
            for (std::size_t i = 0; i < sources.size(); ++i) {
                const auto source = disk.find(sources[i].first);
                const auto kv = disk.find(destinationFor(sources[i].first, 0));
                const bool whole = (source != disk.end() && source->second == sources[i].second) ||
                                   (kv != disk.end() && kv->second == converted[i]);
                if (whole) continue;
                if (run.lost++ == 0) run.firstLoss = sources[i].first + " after call " + std::to_string(point + 1);
            }
        });
    }
    return run;
}

TEST(CrashTest, EveryStateACrashLeavesInABatchHoldsEveryRecording) {
    const BatchRun run = crashABatch(false, false);
    EXPECT_EQ(run.lost, 0u) << run.firstLoss;
    std::cout << "batch crash states checked: " << run.states << " (" << run.points << " crash points)\n";
    // Without either of the group's flushes, some state loses a recording.
    const BatchRun noData = crashABatch(true, false);
    const BatchRun noFolders = crashABatch(false, true);
    EXPECT_GT(noData.lost, 0u);
    EXPECT_GT(noFolders.lost, 0u);
    std::cout << "batch without its data flush: " << noData.lost << " losses in " << noData.states
              << " states; without its folder syncs: " << noFolders.lost << " in " << noFolders.states << "\n";
}

// A source that changes after its copy read it is kept, in every state a crash
// leaves; a library that does not look loses the new chunk.
TEST(CrashTest, ASourceChangedAfterItsCopyInABatchIsKeptInEveryState) {
    const BatchRun run = crashABatch(false, false, true);
    EXPECT_EQ(run.lost, 0u) << run.firstLoss;
    const BatchRun unchecked = crashABatch(false, false, true, true);
    EXPECT_GT(unchecked.lost, 0u);
    std::cout << "batch with a source changed after its copy: " << run.states << " states, none lost; without the "
              << "check: " << unchecked.lost << " losses in " << unchecked.states << "\n";
}

// A whole run's conversion of a folder with a collision (a.snd and a.wav, both to
// a.kv) and a partial file a crash left: planned by the run engine on the same
// names, its steps run on the crash disk, crashed after every call. In every state
// each recording is whole at its own name or its ".kv" name, and the file that
// collided is as it was.
TEST(CrashTest, EveryStateACrashLeavesInARunHoldsEveryRecording) {
    const Bytes a = KvrbBuilder().lengthMode(0).preamble(2).chunk(7, 330).build();
    const Bytes aConverted = KvrbBuilder().lengthMode(0).preamble(2).chunk(330).build();
    const Bytes aWav = KvrbBuilder().lengthMode(1).chunk(90).build();
    const Bytes b = KvrbBuilder().lengthMode(1).preamble(9).chunk(40).chunk(3).build();
    const std::string partial = folder + "b.kv.00000000000000aa.marlune-partial";
    const std::vector<std::pair<std::string, Bytes>> files = {
        {folder + "a.snd", a}, {folder + "a.wav", aWav}, {partial, Bytes(100, 7)}, {folder + "b.snd", b}};
    // The plan, on real folders with the same names.
    TempDir real;
    const std::filesystem::path before = std::filesystem::current_path();
    std::filesystem::current_path(real.path(""));
    std::filesystem::create_directory("rec");
    for (const auto& [path, bytes] : files) writeFile(path, bytes);
    marlune_run_options options{};
    options.size = sizeof options;
    options.job = MARLUNE_JOB_CONVERT;
    options.flags = MARLUNE_RUN_RECURSIVE;
    options.workers = 1;
    marlune_run* plan = nullptr;
    ASSERT_EQ(marlune_run_open(&options, &plan), MARLUNE_OK);
    marlune_run_add(plan, "rec", nullptr);
    std::vector<run::Step> steps;
    std::string bytes(1 << 16, '\0');
    std::uint32_t length = 0;
    while (marlune_run_plan_next(plan, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &length) ==
           MARLUNE_RUN_DELIVERED) {
        steps.emplace_back();
        ASSERT_TRUE(run::decode(bytes.data(), length, steps.back()));
    }
    marlune_run_close(plan);
    std::filesystem::current_path(before);

    CrashOs os;
    os.largestTransfer = 256;
    for (const auto& [path, contents] : files) os.addSyncedFile(path, contents);
    std::vector<std::int32_t> statuses;
    for (const run::Step& step : steps) {
        run::StepProgress progress;
        progress.os = &os;
        for (const run::FileAnswer& answer : run::runStep(step, progress)) statuses.push_back(answer.status);
    }
    EXPECT_EQ(statuses,
              (std::vector<std::int32_t>{MARLUNE_OK, MARLUNE_RUN_COLLISION, MARLUNE_RUN_PARTIAL_REMOVED, MARLUNE_OK}));
    std::size_t states = 0;
    std::string firstLoss;
    for (std::size_t point = 0; point < os.crashPoints(); ++point) {
        states += os.forEachCrashState(point, [&](const CrashOs::Disk& disk) {
            const auto holds = [&disk](const std::string& path, const Bytes& expected) {
                const auto found = disk.find(path);
                return found != disk.end() && found->second == expected;
            };
            const bool whole = (holds(folder + "a.snd", a) || holds(folder + "a.kv", aConverted)) &&
                               holds(folder + "a.wav", aWav) &&
                               (holds(folder + "b.snd", b) || holds(folder + "b.kv", b));
            if (!whole && firstLoss.empty())
                firstLoss = "after call " + std::to_string(point + 1) + " " + os.callBefore(point);
        });
    }
    EXPECT_EQ(firstLoss, "");
    EXPECT_FALSE(os.contents(partial));
    std::cout << "run crash states checked: " << states << " (" << os.crashPoints() << " crash points)\n";
}

// A mirror with deletions and a manifest, run whole through the engine on the
// model: a source of two folders (containers and one other file) over a mirror
// made by an earlier run, to which two sources have changed since and which holds
// one file more. Files move 8 bytes a call and groups hold two files, so there
// are many calls to crash after.
struct MirrorCrash {
    std::map<std::string, Bytes> sources;
    std::map<std::string, Bytes> copiesBefore;  // the destination before the run, by name
    std::map<std::string, Bytes> copiesAfter;
    std::vector<std::int32_t> statuses;
    std::size_t points = 0;
    std::size_t states = 0;
    std::string firstLoss;
};

std::string pathOf(std::initializer_list<const char*> parts) {
    std::string path;
    for (const char* part : parts) path += (path.empty() ? "" : std::string(1, platform::pathSeparator)) + part;
    return path;
}

const std::string mirrorSource = pathOf({"m", "src"});
const std::string mirrorDestination = pathOf({"m", "dst"});

// The source's name of a copy, or nothing for a file that has none (the manifest, an extra).
std::optional<std::string> sourceOf(const std::string& copy) {
    if (copy.compare(0, mirrorDestination.size(), mirrorDestination) != 0) return std::nullopt;
    return mirrorSource + copy.substr(mirrorDestination.size());
}

std::vector<std::int32_t> mirrorOnce(CrashOs& os, bool deleteDespiteSourceErrors, std::uint32_t flags = 0) {
    run::Job job;
    job.job = MARLUNE_JOB_COPY;
    job.flags = MARLUNE_RUN_MIRROR | MARLUNE_RUN_DELETE | MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_SHA256 | flags;
    job.durability = MARLUNE_DURABLE_DATA_AND_NAME;
    job.root = mirrorDestination;
    job.manifest = pathOf({"m", "dst", "MANIFEST"});
    job.deleteDespiteSourceErrors = deleteDespiteSourceErrors;
    run::Bounds bounds;
    bounds.workers = 1;
    bounds.window = 2;
    bounds.groupFiles = 2;
    bounds.openFiles = 64;
    bounds.os = &os;
    run::Engine engine(job, bounds);
    std::vector<std::int32_t> statuses;
    if (engine.add(mirrorSource.c_str(), "") != MARLUNE_OK || engine.start() != MARLUNE_OK) return statuses;
    for (;;) {
        marlune_run_result result{};
        result.size = sizeof result;
        if (engine.next(result, -1) != MARLUNE_RUN_DELIVERED) break;
        statuses.push_back(result.status);
    }
    int error = 0;
    statuses.push_back(engine.manifestStatus(error));
    return statuses;
}

// What a run may get wrong, to show that the crash states catch it.
struct MirrorFaults {
    bool fileSyncsDoNothing = false;
    bool unlistableSourceFolder = false;
    bool deleteDespiteSourceErrors = false;
    // Not a fault: a --checksum rerun, over a copy that changed on the destination since written.
    bool checksumOverARot = false;
};

MirrorCrash crashAMirror(MirrorFaults faults = {}) {
    MirrorCrash run;
    run.sources = {
        {pathOf({"m", "src", "a", "one.snd"}), KvrbBuilder().lengthMode(0).preamble(2).chunk(7, 530).build()},
        {pathOf({"m", "src", "a", "two.kv"}), KvrbBuilder().lengthMode(1).chunk(390).chunk(4).build()},
        {pathOf({"m", "src", "b", "three.snd"}), KvrbBuilder().lengthMode(1).preamble(9).chunk(240).build()},
        {pathOf({"m", "src", "b", "notes.txt"}), Bytes(450, 'n')},
        {pathOf({"m", "src", "top.kv"}), KvrbBuilder().lengthMode(0).chunk(260).build()},
    };
    std::map<std::string, std::int64_t> times;
    std::set<std::string> folders;
    {  // The mirror as an earlier run left it.
        CrashOs earlier;
        for (const auto& [path, bytes] : run.sources) earlier.addSyncedFile(path, bytes);
        earlier.addFolder(mirrorDestination);
        mirrorOnce(earlier, false);
        for (const std::string& name : earlier.names()) {
            times[name] = earlier.modifiedOf(name);
            if (name.compare(0, mirrorDestination.size(), mirrorDestination) == 0)
                run.copiesBefore[name] = *earlier.contents(name);
        }
        folders = earlier.folders();
    }
    CrashOs os;
    os.largestTransfer = 8;
    os.fileSyncsDoNothing = faults.fileSyncsDoNothing;
    for (const std::string& path : folders) os.addFolder(path);
    // Its size and time as written, one byte not.
    if (faults.checksumOverARot) run.copiesBefore[pathOf({"m", "dst", "b", "notes.txt"})][200] ^= 1;
    for (const auto& [path, bytes] : run.copiesBefore) os.addSyncedFile(path, bytes, times.at(path));
    const std::string changed = pathOf({"m", "src", "b", "three.snd"});
    const std::string alsoChanged = pathOf({"m", "src", "a", "two.kv"});
    run.sources[changed] = KvrbBuilder().lengthMode(1).preamble(9).chunk(241).chunk(50).build();
    run.sources[alsoChanged] = KvrbBuilder().lengthMode(1).chunk(300).build();
    // A container cut short: its partial file, begun as a container's copy, is cut back and
    // written again with the bytes as they are.
    const std::string notes = pathOf({"m", "src", "b", "notes.txt"});
    run.sources[notes] = KvrbBuilder().lengthMode(1).chunk(300).chunk(200).build();
    run.sources[notes].resize(run.sources[notes].size() - 150);
    for (const auto& [path, bytes] : run.sources) {
        const bool rewritten = path == changed || path == alsoChanged || path == notes;
        os.addSyncedFile(path, bytes, rewritten ? 0 : times.at(path));
    }
    const std::string extra = pathOf({"m", "dst", "b", "extra.txt"});
    run.copiesBefore[extra] = Bytes(70, 'x');
    os.addSyncedFile(extra, run.copiesBefore[extra]);

    if (faults.unlistableSourceFolder) os.unlistable.insert(pathOf({"m", "src", "a"}));
    const std::size_t before = os.crashPoints();

    run.statuses = mirrorOnce(os, faults.deleteDespiteSourceErrors, faults.checksumOverARot ? MARLUNE_RUN_CHECKSUM : 0);
    for (const auto& copy : run.copiesBefore) {
        if (const std::optional<Bytes> now = os.contents(copy.first)) run.copiesAfter[copy.first] = *now;
    }
    for (std::size_t point = before; point < os.crashPoints(); ++point) {
        ++run.points;
        run.states += os.forEachCrashState(point, [&](const CrashOs::Disk& disk) {
            if (!run.firstLoss.empty()) return;
            const auto lost = [&](const std::string& what) {
                run.firstLoss = what + " after call " + std::to_string(point + 1) + " " + os.callBefore(point);
            };
            for (const auto& [path, bytes] : run.sources) {
                const auto found = disk.find(path);
                if (found == disk.end() || found->second != bytes) return lost("source " + path);
            }
            // A copy whose source exists holds its old bytes or the whole new copy.
            for (const auto& [path, bytes] : run.copiesBefore) {
                const std::optional<std::string> source = sourceOf(path);
                if (!source || run.sources.count(*source) == 0) continue;
                const auto found = disk.find(path);
                const auto after = run.copiesAfter.find(path);
                if (found == disk.end() ||
                    (found->second != bytes && (after == run.copiesAfter.end() || found->second != after->second)))
                    return lost("copy " + path);
            }
        });
    }
    return run;
}

// At every crash point of the run, every state a crash there may leave (on Linux:
// 873 points, 35,715 states) holds every source as it was and every copy whose
// source exists, old or new but whole.
TEST(CrashTest, EveryStateACrashLeavesInAMirrorWithDeletionsKeepsSourcesAndTheirCopies) {
    const MirrorCrash run = crashAMirror();
    // The cut container is copied as it is, and told damaged.
    for (const std::int32_t status : run.statuses)
        EXPECT_TRUE(status == MARLUNE_OK || status == MARLUNE_FINISHED || status == MARLUNE_PAYLOAD_CUT) << status;
    EXPECT_EQ(std::count(run.statuses.begin(), run.statuses.end(), MARLUNE_PAYLOAD_CUT), 1);
    // The changed sources were copied again, the extra file removed.
    EXPECT_NE(run.copiesAfter.at(pathOf({"m", "dst", "a", "two.kv"})),
              run.copiesBefore.at(pathOf({"m", "dst", "a", "two.kv"})));
    EXPECT_NE(run.copiesAfter.at(pathOf({"m", "dst", "b", "three.snd"})),
              run.copiesBefore.at(pathOf({"m", "dst", "b", "three.snd"})));
    EXPECT_EQ(run.copiesAfter.at(pathOf({"m", "dst", "b", "notes.txt"})),
              run.sources.at(pathOf({"m", "src", "b", "notes.txt"})));
    EXPECT_EQ(run.copiesAfter.count(pathOf({"m", "dst", "b", "extra.txt"})), 0u);
    for (const auto& source : run.sources) {
        const std::string copy = mirrorDestination + source.first.substr(mirrorSource.size());
        EXPECT_EQ(run.copiesBefore.count(copy), 1u) << copy;
    }
    EXPECT_EQ(run.firstLoss, "");
    EXPECT_GT(run.points, 500u);
    std::cout << "mirror crash states checked: " << run.states << " (" << run.points << " crash points)\n";

    // A --checksum rerun restores a rotted copy as it copies any other: old or whole in every state.
    MirrorFaults checksum;
    checksum.checksumOverARot = true;
    const MirrorCrash restored = crashAMirror(checksum);
    EXPECT_EQ(restored.firstLoss, "");
    EXPECT_EQ(restored.copiesAfter.at(pathOf({"m", "dst", "b", "notes.txt"})),
              restored.sources.at(pathOf({"m", "src", "b", "notes.txt"})));

    // A run whose copies' data never reaches the disk before their names replace the old copies.
    MirrorFaults unsynced;
    unsynced.fileSyncsDoNothing = true;
    EXPECT_NE(crashAMirror(unsynced).firstLoss.find("copy "), std::string::npos);
}

// The test above is live: a source folder that cannot be listed turns deletion off
// for the run, and nothing is lost; with that rule switched off, the same run
// deletes the copies of what the folder holds, and the crash states see the loss.
TEST(CrashTest, WithoutTheListingWholeRuleAMirrorDeletesCopiesWhoseSourcesExist) {
    MirrorFaults faults;
    faults.unlistableSourceFolder = true;
    const MirrorCrash kept = crashAMirror(faults);
    EXPECT_EQ(kept.firstLoss, "");
    EXPECT_NE(std::find(kept.statuses.begin(), kept.statuses.end(), MARLUNE_RUN_DELETION_OFF), kept.statuses.end());
    EXPECT_EQ(kept.copiesAfter.count(pathOf({"m", "dst", "b", "extra.txt"})), 1u);

    faults.deleteDespiteSourceErrors = true;
    const MirrorCrash lost = crashAMirror(faults);
    EXPECT_EQ(lost.firstLoss.rfind("copy " + pathOf({"m", "dst", "a"}), 0), 0u) << lost.firstLoss;
    EXPECT_EQ(lost.copiesAfter.count(pathOf({"m", "dst", "a", "one.snd"})), 0u);
}

// The model itself: what an unsynced file and name may come to, and that syncs keep them.
TEST(CrashOs, LosesKeepsOrTearsEachUnsyncedChange) {
    CrashOs os;
    platform::Handle file = platform::noHandle;
    ASSERT_TRUE(os.createNew("d/f", file, platform::Access::usual));
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

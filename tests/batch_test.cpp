// Batches: each file ends as its own marlune_convert or marlune_copy would, with
// one shared flush for the data and one per folder; a failure stays with its
// file, a cancel keeps every source.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>

#include <cerrno>
#endif

#include "boundary/api.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

const Bytes fixedSource = KvrbBuilder().lengthMode(0).chunk(3, 330).build();
const Bytes fixedConverted = KvrbBuilder().lengthMode(0).chunk(330).build();
const Bytes variable = KvrbBuilder().lengthMode(1).preamble(4).chunk(50).chunk(7).build();

class Batches : public ::testing::Test {
protected:
    TempDir dir;
    TestOs os;
    std::vector<std::string> paths;
    std::vector<std::string> destinations;
    std::vector<marlune_report> reports;
    std::vector<marlune_batch_file> files;

    void SetUp() override {
        std::filesystem::create_directory(dir.path("a"));
        std::filesystem::create_directory(dir.path("b"));
    }

    std::string at(const std::string& name) const { return dir.path(name); }

    void add(const std::string& name, const Bytes* bytes, const std::string& destination = "") {
        paths.push_back(at(name));
        destinations.push_back(destination.empty() ? "" : at(destination));
        if (bytes) writeFile(paths.back(), *bytes);
    }

    std::int32_t convert(const marlune_options* options = nullptr) { return run(true, options); }
    std::int32_t copy(const marlune_options* options = nullptr) { return run(false, options); }

    std::int32_t status(std::size_t i) const { return files.at(i).status; }

private:
    std::int32_t run(bool converting, const marlune_options* options) {
        reports.assign(paths.size(), marlune_report{});
        files.assign(paths.size(), marlune_batch_file{});
        for (std::size_t i = 0; i < paths.size(); ++i) {
            reports[i].size = sizeof reports[i];
            files[i] = {sizeof(marlune_batch_file), -1, paths[i].c_str(),
                        destinations[i].empty() ? nullptr : destinations[i].c_str(), &reports[i]};
        }
        const auto count = static_cast<std::uint32_t>(files.size());
        return converting ? convertBatchThrough(os, files.data(), count, options)
                          : copyBatchThrough(os, files.data(), count, options);
    }
};

TEST_F(Batches, EachFileEndsAsItsOwnConversionWouldWithOneFlushForAllAndOnePerFolder) {
    add("a/x.snd", &fixedSource);
    add("a/y.snd", &variable);
    add("b/z.snd", &variable);
    EXPECT_EQ(convert(), MARLUNE_OK);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(status(i), MARLUNE_OK) << i;
    EXPECT_EQ(readFile(at("a/x.kv")), fixedConverted);
    EXPECT_EQ(readFile(at("a/y.kv")), variable);
    EXPECT_EQ(readFile(at("b/z.kv")), variable);
    EXPECT_EQ(dir.names("a"), (std::vector<std::string>{"x.kv", "y.kv"}));
    EXPECT_EQ(dir.names("b"), std::vector<std::string>{"z.kv"});
    EXPECT_EQ(reports[0].length_fields_set, 1u);
    EXPECT_EQ(reports[1].bytes_written, variable.size());
    EXPECT_EQ(os.calls(Call::syncTogether), 1);
    EXPECT_EQ(os.calls(Call::sync), 0);
    EXPECT_EQ(os.calls(Call::syncFolder), 2);
}

// Files that fail, or need nothing, leave the others to succeed.
TEST_F(Batches, AFileThatFailsAffectsNoOther) {
    const Bytes cut = prefix(variable, variable.size() - 2);
    const Bytes earlier = KvrbBuilder().lengthMode(1).chunk(1).build();
    add("a/cut.snd", &cut);
    add("a/good.snd", &variable);
    add("a/done.kv", &variable);
    add("a/missing.snd", nullptr);
    add("b/kept.snd", &variable);
    writeFile(at("b/kept.kv"), earlier);
    marlune_options keeping{};
    keeping.size = sizeof keeping;
    EXPECT_EQ(convert(&keeping), MARLUNE_PAYLOAD_CUT);
    EXPECT_EQ(status(0), MARLUNE_PAYLOAD_CUT);
    EXPECT_EQ(status(1), MARLUNE_OK);
    EXPECT_EQ(status(2), MARLUNE_ALREADY_CONVERTED);
    EXPECT_EQ(status(3), MARLUNE_SOURCE_MISSING);
    EXPECT_EQ(status(4), MARLUNE_DESTINATION_EXISTS);
    EXPECT_EQ(reports[0].cut_missing, 2u);
    EXPECT_EQ(dir.names("a"), (std::vector<std::string>{"cut.snd", "done.kv", "good.kv"}));
    EXPECT_EQ(readFile(at("b/kept.kv")), earlier);
    EXPECT_TRUE(fileExists(at("b/kept.snd")));
}

// Where the shared flush fails, each file is flushed on its own; a folder that
// cannot be synced fails the files moved into it, and their sources stay.
TEST_F(Batches, FailedFlushesFailOnlyTheFilesTheyHeld) {
    add("a/x.snd", &variable);
    add("b/y.snd", &variable);
    os.fault = Fault{Call::syncTogether, 1};
    os.secondFault = Fault{Call::syncFolder, 2};
    EXPECT_EQ(convert(), MARLUNE_SYNC_ERROR);
    EXPECT_EQ(os.calls(Call::sync), 2);
    EXPECT_EQ(status(0), MARLUNE_OK);
    EXPECT_EQ(status(1), MARLUNE_SYNC_ERROR);
    EXPECT_EQ(reports[1].system_error, ErrorCodes::io);
    EXPECT_EQ(dir.names("a"), std::vector<std::string>{"x.kv"});
    EXPECT_TRUE(fileExists(at("b/y.snd")));
}

// A folder that cannot be held open (for any reason but a want of handles) is
// left to the names, which work as they would in a single call.
TEST_F(Batches, AFolderThatCannotBeOpenedIsWorkedInByName) {
    add("a/x.snd", &fixedSource);
    add("b/y.snd", &variable);
    os.fault = Fault{Call::openFolder, 1};
    EXPECT_EQ(convert(), MARLUNE_OK);
    EXPECT_TRUE(os.faulted);
    EXPECT_EQ(dir.names("a"), std::vector<std::string>{"x.kv"});
    EXPECT_EQ(dir.names("b"), std::vector<std::string>{"y.kv"});
    EXPECT_EQ(os.openFiles(), 0u);
}

std::int32_t MARLUNE_CALL cancelSecond(std::uint64_t, std::uint64_t, void* context) {
    return ++*static_cast<int*>(context) >= 2 ? 1 : 0;
}

TEST_F(Batches, ACancelKeepsEverySourceAndLeavesNoPartialFile) {
    add("a/x.snd", &variable);
    add("a/y.snd", &variable);
    add("b/z.snd", &variable);
    int calls = 0;
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 1;
    options.progress = cancelSecond;
    options.progress_context = &calls;
    EXPECT_EQ(convert(&options), MARLUNE_CANCELLED);
    for (std::size_t i = 0; i < 3; ++i) EXPECT_EQ(status(i), MARLUNE_CANCELLED) << i;
    EXPECT_EQ(dir.names("a"), (std::vector<std::string>{"x.snd", "y.snd"}));
    EXPECT_EQ(dir.names("b"), std::vector<std::string>{"z.snd"});
}

// Two files of one batch with one ".kv" name. Without replace the first takes the
// name and the second is kept; with it the second replaces the first's copy, whose
// source therefore stays (on Windows, where an open file cannot be replaced, the
// second's move fails instead). Nothing is lost either way.
TEST_F(Batches, SiblingsOfOneBatchNeverLoseARecording) {
    for (const std::int32_t replace : {1, 0}) {
        paths.clear();
        destinations.clear();
        add("a/t.snd", &fixedSource);
        add("a/t.wav", &variable);
        std::filesystem::remove(at("a/t.kv"));
        marlune_options options{};
        options.size = sizeof options;
        options.replace = replace;
        convert(&options);
        const bool secondTookIt = status(1) == MARLUNE_OK;
        if (!replace) EXPECT_EQ(status(1), MARLUNE_DESTINATION_EXISTS);
        EXPECT_EQ(status(0), secondTookIt ? MARLUNE_DESTINATION_REPLACED : MARLUNE_OK) << replace;
        EXPECT_EQ(readFile(at("a/t.kv")), secondTookIt ? variable : fixedConverted);
        EXPECT_TRUE(fileExists(at(secondTookIt ? "a/t.snd" : "a/t.wav")));
        EXPECT_EQ(dir.names("a").size(), 2u);
    }
}

// Copies keep their sources; only the durability asked for is paid.
TEST_F(Batches, CopiesGoBesideAndSyncAsAskedFor) {
    add("a/x.snd", &fixedSource, "b/x.kv");
    add("a/y.snd", &variable, "b/y.kv");
    EXPECT_EQ(copy(), MARLUNE_OK);
    EXPECT_EQ(readFile(at("b/x.kv")), fixedConverted);
    EXPECT_EQ(readFile(at("b/y.kv")), variable);
    EXPECT_EQ(dir.names("a"), (std::vector<std::string>{"x.snd", "y.snd"}));
    EXPECT_EQ(os.calls(Call::syncTogether) + os.calls(Call::sync) + os.calls(Call::syncFolder), 0);
    marlune_options durable{};
    durable.size = sizeof durable;
    durable.replace = 1;
    durable.durability = MARLUNE_DURABLE_DATA_AND_NAME;
    EXPECT_EQ(copy(&durable), MARLUNE_OK);
    EXPECT_EQ(os.calls(Call::syncTogether), 1);
    EXPECT_EQ(os.calls(Call::syncFolder), 1);
    EXPECT_EQ(dir.names("b"), (std::vector<std::string>{"x.kv", "y.kv"}));
}

// A large container, so that its copy tells its progress several times.
Bytes largeContainer() {
    KvrbBuilder builder = KvrbBuilder().lengthMode(1);
    for (int i = 0; i < 48; ++i) builder.chunk(65535);
    return builder.build();
}

// What another program does while the batch copies the file of `size` bytes.
struct Meanwhile {
    std::uint64_t size = 0;
    std::function<void()> act;
    bool done = false;
};

std::int32_t MARLUNE_CALL actWhileCopying(std::uint64_t, std::uint64_t total, void* context) {
    auto* meanwhile = static_cast<Meanwhile*>(context);
    if (total == meanwhile->size && !meanwhile->done) {
        meanwhile->done = true;
        meanwhile->act();
    }
    return 0;
}

marlune_options optionsActing(Meanwhile& meanwhile, std::int32_t replace) {
    marlune_options options{};
    options.size = sizeof options;
    options.replace = replace;
    options.progress = actWhileCopying;
    options.progress_context = &meanwhile;
    return options;
}

// A chunk appended to the first file while the second is copied (its copy has
// ended, its removal is still to come): the first source stays, with its chunk.
TEST_F(Batches, ASourceThatChangesAfterItsCopyIsKept) {
    const Bytes longer = KvrbBuilder().lengthMode(1).preamble(4).chunk(50).chunk(7).chunk(300).build();
    const Bytes large = largeContainer();
    add("a/x.snd", &variable);
    add("a/y.snd", &large);
    Meanwhile meanwhile{large.size(), [&] { writeFile(at("a/x.snd"), longer); }};
    const marlune_options options = optionsActing(meanwhile, 0);
    EXPECT_EQ(convert(&options), MARLUNE_SOURCE_CHANGED);
    EXPECT_TRUE(meanwhile.done);
    EXPECT_EQ(status(0), MARLUNE_SOURCE_CHANGED);
    EXPECT_EQ(reports[0].status, MARLUNE_SOURCE_CHANGED);
    EXPECT_EQ(status(1), MARLUNE_OK);
    EXPECT_EQ(readFile(at("a/x.snd")), longer);
    EXPECT_EQ(readFile(at("a/x.kv")), variable);
    EXPECT_EQ(readFile(at("a/y.kv")), large);
    EXPECT_EQ(dir.names("a"), (std::vector<std::string>{"x.kv", "x.snd", "y.kv"}));
}

// One file under several names: the first entry converts it, the others do
// nothing and say so, and no report claims what did not happen.
TEST_F(Batches, AFileNamedTwiceIsConvertedOnceAndTheOthersSaySo) {
    add("a/t.snd", &variable);
    paths.push_back(at("a") + "/./t.snd");
    destinations.emplace_back();
    std::filesystem::create_hard_link(at("a/t.snd"), at("a/h.snd"));
    add("a/h.snd", nullptr);
    std::error_code noLinks;  // Windows lets few callers make symbolic links
    std::filesystem::create_symlink(at("a/t.snd"), at("a/l.snd"), noLinks);
    if (!noLinks) add("a/l.snd", nullptr);
    EXPECT_EQ(convert(), MARLUNE_NAMED_TWICE);
    EXPECT_EQ(status(0), MARLUNE_OK);
    for (std::size_t i = 1; i < paths.size(); ++i) {
        EXPECT_EQ(status(i), MARLUNE_NAMED_TWICE) << paths[i];
        EXPECT_EQ(reports[i].bytes_written, 0u) << paths[i];
    }
    EXPECT_EQ(readFile(at("a/t.kv")), variable);
    EXPECT_FALSE(fileExists(at("a/t.snd")));
    EXPECT_EQ(readFile(at("a/h.snd")), variable);
    EXPECT_EQ(dir.names("a"), noLinks ? (std::vector<std::string>{"h.snd", "t.kv"})
                                      : (std::vector<std::string>{"h.snd", "l.snd", "t.kv"}));
}

// The folder is renamed while the batch copies: the names the batch gives are in
// the folder it opened, wherever it is now, and none is left behind. Windows
// refuses the rename while the batch holds the folder.
TEST_F(Batches, AFolderRenamedMeanwhileChangesNothing) {
    const Bytes large = largeContainer();
    add("a/x.snd", &fixedSource);
    add("a/y.snd", &large);
    std::error_code refused;
    Meanwhile meanwhile{large.size(), [&] { std::filesystem::rename(at("a"), at("moved"), refused); }};
    const marlune_options options = optionsActing(meanwhile, 1);
    EXPECT_EQ(convert(&options), MARLUNE_OK);
    EXPECT_TRUE(meanwhile.done);
#ifdef _WIN32
    EXPECT_TRUE(refused);
#else
    EXPECT_FALSE(refused);
#endif
    const std::string now = refused ? "a" : "moved";
    EXPECT_EQ(dir.names(now), (std::vector<std::string>{"x.kv", "y.kv"}));
    EXPECT_EQ(readFile(at(now + "/x.kv")), fixedConverted);
    EXPECT_EQ(readFile(at(now + "/y.kv")), large);
    EXPECT_FALSE(std::filesystem::exists(at(refused ? "moved" : "a")));
}

#ifndef _WIN32
// With fewer descriptors than the batch needs, it fails as a whole before any
// move: each file says why, with the system's code, and nothing has a ".kv" name.
// The descriptors run out while the sources are opened, or later, while the
// copies are made (after every source and the folder).
TEST_F(Batches, ABatchWithoutEnoughDescriptorsFailsBeforeAnyMove) {
    for (int i = 0; i < 60; ++i) add("a/t" + std::to_string(i) + ".snd", &variable);
    std::size_t open = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) open += entry.exists() ? 1 : 0;
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    for (const std::size_t allowed : {40, 60 + 1 + 10}) {
        rlimit few = before;
        few.rlim_cur = open + allowed;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &few), 0);
        const std::int32_t result = convert();
        setrlimit(RLIMIT_NOFILE, &before);
        EXPECT_EQ(result, MARLUNE_TOO_MANY_FILES) << allowed;
        for (std::size_t i = 0; i < paths.size(); ++i) {
            EXPECT_EQ(status(i), MARLUNE_TOO_MANY_FILES) << allowed << ", " << i;
            EXPECT_EQ(reports[i].system_error, EMFILE) << allowed << ", " << i;
        }
        const std::vector<std::string> names = dir.names("a");
        EXPECT_EQ(names.size(), 60u) << allowed;
        for (const std::string& name : names) EXPECT_EQ(name.substr(name.size() - 4), ".snd") << name;
    }
    // With enough, the same batch goes through.
    EXPECT_EQ(convert(), MARLUNE_OK);
}
#endif

TEST(Batch, EmptyOrMissingBatches) {
    EXPECT_EQ(marlune_convert_batch(nullptr, 0, nullptr), MARLUNE_OK);
    EXPECT_EQ(marlune_convert_batch(nullptr, 3, nullptr), MARLUNE_NO_SOURCE_NAME);
    marlune_batch_file file{};
    file.size = sizeof file;
    EXPECT_EQ(marlune_copy_batch(&file, 1, nullptr), MARLUNE_NO_SOURCE_NAME);
    EXPECT_EQ(file.status, MARLUNE_NO_SOURCE_NAME);
}

}  // namespace
}  // namespace marlune::testing

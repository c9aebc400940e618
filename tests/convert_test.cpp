// IKVRBinfo: the ".kv" name, the copy, and what becomes of the source.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <functional>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "boundary/operations.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

TEST(DestinationName, ReplacesTheExtensionOfTheLastComponent) {
    const std::pair<const char*, const char*> cases[] = {
        {"/data/track.snd", "/data/track.kv"},
        {"/data/track", "/data/track.kv"},
        {"/data/track.old.snd", "/data/track.old.kv"},
        {"/set.2/track", "/set.2/track.kv"},  // a "." in a folder name is not an extension
        {"set.2/track.x", "set.2/track.kv"},
        {"track.", "track.kv"},
        {"track.KV", "track.kv"},
        {"", ".kv"},
        {"a", "a.kv"},
        {".snd", ".kv"},
    };
    for (const auto& [path, expected] : cases) EXPECT_EQ(destinationFor(path, 0), expected) << path;
#ifdef _WIN32
    EXPECT_EQ(destinationFor("D:\\data\\track.snd", 0), "D:\\data\\track.kv");
    EXPECT_EQ(destinationFor("D:\\set.2\\track", 0), "D:\\set.2\\track.kv");
    EXPECT_EQ(destinationFor("D:\\set.2/track", 0), "D:\\set.2/track.kv");
#else
    EXPECT_EQ(destinationFor("set.2\\track", 0), "set.kv");  // "\" is an ordinary byte on POSIX
#endif
}

#ifdef _WIN32
// In Shift-JIS (code page 932) 0x83 0x5C is one character whose second byte is "\".
TEST(DestinationName, StepsOverDoubleByteCharactersOfCodePage932) {
    EXPECT_EQ(destinationFor("D:\\set.2\\so.\x83\x5C", 932), "D:\\set.2\\so.kv");
    // 0xB1 is a one-byte (half-width) character: the "\" after it is a separator.
    EXPECT_EQ(destinationFor("D:\\\xB1.x\\a", 932), "D:\\\xB1.x\\a.kv");
    EXPECT_EQ(destinationFor("a.\x83\x5C\x83\x5C", 932), "a.kv");
    EXPECT_EQ(destinationFor("a.b\x83", 932), "a.kv");  // a lead byte with nothing after it
    // In a single-byte code page the same bytes are two characters, the second a separator.
    EXPECT_EQ(destinationFor("D:\\set.2\\so.\x83\x5C", 1252), "D:\\set.2\\so.\x83\x5C.kv");
}
#endif

class ConvertTest : public ::testing::Test {
protected:
    std::int32_t convert(const std::string& path, std::int32_t showErrors = 1) {
        return IKVRBinfo(12345, &showErrors, path.c_str());
    }

    TempDir dir;
    TestOs os;
    const Bytes good = KvrbBuilder().lengthMode(0).chunk(1, 330).chunk(330).build();
};

TEST_F(ConvertTest, ConvertsAndRemovesTheSource) {
    const std::string source = dir.path("track.old.snd");
    writeFile(source, good);
    EXPECT_EQ(convert(source), -1);
    EXPECT_FALSE(fileExists(source));
    EXPECT_EQ(readFile(dir.path("track.old.kv")), KvrbBuilder().lengthMode(0).chunk(330).chunk(330).build());
    EXPECT_EQ(os.calls(Call::sync), 1);  // on stable storage before the source goes
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(os.openFiles(), 0u);

    writeFile(dir.path("noext"), good);
    EXPECT_EQ(convert(dir.path("noext")), -1);
    EXPECT_TRUE(fileExists(dir.path("noext.kv")));
    EXPECT_FALSE(fileExists(dir.path("noext")));
}

// The source goes, so its date and who may read it must live on in the .kv, in
// every way a conversion is asked for: set before the copy is made durable and
// takes its name.
TEST_F(ConvertTest, TheKvKeepsTheSourcesTimeAndMode) {
    namespace fs = std::filesystem;
    const std::string source = dir.path("take.snd");
    const std::string kv = dir.path("take.kv");
    const auto convertBatch = [](const std::string& path) {
        marlune_batch_file file{sizeof(marlune_batch_file), 0, path.c_str(), nullptr, nullptr};
        return marlune_convert_batch(&file, 1, nullptr) == MARLUNE_OK;
    };
    const std::pair<const char*, std::function<bool(const std::string&)>> callers[] = {
        {"IKVRBinfo", [this](const std::string& path) { return convert(path) == -1; }},
        {"marlune_convert",
         [](const std::string& path) { return marlune_convert(path.c_str(), nullptr, nullptr) == MARLUNE_OK; }},
        {"marlune_convert_batch", convertBatch},
    };
#ifdef _WIN32
    const unsigned modes[] = {0};  // no permission bits: the time alone
#else
    const unsigned modes[] = {0444, 0600, 0640};
#endif
    for (const auto& [caller, converted] : callers) {
        for (const unsigned mode : modes) {
            SCOPED_TRACE(std::string(caller) + " " + std::to_string(mode));
            writeFile(source, good);
            fs::last_write_time(source, fs::file_time_type::clock::now() - std::chrono::hours(24 * 365 * 20));
            const fs::file_time_type taken = fs::last_write_time(source);
#ifndef _WIN32
            ASSERT_EQ(chmod(source.c_str(), mode), 0);
#endif
            ASSERT_TRUE(converted(source));
            EXPECT_FALSE(fileExists(source));
            EXPECT_EQ(fs::last_write_time(kv), taken);
#ifndef _WIN32
            struct stat information {};
            ASSERT_EQ(stat(kv.c_str(), &information), 0);
            EXPECT_EQ(information.st_mode & 07777, mode);
#endif
            fs::permissions(kv, fs::perms::owner_write, fs::perm_options::add);
            std::remove(kv.c_str());
        }
    }
    EXPECT_TRUE(os.messages.empty());
    EXPECT_EQ(dir.names(), std::vector<std::string>{});
}

// Set through the Os, after the last write and before the data are flushed; a
// failure there keeps the source and leaves nothing at the .kv name.
TEST_F(ConvertTest, TheTimeAndModeAreSetBeforeTheCopyIsFlushedAndMoved) {
    const std::string source = dir.path("take.snd");
    writeFile(source, good);
    std::vector<int> setBefore;
    os.onCall = [&](Call call, int) {
        if (call == Call::write || call == Call::sync || call == Call::move) setBefore.push_back(os.folderCalls());
    };
    EXPECT_EQ(convert(source), -1);
    ASSERT_GE(setBefore.size(), 3u);
    EXPECT_EQ(setBefore[setBefore.size() - 3], 0);  // the last write
    EXPECT_EQ(setBefore[setBefore.size() - 2], 1);  // the sync
    EXPECT_EQ(setBefore.back(), 1);                 // the move
    std::remove(dir.path("take.kv").c_str());

    writeFile(source, good);
    TestOs faulty;
    faulty.failedFolderCall = 1;
    EXPECT_EQ(convert(source), 0);
    EXPECT_TRUE(faulty.faulted);
    EXPECT_EQ(faulty.messages, std::vector<std::string>{messages::cannotCopyAudioData});
    EXPECT_EQ(readFile(source), good);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"take.snd"});
}

TEST_F(ConvertTest, AlreadyKvIsLeftAlone) {
    writeFile(dir.path("a.kv"), {1, 2, 3});
    EXPECT_EQ(convert(dir.path("a.kv")), -1);
    EXPECT_EQ(readFile(dir.path("a.kv")), (Bytes{1, 2, 3}));
    EXPECT_EQ(os.calls(Call::openForReading), 0);
    // Only the exact lower-case ending counts; short paths never match.
    for (const char* path : {"kv", "v", ".KV", ".Kv"}) {
        EXPECT_EQ(convert(path, 0), 0) << path;
    }
    EXPECT_EQ(os.calls(Call::openForReading), 4);
    EXPECT_EQ(IKVRBinfo(0, nullptr, ".kv"), -1);
}

TEST_F(ConvertTest, AFailedConversionKeepsTheSource) {
    const std::string source = dir.path("cut.snd");
    const Bytes cut = prefix(good, good.size() - 1);
    writeFile(source, cut);
    EXPECT_EQ(convert(source), 0);
    EXPECT_EQ(readFile(source), cut);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCopyAudioData});
    // Only the partial file was removed: nothing is left at the ".kv" name or beside it.
    EXPECT_EQ(os.calls(Call::deleteFile), 1);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"cut.snd"});
}

TEST_F(ConvertTest, AFailedFlushToStorageKeepsTheSource) {
    const std::string source = dir.path("track.snd");
    writeFile(source, good);
    os.fault = Fault{Call::sync, 1};
    EXPECT_EQ(convert(source), 0);
    EXPECT_EQ(readFile(source), good);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCopyAudioData});
    EXPECT_EQ(os.openFiles(), 0u);
}

// The steps after the copy fail, and so does removing the partial file then: the
// source and an earlier conversion stay as they were, and the partial file is
// all that is left beside them.
TEST_F(ConvertTest, WhenTheMoveFailsAndThePartialFileCannotBeRemoved) {
    const std::string source = dir.path("track.snd");
    const Bytes earlier = KvrbBuilder().chunk(7).build();
    for (const Call failing : {Call::syncFolder, Call::move}) {
        writeFile(source, good);
        writeFile(dir.path("track.kv"), earlier);
        TestOs faulty;
        faulty.fault = Fault{failing, 1};
        faulty.secondFault = Fault{Call::deleteFile, 1};
        EXPECT_EQ(convert(source), 0);
        EXPECT_EQ(faulty.messages, std::vector<std::string>{messages::cannotCopyAudioData});
        EXPECT_EQ(readFile(source), good);
        EXPECT_EQ(readFile(dir.path("track.kv")), earlier);
        const std::vector<std::string> names = dir.names();
        ASSERT_EQ(names.size(), 3u);
        EXPECT_NE(names[1].find(".marlune-partial"), std::string::npos) << names[1];
        std::remove(dir.path(names[1]).c_str());
    }
}

TEST_F(ConvertTest, ASourceThatCannotBeDeletedStillCounts) {
    const std::string source = dir.path("track.snd");
    writeFile(source, good);
    os.fault = Fault{Call::deleteUnchanged, 1};
    EXPECT_EQ(convert(source), -1);
    EXPECT_TRUE(fileExists(source));
    EXPECT_TRUE(fileExists(dir.path("track.kv")));
    EXPECT_TRUE(os.messages.empty());
}

TEST_F(ConvertTest, EmptyAndNullPathsFailOnTheName) {
    EXPECT_EQ(convert(""), 0);
    std::int32_t show = 1;
    EXPECT_EQ(IKVRBinfo(0, &show, nullptr), 0);
    EXPECT_EQ(os.messages, std::vector<std::string>(2, messages::badName));
    EXPECT_FALSE(fileExists(".kv"));
}

#ifdef _WIN32
// Drive C: ignores letter case: "track.kv" is the source itself, which stays as it was.
TEST_F(ConvertTest, AnUpperCaseKvNameIsTheSourceItself) {
    const std::string source = dir.path("track.KV");
    writeFile(source, good);
    EXPECT_EQ(convert(source), 0);
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCreateDestination});
    EXPECT_EQ(readFile(source), good);
    EXPECT_EQ(os.calls(Call::deleteFile), 0);
}
#endif

TEST_F(ConvertTest, ANullShowErrorsPointerIsSilent) {
    EXPECT_EQ(IKVRBinfo(0, nullptr, dir.path("absent.snd").c_str()), 0);
    EXPECT_TRUE(os.messages.empty());
}

}  // namespace
}  // namespace marlune::testing

// What runs beside a call: another program taking the destination's name while a
// copy is written, or replacing the new file before the source goes; names as
// long as the file system takes; the file replaced keeping who may read it; and
// partial files that only their writer holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "boundary/api.h"
#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

#ifndef _WIN32
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace marlune::testing {
namespace {

const Bytes recording = KvrbBuilder().lengthMode(1).preamble(7).chunk(300).chunk(20).build();
const Bytes neighbours = KvrbBuilder().lengthMode(0).chunk(330).build();

marlune_options keeping() {
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 0;
    return options;
}

class Neighbours : public ::testing::Test {
protected:
    TempDir dir;
    std::string source = dir.path("take.snd");
    std::string kv = dir.path("take.kv");
    std::string elsewhere = dir.path("other.kv");
    TestOs os;
    marlune_report report{};

    void SetUp() override {
        report.size = sizeof report;
        writeFile(source, recording);
        writeFile(elsewhere, neighbours);
    }

    // The neighbour's file moved to the ".kv" name at the `nth` call of `when` from
    // now; `moved` false where the system refused (Windows replaces no open file).
    void moveNeighbourAt(Call when, int nth, bool& moved) {
        moved = false;
        const int at = os.calls(when) + nth;
        os.onCall = [this, when, at, &moved](Call call, int n) {
            if (call != when || n != at) return;
            std::error_code error;
            std::filesystem::rename(elsewhere, kv, error);
            moved = !error;
        };
    }
};

// Another conversion puts its ".kv" in place while this one copies: with replace
// 0 neither recording is lost, whichever call the neighbour comes at.
TEST_F(Neighbours, ANameTakenDuringTheCopyIsNeverReplacedWithoutReplace) {
    const marlune_options options = keeping();
    for (const Call when : {Call::read, Call::write, Call::sync, Call::syncFolder}) {
        writeFile(source, recording);
        writeFile(elsewhere, neighbours);
        std::filesystem::remove(kv);
        bool moved = false;
        moveNeighbourAt(when, 1, moved);
        const std::int32_t status = convertThrough(os, source.c_str(), &options, &report);
        os.onCall = nullptr;
        ASSERT_TRUE(moved);
        EXPECT_EQ(status, MARLUNE_DESTINATION_EXISTS) << static_cast<int>(when);
        EXPECT_EQ(readFile(kv), neighbours);
        EXPECT_EQ(readFile(source), recording);
        EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));
    }
    // A copy with replace 0 the same.
    writeFile(elsewhere, neighbours);
    std::filesystem::remove(kv);
    bool moved = false;
    moveNeighbourAt(Call::write, 1, moved);
    EXPECT_EQ(copyThrough(os, source.c_str(), kv.c_str(), &options, &report), MARLUNE_DESTINATION_EXISTS);
    EXPECT_EQ(readFile(kv), neighbours);
}

// Something moved over the new ".kv" file after the move: the source is not this
// recording's only copy any more than before, so it stays.
TEST_F(Neighbours, ASourceIsRemovedOnlyWhileItsCopyHasTheName) {
    bool moved = false;
    moveNeighbourAt(Call::syncFolder, 2, moved);  // the sync after the move
    const std::int32_t status = convertThrough(os, source.c_str(), nullptr, &report);
    os.onCall = nullptr;
    if (!moved) GTEST_SKIP() << "this system does not replace a file that is open";
    EXPECT_EQ(status, MARLUNE_DESTINATION_REPLACED);
    EXPECT_EQ(readFile(source), recording);
    EXPECT_EQ(readFile(kv), neighbours);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"take.kv", "take.snd"}));

    // The original function says it could not make the destination, and keeps the source.
    writeFile(elsewhere, neighbours);
    moveNeighbourAt(Call::syncFolder, 2, moved);
    const std::int32_t showErrors = 1;
    EXPECT_EQ(IKVRBinfo(0, &showErrors, source.c_str()), 0);
    os.onCall = nullptr;
    EXPECT_EQ(os.messages, std::vector<std::string>{messages::cannotCreateDestination});
    EXPECT_EQ(readFile(source), recording);
}

// Names up to the file system's 255 bytes: the partial name gives up part of the
// destination's, not the call.
TEST_F(Neighbours, NamesAsLongAsAFileSystemTakesAreWrittenBeside) {
    for (const std::size_t length : {222u, 223u, 240u, 255u}) {
        const std::string longSource = dir.path(std::string(length - 4, 's') + ".snd");
        const std::string longCopy = dir.path(std::string(length - 3, 'c') + ".kv");
        writeFile(longSource, recording);
        EXPECT_EQ(marlune_copy(longSource.c_str(), longCopy.c_str(), nullptr, &report), MARLUNE_OK) << length;
        EXPECT_EQ(readFile(longCopy), recording);
        EXPECT_EQ(marlune_convert(longSource.c_str(), nullptr, &report), MARLUNE_OK) << length;
        EXPECT_EQ(readFile(dir.path(std::string(length - 4, 's') + ".kv")), recording);
#ifdef _WIN32
        // The original function takes ANSI paths, which Windows limits to MAX_PATH.
        if (longSource.size() >= 260) continue;
#endif
        writeFile(longSource, recording);
        const std::int32_t quiet = 0;
        std::filesystem::remove(dir.path(std::string(length - 4, 's') + ".kv"));
        EXPECT_EQ(IKVRBinfo(0, &quiet, longSource.c_str()), -1) << length;
        EXPECT_FALSE(fileExists(longSource));
    }
}

TEST(PartialNames, FitTheLimitAtACharactersBoundaryAndDifferPerCall) {
    std::string wide;
    for (int i = 0; i < 125; ++i) wide += "\xc3\xa9";  // é, two bytes each
#ifdef _WIN32
    const std::string folder = "rec\\";
#else
    const std::string folder = "rec/";
#endif
    const std::string first = partialNameFor(folder + wide + ".kv", 0);
    const std::string second = partialNameFor(folder + wide + ".kv", 0);
    EXPECT_NE(first, second);
    const std::string name = first.substr(folder.size());
    EXPECT_LE(name.size(), 255u);
    EXPECT_EQ(name.substr(name.size() - partialSuffix.size()), partialSuffix);
    const std::string kept = name.substr(0, name.size() - partialSuffix.size() - 17);
    EXPECT_EQ(kept.size() % 2, 0u) << "cut inside a character";
    EXPECT_EQ(kept, wide.substr(0, kept.size()));
    // A short name keeps all of it, and the folder is never shortened.
    EXPECT_EQ(partialNameFor(folder + "take.kv", 0).rfind(folder + "take.kv.", 0), 0u);
}

// A partial file is removed only when nobody writes it.
std::int32_t MARLUNE_CALL removeOwnPartial(std::uint64_t, std::uint64_t, void* context) {
    auto* folder = static_cast<TempDir*>(context);
    for (const std::string& name : folder->names()) {
        if (name.find(".marlune-partial") == std::string::npos) continue;
        marlune_report seen{};
        seen.size = sizeof seen;
        const std::int32_t status = marlune_remove_partial(folder->path(name).c_str(), &seen);
        return status == MARLUNE_PARTIAL_IN_USE ? 0 : 1;  // anything else cancels, failing the test
    }
    return 1;
}

TEST_F(Neighbours, OnlyPartialFilesNobodyWritesAreRemoved) {
    marlune_options options{};
    options.size = sizeof options;
    options.replace = 1;
    options.progress = removeOwnPartial;
    options.progress_context = &dir;
    EXPECT_EQ(marlune_copy(source.c_str(), kv.c_str(), &options, &report), MARLUNE_OK);
    EXPECT_EQ(readFile(kv), recording);

    const std::string stale = dir.path("take.kv.0123456789abcdef.marlune-partial");
    writeFile(stale, recording);
    EXPECT_EQ(marlune_remove_partial(source.c_str(), &report), MARLUNE_BAD_NAME);
    EXPECT_EQ(marlune_remove_partial(stale.c_str(), &report), MARLUNE_OK);
    EXPECT_FALSE(fileExists(stale));
    EXPECT_EQ(marlune_remove_partial(stale.c_str(), &report), MARLUNE_SOURCE_MISSING);
    EXPECT_NE(report.system_error, 0);
    EXPECT_TRUE(fileExists(source));
}

#ifndef _WIN32
mode_t modeOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0);
    return info.st_mode & 07777;
}

// The file a copy replaces beside keeps who may read and write it; a conversion,
// whose source goes, gives its .kv the source's instead.
TEST_F(Neighbours, AReplacedFileKeepsItsModeAndOwner) {
    writeFile(kv, neighbours);
    chmod(kv.c_str(), 0600);
    EXPECT_EQ(marlune_copy(source.c_str(), kv.c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(modeOf(kv), 0600u);
    chmod(kv.c_str(), 0640);
    chmod(source.c_str(), 0604);
    EXPECT_EQ(marlune_convert(source.c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(modeOf(kv), 0604u);
    EXPECT_EQ(readFile(kv), recording);
    if (geteuid() != 0) return;  // only root may give a file away
    writeFile(source, recording);
    ASSERT_EQ(chown(kv.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(source.c_str(), 65533, 65533), 0);
    EXPECT_EQ(marlune_convert(source.c_str(), nullptr, &report), MARLUNE_OK);
    struct stat info {};
    ASSERT_EQ(stat(kv.c_str(), &info), 0);
    EXPECT_EQ(info.st_uid, 65533u);
    EXPECT_EQ(info.st_gid, 65533u);
}

// A read-only destination is refused as the original functions refused it, for a
// caller the system holds to permissions (run as nobody when the test is root).
TEST_F(Neighbours, AReadOnlyDestinationIsNotReplaced) {
    writeFile(kv, neighbours);
    chmod(kv.c_str(), 0444);
    std::filesystem::permissions(std::filesystem::path(kv).parent_path(), std::filesystem::perms::all);
    chmod(source.c_str(), 0644);
    const pid_t child = fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
        marlune_report seen{};
        seen.size = sizeof seen;
        const std::int32_t copied = marlune_copy(source.c_str(), kv.c_str(), nullptr, &seen);
        const std::int32_t quiet = 0;
        const std::int32_t converted = IKVRBinfo(0, &quiet, source.c_str());
        _exit(copied == MARLUNE_DESTINATION_UNCREATABLE && seen.system_error == EACCES && converted == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(readFile(kv), neighbours);
    EXPECT_EQ(readFile(source), recording);
    EXPECT_EQ(dir.names(), (std::vector<std::string>{"other.kv", "take.kv", "take.snd"}));
}
#endif

}  // namespace
}  // namespace marlune::testing

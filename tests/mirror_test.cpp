// Mirrors, reruns, manifests, deletions and verify through the run engine, on
// real folders: every file arrives as it should, a rerun writes nothing that
// matches, and verify finds every kind of difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "marlune.h"
#include "platform/file.h"
#include "run/engine.h"
#include "run/manifest.h"
#include "run/step.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

namespace fs = std::filesystem;

// Length fields of 3 in fixed-length chunks: a copy normalises them.
const Bytes recording = KvrbBuilder().lengthMode(0).chunk(3, 330).build();
const Bytes normalised = KvrbBuilder().lengthMode(0).chunk(330).build();

struct Got {
    std::int32_t status;
    std::int32_t outcome;
    std::string path;
    std::string sha256;
};

// A time some while ago in whole seconds, which every system's setters keep exactly.
fs::file_time_type wholeSeconds(std::chrono::hours ago) {
    return std::chrono::floor<std::chrono::seconds>(fs::file_time_type::clock::now() - ago);
}

class Mirrors : public ::testing::Test {
protected:
    TempDir dir;
    std::string at(const std::string& name) const { return dir.path(name); }
    void put(const std::string& name, const Bytes& bytes) {
        fs::create_directories(fs::path(at(name)).parent_path());
        writeFile(at(name), bytes);
    }
    static bool linked(const std::string& target, const std::string& link, bool folder = false) {
        std::error_code error;
        folder ? fs::create_directory_symlink(target, link, error) : fs::create_symlink(target, link, error);
        return !error;
    }

    // Every result of a run of `job` from the folder src (or none) into dst.
    std::vector<Got> run(std::int32_t job, std::uint32_t flags, const std::string& manifest = "",
                         bool addSource = true) {
        marlune_run_options options{};
        options.size = sizeof options;
        options.job = job;
        options.flags = flags | MARLUNE_RUN_RECURSIVE;
        options.destination = dstPath.c_str();
        options.workers = 2;
        options.manifest = manifest.empty() ? nullptr : manifest.c_str();
        options.max_delete = maxDelete;
        options.group_bytes = groupBytes;
        marlune_run* opened = nullptr;
        EXPECT_EQ(marlune_run_open(&options, &opened), MARLUNE_OK);
        for (const std::string& record : records) EXPECT_EQ(marlune_run_keep(opened, record.c_str()), MARLUNE_OK);
        if (addSource) added = marlune_run_add(opened, (sourceName.empty() ? srcPath : sourceName).c_str(), "");
        if (beforeStart) beforeStart();
        if (added != MARLUNE_OK) {
            marlune_run_close(opened);
            return {};
        }
        EXPECT_EQ(marlune_run_start(opened), MARLUNE_OK);
        std::vector<Got> got;
        for (;;) {
            marlune_run_result result{};
            result.size = sizeof result;
            result.outcome = -1;
            if (marlune_run_next(opened, &result, -1) != MARLUNE_RUN_DELIVERED) break;
            got.push_back({result.status, result.outcome, fs::path(result.path).filename().string(),
                           result.sha256 ? result.sha256 : ""});
        }
        manifestStatus = marlune_run_manifest_status(opened, nullptr);
        tally.size = sizeof tally;
        marlune_run_counts(opened, &tally);
        marlune_run_close(opened);
        return got;
    }
    std::vector<Got> mirror(std::uint32_t flags = 0, const std::string& manifest = "") {
        return run(MARLUNE_JOB_COPY, MARLUNE_RUN_MIRROR | flags, manifest);
    }
    std::vector<Got> verify() { return run(MARLUNE_JOB_VERIFY, 0); }
#ifndef _WIN32
    // A mirror in a process that permissions hold: as nobody when the test is root.
    void mirrorAsAUser() {
        const pid_t child = fork();
        ASSERT_NE(child, -1);
        if (child == 0) {
            if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0)) {
                _exit(100);
            }
            mirror();
            _exit(0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    }
#endif
    // A mirror planned as Dask plans it, each step run here through `os`: the answers in order.
    std::vector<run::FileAnswer> mirrorThrough(platform::Os& os, std::uint32_t flags = 0) {
        marlune_run_options options{};
        options.size = sizeof options;
        options.job = MARLUNE_JOB_COPY;
        options.flags = flags | MARLUNE_RUN_MIRROR | MARLUNE_RUN_RECURSIVE;
        options.destination = dstPath.c_str();
        marlune_run* opened = nullptr;
        EXPECT_EQ(marlune_run_open(&options, &opened), MARLUNE_OK);
        EXPECT_EQ(marlune_run_add(opened, srcPath.c_str(), ""), MARLUNE_OK);
        std::vector<run::FileAnswer> answers;
        std::vector<char> bytes(1 << 16);
        std::uint32_t length = 0;
        while (marlune_run_plan_next(opened, bytes.data(), static_cast<std::uint32_t>(bytes.size()), &length) ==
               MARLUNE_RUN_DELIVERED) {
            run::Step step;
            EXPECT_TRUE(run::decode(bytes.data(), length, step));
            for (run::FileAnswer& answer : run::runStep(step, run::StepProgress{nullptr, nullptr, &os})) {
                answers.push_back(std::move(answer));
            }
        }
        marlune_run_close(opened);
        return answers;
    }
    // Every result of a run of `job` from src into dst on one worker, through `os`.
    std::vector<Got> runThrough(platform::Os& os, std::int32_t job, std::uint32_t flags) {
        run::Job spec;
        spec.job = job;
        spec.flags = flags | MARLUNE_RUN_RECURSIVE;
        spec.root = dstPath;
        run::Bounds bounds;
        bounds.workers = 1;
        bounds.os = &os;
        run::Engine engine(spec, bounds);
        EXPECT_EQ(engine.add(srcPath.c_str(), ""), MARLUNE_OK);
        EXPECT_EQ(engine.start(), MARLUNE_OK);
        std::vector<Got> got;
        for (marlune_run_result result{sizeof result}; engine.next(result, -1) == MARLUNE_RUN_DELIVERED;) {
            got.push_back({result.status, result.outcome, fs::path(result.path).filename().string(),
                           result.sha256 ? result.sha256 : ""});
        }
        return got;
    }
    static std::int32_t outcomeOf(const std::vector<Got>& got, const std::string& name) {
        for (const Got& each : got) {
            if (each.path == name) return each.outcome;
        }
        return -1;
    }
    static bool unfinished(const std::vector<Got>& got, const std::string& name) {
        const std::int32_t outcome = outcomeOf(got, name);
        return outcome != MARLUNE_OUTCOME_COPIED && outcome != MARLUNE_OUTCOME_COPIED_AS_IS;
    }
    static std::int32_t statusOf(const std::vector<Got>& got, const std::string& name) {
        for (const Got& each : got) {
            if (each.path == name) return each.status;
        }
        return -1;
    }
    static std::string digestOf(const std::vector<Got>& got, const std::string& name) {
        for (const Got& each : got) {
            if (each.path == name) return each.sha256;
        }
        return "none";
    }
    static std::size_t counted(const std::vector<Got>& got, std::int32_t outcome) {
        std::size_t count = 0;
        for (const Got& each : got) count += each.outcome == outcome ? 1 : 0;
        return count;
    }

    const std::string srcPath = at("src");
    std::string dstPath = at("dst");
    std::string sourceName;  // the source as named; empty: srcPath
    std::vector<std::string> records;
    std::uint64_t maxDelete = 0;
    std::uint64_t groupBytes = 0;
    marlune_run_tally tally{};  // the last run's, at its end
    std::int32_t added = MARLUNE_OK;
    std::function<void()> beforeStart;
    std::int32_t manifestStatus = -1;
};

TEST_F(Mirrors, EveryFileArrivesAsItShouldWithItsTimeAndMode) {
    // A payload cut short after a whole chunk that a copy would normalise: verify
    // must compare the damaged copy as it is.
    Bytes cut = KvrbBuilder().lengthMode(0).chunk(3, 330).chunk(3, 330).build();
    cut.resize(cut.size() - 100);
    put("src/a.snd", recording);
    put("src/cut.snd", cut);
    put("src/notes with spaces.txt", {'h', 'i'});
    put("src/sub/empty", {});
    put("src/sub/read-only.snd", recording);
    fs::permissions(at("src/sub/read-only.snd"), fs::perms::owner_read | fs::perms::group_read);
    const auto old = wholeSeconds(std::chrono::hours(24 * 365 * 20));
    fs::last_write_time(at("src/a.snd"), old);
    const bool links = linked("a.snd", at("src/link.snd"));
    fs::create_directories(at("src/empty/deeper"));
    std::error_code folderTimeSet;  // Wine sets no folder's time this way
    fs::last_write_time(at("src/sub"), old, folderTimeSet);

    const std::vector<Got> got = mirror();
    EXPECT_EQ(outcomeOf(got, "a.snd"), MARLUNE_OUTCOME_COPIED);
    EXPECT_EQ(outcomeOf(got, "cut.snd"), MARLUNE_OUTCOME_DAMAGED);
    EXPECT_EQ(outcomeOf(got, "notes with spaces.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_EQ(outcomeOf(got, "empty"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_EQ(outcomeOf(got, "read-only.snd"), MARLUNE_OUTCOME_COPIED);
    EXPECT_EQ(readFile(at("dst/a.snd")), normalised);
    EXPECT_EQ(readFile(at("dst/cut.snd")), cut);  // never "repaired"
    EXPECT_EQ(readFile(at("dst/notes with spaces.txt")), (Bytes{'h', 'i'}));
    EXPECT_TRUE(fileExists(at("dst/sub/empty")));
    EXPECT_EQ(fs::last_write_time(at("dst/a.snd")), old);
#ifndef _WIN32  // Windows keeps no read-only attribute on a copy: a later one could not replace it
    EXPECT_EQ(fs::status(at("dst/sub/read-only.snd")).permissions(),
              fs::status(at("src/sub/read-only.snd")).permissions());
#endif
    if (links) {
        EXPECT_EQ(outcomeOf(got, "link.snd"), MARLUNE_OUTCOME_LINKED);
        EXPECT_TRUE(fs::is_symlink(at("dst/link.snd")));
        EXPECT_EQ(fs::read_symlink(at("dst/link.snd")), fs::path("a.snd"));
    }
    for (const std::string& name : dir.names("dst")) EXPECT_EQ(name.find(".marlune-partial"), std::string::npos);
    // Folders as in the source, empty ones too, their times set after their files.
    EXPECT_TRUE(fs::is_directory(at("dst/empty/deeper")));
    if (!folderTimeSet) EXPECT_EQ(fs::last_write_time(at("dst/sub")), old);

    // A rerun writes nothing; a source touched since is copied again, alone.
    EXPECT_EQ(counted(mirror(), MARLUNE_OUTCOME_UNCHANGED), got.size());
    fs::last_write_time(at("src/notes with spaces.txt"), old);
    const std::vector<Got> again = mirror();
    EXPECT_EQ(counted(again, MARLUNE_OUTCOME_UNCHANGED), got.size() - 1);
    EXPECT_EQ(outcomeOf(again, "notes with spaces.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_EQ(counted(verify(), MARLUNE_OUTCOME_MATCHED), got.size());
}

TEST_F(Mirrors, AChecksumRunFindsAChangedCopyThatSizeAndTimeMiss) {
    put("src/a.snd", recording);
    put("src/b.txt", {'1', '2', '3'});
    const auto stamp = wholeSeconds(std::chrono::hours(1));
    fs::last_write_time(at("src/b.txt"), stamp);
    mirror();
    Bytes changed = readFile(at("dst/b.txt"));
    changed[1] = 'x';
    writeFile(at("dst/b.txt"), changed);
    fs::last_write_time(at("dst/b.txt"), stamp);
    EXPECT_EQ(counted(mirror(), MARLUNE_OUTCOME_UNCHANGED), 2u);  // size and time alike
    const std::vector<Got> checked = mirror(MARLUNE_RUN_CHECKSUM);
    EXPECT_EQ(outcomeOf(checked, "a.snd"), MARLUNE_OUTCOME_UNCHANGED);
    EXPECT_EQ(outcomeOf(checked, "b.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_EQ(readFile(at("dst/b.txt")), (Bytes{'1', '2', '3'}));
}

// Verify and a --checksum rerun find every copy that is not what copying its source
// gives, whatever its size and time say; a size that differs reads no byte, of the
// copy or (but to copy it again) of its source.
TEST_F(Mirrors, VerifyAndAChecksumRerunTellEveryDifferenceAndASizeThatDiffersWithoutReading) {
    KvrbBuilder longer;
    longer.lengthMode(0);
    for (int i = 0; i < 300; ++i) longer.chunk(3, 330);  // more than a piece read at a time
    const Bytes cut(recording.begin(), recording.end() - 1);  // damaged: copied as it is
    // What the copy a mirror made becomes before the checks.
    using Change = std::function<Bytes(Bytes)>;
    const Change none = [](Bytes made) { return made; };
    const Change grown = [](Bytes made) {
        made.push_back('+');
        return made;
    };
    const Change shrunk = [](Bytes made) {
        made.pop_back();
        return made;
    };
    const auto flipped = [](std::size_t fromEnd) {
        return Change([fromEnd](Bytes made) {
            made[made.size() - fromEnd] ^= 1;
            return made;
        });
    };
    struct Case {
        const char* name;
        Bytes source;
        Change change;
        std::int32_t verified;
        std::int32_t rerun;  // the outcome of a --checksum rerun
        bool sizeDiffers;
    };
    const Case cases[] = {
        {"take.snd", recording, none, MARLUNE_OK, MARLUNE_OUTCOME_UNCHANGED, false},
        {"take.snd", recording, flipped(100), MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_COPIED, false},
        {"take.snd", recording, grown, MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_COPIED, true},
        {"long.snd", longer.build(), none, MARLUNE_OK, MARLUNE_OUTCOME_UNCHANGED, false},
        {"long.snd", longer.build(), flipped(1), MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_COPIED, false},
        {"notes.txt", {'1', '2', '3'}, none, MARLUNE_OK, MARLUNE_OUTCOME_UNCHANGED, false},
        {"notes.txt", {'1', '2', '3'}, flipped(2), MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_COPIED_AS_IS, false},
        {"notes.txt", {'1', '2', '3'}, shrunk, MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_COPIED_AS_IS, true},
        {"cut.snd", cut, none, MARLUNE_OK, MARLUNE_OUTCOME_UNCHANGED, false},
        {"cut.snd", cut, flipped(1), MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_DAMAGED, false},
        {"empty.txt", {}, none, MARLUNE_OK, MARLUNE_OUTCOME_UNCHANGED, false},
        {"empty.snd", {}, none, MARLUNE_OK, MARLUNE_OUTCOME_SUSPECT, false},  // told on every run
        {"notes.snd", {'1', '2', '3'}, none, MARLUNE_OK, MARLUNE_OUTCOME_SUSPECT, false},
        {"empty.txt", {}, grown, MARLUNE_VERIFY_DIFFERENT, MARLUNE_OUTCOME_COPIED_AS_IS, true},
    };
    const auto stamp = wholeSeconds(std::chrono::hours(1));
    for (const Case& each : cases) {
        const std::string name = each.name;
        fs::remove_all(srcPath);
        fs::remove_all(dstPath);
        put("src/" + name, each.source);
        fs::last_write_time(at("src/" + name), stamp);
        int readsOfACopy = 0;
        {
            TestOs os;
            runThrough(os, MARLUNE_JOB_COPY, MARLUNE_RUN_MIRROR);
            readsOfACopy = os.calls(Call::read);
        }
        const Bytes made = readFile(at("dst/" + name));
        const Bytes copy = each.change(made);
        const std::string what = name + ", " + std::to_string(copy.size()) + " bytes of " +
                                 std::to_string(made.size()) + (copy == made ? ", as made" : ", changed");
        writeFile(at("dst/" + name), copy);
        fs::last_write_time(at("dst/" + name), stamp);
        {
            TestOs os;
            const std::vector<Got> verified = runThrough(os, MARLUNE_JOB_VERIFY, 0);
            ASSERT_EQ(verified.size(), 1u) << what;
            EXPECT_EQ(verified[0].status, each.verified) << what;
            if (each.sizeDiffers) EXPECT_EQ(os.calls(Call::read), 0) << what;
        }
        TestOs os;
        const std::vector<Got> rerun = runThrough(os, MARLUNE_JOB_COPY, MARLUNE_RUN_MIRROR | MARLUNE_RUN_CHECKSUM);
        ASSERT_EQ(rerun.size(), 1u) << what;
        EXPECT_EQ(rerun[0].outcome, each.rerun) << what;
        EXPECT_EQ(rerun[0].sha256, "") << what;  // no manifest: no digest made
        if (each.sizeDiffers) EXPECT_EQ(os.calls(Call::read), readsOfACopy) << what;
        EXPECT_EQ(readFile(at("dst/" + name)), made) << what;
    }
}

// Verify against a manifest groups its files by the bytes it reads, as verify against
// the source does: long recordings spread over the workers, and the results still
// come in the walk's order, a difference among them where it lies.
TEST_F(Mirrors, VerifyGroupsByBytesReadAndAnswersInTheWalksOrder) {
    std::vector<std::string> names;
    std::uint64_t bytes = 0;
    for (int i = 0; i < 24; ++i) {
        const std::string name = std::string(i % 2 ? "b/" : "a/") + "take" + std::to_string(10 + i) + ".txt";
        put("src/" + name, Bytes(static_cast<std::size_t>(1000 + 37 * i), static_cast<std::uint8_t>(i)));
        bytes += 1000 + 37 * i;
        names.push_back(fs::path(name).filename().string());
    }
    std::sort(names.begin(), names.end(), [](const std::string& x, const std::string& y) {
        const int a = std::stoi(x.substr(4)) % 2, b = std::stoi(y.substr(4)) % 2;  // a/ (even) before b/
        return a != b ? a < b : x < y;
    });
    const std::string manifest = at("manifest.txt");
    mirror(0, manifest);
    writeFile(at("dst/b/take21.txt"), Bytes(1000 + 37 * 11, 'x'));
    groupBytes = 2500;  // two files a step at the most
    for (const bool againstManifest : {false, true}) {
        const std::vector<Got> got = run(MARLUNE_JOB_VERIFY, 0, againstManifest ? manifest : "", !againstManifest);
        ASSERT_EQ(got.size(), names.size()) << againstManifest;
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(got[i].path, names[i]) << againstManifest;
            EXPECT_EQ(got[i].outcome, names[i] == "take21.txt" ? MARLUNE_OUTCOME_DIFFERENT : MARLUNE_OUTCOME_MATCHED)
                << names[i] << (againstManifest ? " against the manifest" : "");
        }
        EXPECT_EQ(tally.bytes_planned, bytes) << againstManifest;
    }
}

// A source written over in place while its copy is written, same size, new time:
// a copy of the old bytes under the new time would pass for unchanged at every rerun.
TEST_F(Mirrors, ASourceWrittenOverWhileItIsCopiedIsToldChangedAndCopiedByTheNextRun) {
    const Bytes before(4000, 'a');
    const Bytes after(4000, 'b');
    put("src/take.txt", before);
    fs::last_write_time(at("src/take.txt"), wholeSeconds(std::chrono::hours(2)));
    fs::create_directories(dstPath);
    TestOs os;
    bool written = false;
    os.onCall = [&](Call call, int) {
        if (call != Call::write || written) return;
        written = true;  // the source's bytes are read by now
        writeFile(at("src/take.txt"), after);
        fs::last_write_time(at("src/take.txt"), wholeSeconds(std::chrono::hours(1)));
    };
    const std::vector<run::FileAnswer> answers = mirrorThrough(os);
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_TRUE(written);
    EXPECT_EQ(answers[0].status, MARLUNE_SOURCE_CHANGED);
    EXPECT_EQ(answers[0].outcome, MARLUNE_OUTCOME_FAILED);
    EXPECT_EQ(dir.names("dst"), std::vector<std::string>{});  // nothing put in place, nothing left
    EXPECT_EQ(outcomeOf(mirror(), "take.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_EQ(readFile(at("dst/take.txt")), after);
}

TEST_F(Mirrors, ADryRunSaysWhatWouldHappenAndWritesNothing) {
    put("src/a.snd", recording);
    put("dst/gone.txt", {'g'});
    const std::vector<Got> got = mirror(MARLUNE_RUN_JUDGE_ONLY | MARLUNE_RUN_DELETE);
    EXPECT_EQ(outcomeOf(got, "a.snd"), MARLUNE_OUTCOME_COPIED);
    EXPECT_EQ(outcomeOf(got, "gone.txt"), MARLUNE_OUTCOME_DELETED);
    EXPECT_EQ(dir.names("dst"), std::vector<std::string>{"gone.txt"});
}

TEST_F(Mirrors, TheManifestListsEveryCopyAndVerifyReadsIt) {
    put("src/a.snd", recording);
#ifndef _WIN32
    put("src/line\nbreak", {'n'});
    put("src/back\\slash", {'b'});
#endif
    put("src/sub/c.txt", {'c'});
    const std::string manifest = at("manifest.txt");
    const std::vector<Got> got = mirror(0, manifest);
    ASSERT_EQ(manifestStatus, MARLUNE_OK);
    const Bytes text = readFile(manifest);
    const std::string lines(text.begin(), text.end());
    for (const Got& each : got) EXPECT_NE(lines.find(each.sha256 + "  "), std::string::npos) << each.path;
    EXPECT_NE(lines.find("  a.snd\n"), std::string::npos);
    EXPECT_NE(lines.find("  sub/c.txt\n"), std::string::npos);
#ifndef _WIN32
    EXPECT_NE(lines.find("\\" + digestOf(got, "line\nbreak") + "  line\\nbreak\n"), std::string::npos);
    EXPECT_NE(lines.find("\\" + digestOf(got, "back\\slash") + "  back\\\\slash\n"), std::string::npos);
#endif
    // A rerun lists the unchanged copies too, with the same digests.
    mirror(0, manifest);
    EXPECT_EQ(readFile(manifest), text);

    const std::vector<Got> checked = run(MARLUNE_JOB_VERIFY, 0, manifest, false);
    EXPECT_EQ(counted(checked, MARLUNE_OUTCOME_MATCHED), got.size());
    writeFile(at("dst/sub/c.txt"), {'C'});
    put("dst/extra", {'e'});
    const std::vector<Got> differing = run(MARLUNE_JOB_VERIFY, 0, manifest, false);
    EXPECT_EQ(counted(differing, MARLUNE_OUTCOME_DIFFERENT), 2u);
    // Told as a manifest's, not a source's; a manifest inside the tree is no file of it.
    EXPECT_EQ(statusOf(differing, "c.txt"), MARLUNE_VERIFY_NOT_AS_LISTED);
    EXPECT_EQ(statusOf(differing, "extra"), MARLUNE_VERIFY_NOT_IN_MANIFEST);
    fs::copy_file(manifest, at("dst/MANIFEST"));
    EXPECT_EQ(counted(run(MARLUNE_JOB_VERIFY, 0, at("dst/MANIFEST"), false), MARLUNE_OUTCOME_DIFFERENT), 2u);

    // Nothing to check against: one result, no file checked (an empty folder passed before).
    writeFile(at("empty.txt"), {});
    fs::create_directories(at("nothing"));
    for (const std::string& unusable : {at("no-such-manifest"), at("empty.txt")}) {
        const std::vector<Got> none = run(MARLUNE_JOB_VERIFY, 0, unusable, false);
        ASSERT_EQ(none.size(), 1u) << unusable;
        EXPECT_EQ(none[0].status, MARLUNE_VERIFY_NO_MANIFEST) << unusable;
        EXPECT_EQ(none[0].outcome, MARLUNE_OUTCOME_FAILED) << unusable;
    }
}

// A manifest vouches only for what was written from the source: a copy that rots
// on the destination keeps its recorded digest through reruns, so verify still
// finds it; a manifest named anew takes its lines from the sources; a checksum run
// tells the rot apart and copies the file again.
TEST_F(Mirrors, AMirrorARotARerunAndAVerifyEndWithAManifestThatStillFindsTheRot) {
    put("src/a.snd", recording);
    put("src/sub/b.txt", {'1', '2', '3'});
    // Whole seconds, so that the rot below can put the copy's time back exactly.
    fs::last_write_time(at("src/sub/b.txt"), wholeSeconds(std::chrono::hours(2)));
    const std::string manifest = at("manifest.txt");
    const std::vector<Got> first = mirror(0, manifest);
    ASSERT_EQ(manifestStatus, MARLUNE_OK);
    const Bytes written = readFile(manifest);
    const auto stamp = fs::last_write_time(at("dst/sub/b.txt"));
    writeFile(at("dst/sub/b.txt"), {'1', 'x', '3'});
    fs::last_write_time(at("dst/sub/b.txt"), stamp);

    const std::vector<Got> rerun = mirror(0, manifest);
    EXPECT_EQ(counted(rerun, MARLUNE_OUTCOME_UNCHANGED), 2u);
    EXPECT_EQ(digestOf(rerun, "b.txt"), digestOf(first, "b.txt"));
    EXPECT_EQ(readFile(manifest), written);
    const std::vector<Got> verified = run(MARLUNE_JOB_VERIFY, 0, manifest, false);
    EXPECT_EQ(outcomeOf(verified, "b.txt"), MARLUNE_OUTCOME_DIFFERENT);
    EXPECT_EQ(outcomeOf(verified, "a.snd"), MARLUNE_OUTCOME_MATCHED);

    // No line to carry over: the source is hashed, never the copy.
    const std::string fresh = at("fresh.txt");
    mirror(0, fresh);
    EXPECT_EQ(readFile(fresh), written);

    const std::vector<Got> checked = mirror(MARLUNE_RUN_CHECKSUM, manifest);
    for (const Got& each : checked) {
        const bool rotted = each.path == "b.txt";
        EXPECT_EQ(each.status, rotted ? MARLUNE_RUN_COPY_ROTTED : MARLUNE_OK) << each.path;
        EXPECT_EQ(each.outcome, rotted ? MARLUNE_OUTCOME_RESTORED : MARLUNE_OUTCOME_UNCHANGED) << each.path;
    }
    EXPECT_EQ(readFile(at("dst/sub/b.txt")), (Bytes{'1', '2', '3'}));
    EXPECT_EQ(readFile(manifest), written);
    EXPECT_EQ(counted(run(MARLUNE_JOB_VERIFY, 0, manifest, false), MARLUNE_OUTCOME_MATCHED), 2u);

#ifndef _WIN32  // Windows tells no change time here: such a line stays until a checksum run
    // A copy a run without the manifest wrote since is not what its old line says.
    put("src/sub/b.txt", {'4', '5', '6', '7'});
    fs::last_write_time(at("src/sub/b.txt"), wholeSeconds(std::chrono::hours(3)));
    mirror();
    const std::vector<Got> after = mirror(0, manifest);
    EXPECT_EQ(outcomeOf(after, "b.txt"), MARLUNE_OUTCOME_UNCHANGED);
    EXPECT_NE(digestOf(after, "b.txt"), digestOf(first, "b.txt"));
    EXPECT_EQ(counted(run(MARLUNE_JOB_VERIFY, 0, manifest, false), MARLUNE_OUTCOME_MATCHED), 2u);

    // Nor is such a copy, whose source has changed again, told as rotted: it is copied.
    put("src/sub/b.txt", {'8', '9'});
    fs::last_write_time(at("src/sub/b.txt"), wholeSeconds(std::chrono::hours(4)));
    mirror();
    put("src/sub/b.txt", {'0'});
    fs::last_write_time(at("src/sub/b.txt"), wholeSeconds(std::chrono::hours(5)));
    const std::vector<Got> recopied = mirror(MARLUNE_RUN_CHECKSUM, manifest);
    EXPECT_EQ(outcomeOf(recopied, "b.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_EQ(counted(run(MARLUNE_JOB_VERIFY, 0, manifest, false), MARLUNE_OUTCOME_MATCHED), 2u);
#endif
}

// A manifest vouches for the whole tree: a run that did not finish every file
// leaves the manifest at its name as it was, and nothing beside it.
TEST_F(Mirrors, ARunThatFailsAFileLeavesTheManifestAsItWas) {
    put("src/a.snd", recording);
    const std::string manifest = at("manifest.txt");
    mirror(0, manifest);
    ASSERT_EQ(manifestStatus, MARLUNE_OK);
    const Bytes before = readFile(manifest);
    put("src/b.txt", {'b'});
    put("dst/b.txt/in the way", {'x'});  // a folder where the copy goes
    const std::vector<Got> got = mirror(0, manifest);
    ASSERT_EQ(outcomeOf(got, "b.txt"), MARLUNE_OUTCOME_FAILED);
    EXPECT_NE(manifestStatus, MARLUNE_OK);
    EXPECT_NE(manifestStatus, MARLUNE_CANCELLED);  // the failed file's status
    EXPECT_EQ(readFile(manifest), before);
    EXPECT_EQ(dir.names(""), (std::vector<std::string>{"dst", "manifest.txt", "src"}));
    const std::string fresh = at("fresh.txt");
    mirror(0, fresh);
    EXPECT_NE(manifestStatus, MARLUNE_OK);
    EXPECT_FALSE(fileExists(fresh));
}

// A manifest's name is looked at before any work: a mistyped one would put the
// manifest over a recording, or in no folder once every file is copied.
TEST_F(Mirrors, AManifestNameThatCannotBeUsedStopsTheRunBeforeAnyWork) {
    put("src/a.snd", recording);
    put("dst/a.snd", {'o', 'l', 'd'});
    put("dst/sub/kept", {'k'});
    const struct {
        const char* name;
        std::int32_t status;
    } cases[] = {
        {"src/a.snd", MARLUNE_RUN_LANDS_ON_RUN_FILE},    // a recording of the source
        {"src/new.sha256", MARLUNE_RUN_LANDS_ON_RUN_FILE},  // would join the source
        {"dst/a.snd", MARLUNE_RUN_LANDS_ON_RUN_FILE},    // a copy's place
        {"no/such/folder/m", MARLUNE_RUN_NO_FOLDER},
        {"src/a.snd/m", MARLUNE_RUN_NO_FOLDER},
        {"dst/sub", MARLUNE_DESTINATION_UNCREATABLE},  // a folder
        {"dst/sums.sha256", MARLUNE_OK},               // beside the copies, no copy's place
    };
    for (const auto& each : cases) {
        const std::string manifest = at(each.name);
        marlune_run_options options{};
        options.size = sizeof options;
        options.job = MARLUNE_JOB_COPY;
        options.flags = MARLUNE_RUN_MIRROR | MARLUNE_RUN_RECURSIVE;
        options.destination = dstPath.c_str();
        options.manifest = manifest.c_str();
        marlune_run* opened = nullptr;
        ASSERT_EQ(marlune_run_open(&options, &opened), MARLUNE_OK);
        ASSERT_EQ(marlune_run_add(opened, srcPath.c_str(), ""), MARLUNE_OK);
        EXPECT_EQ(marlune_run_start(opened), each.status) << each.name;
        std::int32_t error = 0;
        EXPECT_EQ(marlune_run_manifest_status(opened, &error), each.status) << each.name;
        EXPECT_EQ(error != 0, each.status == MARLUNE_RUN_NO_FOLDER) << each.name;
        marlune_run_result result{};
        result.size = sizeof result;
        while (marlune_run_next(opened, &result, -1) == MARLUNE_RUN_DELIVERED) {
        }
        marlune_run_close(opened);
        EXPECT_EQ(readFile(at("src/a.snd")), recording) << each.name;
        const Bytes copy = each.status == MARLUNE_OK ? normalised : Bytes{'o', 'l', 'd'};
        EXPECT_EQ(readFile(at("dst/a.snd")), copy) << each.name;
        EXPECT_EQ(dir.names("src"), std::vector<std::string>{"a.snd"}) << each.name;
    }
}

// Lines as coreutils' sha256sum writes them, and read back to the same names:
// a CR, LF or backslash escaped, the line then marked with a backslash. What
// sha256sum -c refuses (another escape, a lone backslash at the end) is refused.
TEST(ManifestLines, RoundTripAsCoreutilsWritesAndReadsThem) {
    const std::string hex = "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef";
    const std::string sub = std::string("sub") + platform::pathSeparator;
    const std::pair<std::string, std::string> written[] = {
        {"plain.snd", hex + "  plain.snd\n"},
        {sub + "c.txt", hex + "  sub/c.txt\n"},
        {"a\r", "\\" + hex + "  a\\r\n"},
        {"line\nbreak", "\\" + hex + "  line\\nbreak\n"},
        {sub + "\r\n", "\\" + hex + "  sub/\\r\\n\n"},
#ifndef _WIN32
        {"back\\slash", "\\" + hex + "  back\\\\slash\n"},
        {"\\r", "\\" + hex + "  \\\\r\n"},  // a backslash and an r, no CR
        {"\\", "\\" + hex + "  \\\\\n"},
#endif
    };
    std::string text;
    for (const auto& [name, line] : written) {
        EXPECT_EQ(run::manifestLine(hex, name), line) << name;
        text += run::manifestLine(hex, name);
    }
    // Read as sha256sum -c reads them: a CRLF line break, an upper-case digest, a binary mark.
    const std::string upper = "0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF";
    text += hex + "  crlf.snd\r\n" + upper + " *binary.snd\n";
    const std::string refused[] = {"\\" + hex + "  other\\tescape\n", "\\" + hex + "  lone\\\n", hex + " one space\n"};
    for (const std::string& line : refused) text += line;
    TempDir dir;
    writeFile(dir.path("manifest"), Bytes(text.begin(), text.end()));
    run::ManifestReader reader(platform::nativeOs(), dir.path("manifest"));
    ASSERT_TRUE(reader.opened());
    std::vector<std::pair<std::string, bool>> read;
    std::string relative;
    std::string digest;
    bool bad = false;
    while (reader.next(relative, digest, bad)) {
        read.emplace_back(bad ? "" : relative, bad);
        if (!bad) EXPECT_EQ(digest, hex) << relative;
    }
    std::vector<std::pair<std::string, bool>> expected;
    for (const auto& each : written) expected.emplace_back(each.first, false);
    expected.emplace_back("crlf.snd", false);
    expected.emplace_back("binary.snd", false);
    for (std::size_t i = 0; i < std::size(refused); ++i) expected.emplace_back("", true);
    EXPECT_EQ(read, expected);
}

TEST_F(Mirrors, VerifyFindsAFlippedByteAMissingFileAnExtraOneAndACutCopy) {
    put("src/a.snd", recording);
    put("src/b.snd", recording);
    put("src/c.txt", {'1', '2', '3'});
    put("src/d.txt", {'4'});
    mirror();
    Bytes flipped = readFile(at("dst/a.snd"));
    flipped[100] ^= 1;
    writeFile(at("dst/a.snd"), flipped);
    Bytes cut = readFile(at("dst/b.snd"));
    cut.resize(cut.size() - 1);
    writeFile(at("dst/b.snd"), cut);
    fs::remove(at("dst/c.txt"));
    put("dst/sub/extra", {'x'});
    const std::vector<Got> got = verify();
    ASSERT_EQ(got.size(), 5u);
    EXPECT_EQ(got[0].status, MARLUNE_VERIFY_DIFFERENT);  // a.snd
    EXPECT_EQ(got[1].status, MARLUNE_VERIFY_DIFFERENT);  // b.snd
    EXPECT_EQ(got[2].status, MARLUNE_VERIFY_MISSING);    // c.txt
    EXPECT_EQ(got[3].status, MARLUNE_OK);                // d.txt
    EXPECT_EQ(got[4].status, MARLUNE_VERIFY_EXTRA);      // sub/extra
    EXPECT_EQ(counted(got, MARLUNE_OUTCOME_DIFFERENT), 4u);
}

TEST_F(Mirrors, DeletionRemovesWhatTheSourceLacksAndNeverLeavesTheDestination) {
    put("src/keep.txt", {'k'});
    put("dst/old/stale.txt", {'s'});
    put("outside/precious.txt", {'p'});
    fs::create_directories(at("dst"));
    if (!linked(at("outside"), at("dst/into-outside"), true) ||
        !linked(at("outside/precious.txt"), at("dst/to-precious"))) {
        GTEST_SKIP() << "no symbolic links here";
    }
    put("src/into-outside/precious.txt", {'n'});  // the source has a file where dst has a link on the way
    const std::vector<Got> got = mirror(MARLUNE_RUN_DELETE);
    // Its copy is never written through the link; the link itself, which the source lacks, goes.
    EXPECT_EQ(outcomeOf(got, "precious.txt"), MARLUNE_OUTCOME_FAILED);
    EXPECT_EQ(outcomeOf(got, "into-outside"), MARLUNE_OUTCOME_DELETED);
    EXPECT_EQ(outcomeOf(got, "stale.txt"), MARLUNE_OUTCOME_DELETED);
    EXPECT_EQ(outcomeOf(got, "to-precious"), MARLUNE_OUTCOME_DELETED);
    EXPECT_FALSE(fs::exists(fs::symlink_status(at("dst/to-precious"))));
    EXPECT_EQ(readFile(at("outside/precious.txt")), Bytes{'p'});
    EXPECT_EQ(dir.names("outside"), std::vector<std::string>{"precious.txt"});
    EXPECT_TRUE(fs::is_directory(at("dst/old")));  // folders are left
    EXPECT_EQ(readFile(at("dst/keep.txt")), Bytes{'k'});
}

// Each way a deletion could be turned against the archive: what stays, and the one
// result that says why nothing (more) was removed.
struct DeletionCase {
    const char* name;
    std::uint32_t flags;
    std::vector<std::string> left;  // every name under the destination afterwards
    std::int32_t told;              // the held-back status among the results; 0: none
};

class Deletions : public Mirrors, public ::testing::WithParamInterface<DeletionCase> {
protected:
    void files(const std::string& folder, std::initializer_list<const char*> names) {
        for (const char* name : names) put(folder + "/" + name, {'x'});
    }
    // False where the case cannot be arranged here (no symbolic links).
    bool arrange(const std::string& name) {
        if (name == "source link") {
            files("disk/archive", {"a.txt", "b.txt"});
            sourceName = at("archive");
            return linked(at("disk/archive"), sourceName, true) && !mirror().empty();
        }
        if (name == "followed link") {
            files("src", {"a.txt"});
            files("elsewhere", {"c.txt"});
            return linked(at("elsewhere"), at("src/linked"), true) && !mirror(MARLUNE_RUN_FOLLOW_LINKS).empty();
        }
        if (name == "destination link") {
            files("src", {"a.txt"});
            files("real", {"a.txt", "extra.txt"});
            dstPath = at("dst");
            return linked(at("real"), dstPath, true);
        }
        if (name == "source gone") {
            files("dst", {"a.txt", "b.txt"});
            fs::create_directories(at("gone"));
            sourceName = at("src");
            beforeStart = [this] { fs::remove(sourceName); };
            return linked(at("gone"), sourceName, true);
        }
        if (name == "source empty" || name == "emptying allowed") {
            files("dst", {"a.txt"});
            return fs::create_directories(srcPath);
        }
        if (name == "limit") {
            files("src", {"keep.txt"});
            files("dst", {"keep.txt", "w.txt", "x.txt", "y.txt", "z.txt"});
            maxDelete = 2;
            return true;
        }
        if (name == "records") {
            files("src", {"a.txt"});
            files("dst", {"run.log", "run.csv.tmp-0123abcd", "run.csv.tmp-other"});
            put("dst/sums.sha256", {});  // an earlier manifest, empty
            records = {at("dst/run.log"), at("src/../dst/run.csv")};
            manifest = at("dst/sums.sha256");
            return true;
        }
        return false;
    }
    std::vector<std::string> everythingUnder(const std::string& folder) const {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(fs::canonical(folder))) {
            names.push_back(fs::relative(entry.path(), fs::canonical(folder)).generic_string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }
    std::string manifest;
};

TEST_P(Deletions, NeverRemoveWhatTheRunMustKeep) {
    const DeletionCase& each = GetParam();
    if (!arrange(each.name)) GTEST_SKIP() << "no symbolic links here";
    const std::vector<Got> got = mirror(MARLUNE_RUN_DELETE | each.flags, manifest);
    ASSERT_EQ(added, MARLUNE_OK);
    std::size_t told = 0;
    for (const Got& result : got) told += result.status == each.told ? 1 : 0;
    if (each.told != 0)
        EXPECT_EQ(told, 1u) << [&] {
            std::string s;
            for (const Got& g : got) s += std::to_string(g.status) + " " + g.path + "; ";
            return s;
        }();
    EXPECT_EQ(everythingUnder(dstPath), each.left);
}

INSTANTIATE_TEST_SUITE_P(
    Mirrors, Deletions,
    ::testing::Values(DeletionCase{"source link", 0, {"a.txt", "b.txt"}, 0},
                      DeletionCase{"followed link", MARLUNE_RUN_FOLLOW_LINKS, {"a.txt", "linked", "linked/c.txt"}, 0},
                      DeletionCase{"destination link", 0, {"a.txt"}, 0},
                      DeletionCase{"source gone", 0, {"a.txt", "b.txt"}, MARLUNE_RUN_DELETION_OFF},
                      DeletionCase{"source empty", 0, {"a.txt"}, MARLUNE_RUN_SOURCE_EMPTY},
                      DeletionCase{"emptying allowed", MARLUNE_RUN_DELETE_FROM_EMPTY, {}, 0},
                      DeletionCase{"limit", 0, {"keep.txt", "y.txt", "z.txt"}, MARLUNE_RUN_DELETE_LIMIT},
                      DeletionCase{"records", 0, {"a.txt", "run.csv.tmp-0123abcd", "run.log", "sums.sha256"}, 0}),
    [](const ::testing::TestParamInfo<DeletionCase>& info) {
        std::string name = info.param.name;
        for (char& c : name) c = c == ' ' ? '_' : c;
        return name;
    });

// Deletions that would remove the sources themselves are refused before any work.
TEST_F(Mirrors, ASourceInsideItsDestinationIsRefusedForDeletions) {
    put("dst/incoming/a.snd", recording);
    sourceName = at("dst/incoming");
    mirror(MARLUNE_RUN_DELETE);
    EXPECT_EQ(added, MARLUNE_RUN_SOURCE_INSIDE_DESTINATION);
    EXPECT_EQ(readFile(at("dst/incoming/a.snd")), recording);
}

// A run that stopped (killed, a crash) leaves its partial files: the next one
// removes them, with or without deletion, but never one that a run under way
// (here or elsewhere) still writes.
TEST_F(Mirrors, PartialFilesAStoppedRunLeftGoUnlessSomeoneStillWritesThem) {
    for (const std::uint32_t flags : {0u, std::uint32_t{MARLUNE_RUN_DELETE}}) {
        SCOPED_TRACE(flags);
        fs::remove_all(srcPath);
        fs::remove_all(dstPath);
        put("src/a.snd", recording);
        put("src/sub/b.txt", {'b'});
        mirror(flags);
        const std::string stale = "b.txt.00000000000000aa.marlune-partial";
        const std::string held = "a.snd.00000000000000bb.marlune-partial";
        put("dst/sub/" + stale, {'s'});
        platform::File writer;  // another run's, still being written
        ASSERT_TRUE(writer.createNew(platform::nativeOs(), at("dst/" + held).c_str()));
        ASSERT_TRUE(platform::nativeOs().markInUse(writer.handle()));

        const std::vector<Got> got = mirror(flags);
        EXPECT_EQ(outcomeOf(got, stale), MARLUNE_OUTCOME_PARTIAL_REMOVED);
        EXPECT_EQ(outcomeOf(got, held), MARLUNE_OUTCOME_SKIPPED);
        EXPECT_EQ(dir.names("dst/sub"), std::vector<std::string>{"b.txt"});
        EXPECT_TRUE(fileExists(at("dst/" + held)));
        writer.close();
        EXPECT_EQ(outcomeOf(mirror(flags), held), MARLUNE_OUTCOME_PARTIAL_REMOVED);
        EXPECT_EQ(dir.names("dst"), (std::vector<std::string>{"a.snd", "sub"}));
        EXPECT_EQ(counted(verify(), MARLUNE_OUTCOME_MATCHED), 2u);
    }
}

#ifndef _WIN32
mode_t modeOf(const std::string& path) {
    struct stat information {};
    return stat(path.c_str(), &information) == 0 ? information.st_mode & 07777 : 0;
}

// A copy is readable by its owner alone while it is written (and so is all a killed
// run leaves), and gets its source's mode as it is moved into place.
TEST_F(Mirrors, APartialFileIsItsOwnersAloneUntilItHasItsSourcesMode) {
    put("src/private.snd", recording);
    put("src/shared.txt", {'s'});
    chmod(at("src/private.snd").c_str(), 0600);
    chmod(at("src/shared.txt").c_str(), 0640);
    fs::create_directories(dstPath);
    TestOs os;
    std::vector<mode_t> whileWritten;
    std::set<std::string> partials;
    os.onCall = [&](Call call, int) {
        if (call != Call::write) return;
        for (const fs::directory_entry& entry : fs::directory_iterator(dstPath)) {
            const std::string name = entry.path().filename().string();
            if (name.find(".marlune-partial") != std::string::npos) {
                whileWritten.push_back(modeOf(entry.path().string()));
                partials.insert(name);
            }
        }
    };
    const mode_t mask = umask(022);  // the usual mask, which lets everyone read a file made for all
    const std::vector<run::FileAnswer> answers = mirrorThrough(os);
    umask(mask);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_EQ(answers[0].outcome, MARLUNE_OUTCOME_COPIED);
    EXPECT_EQ(answers[1].outcome, MARLUNE_OUTCOME_COPIED_AS_IS);
    ASSERT_FALSE(whileWritten.empty());
    EXPECT_EQ(whileWritten, std::vector<mode_t>(whileWritten.size(), 0600));
    // Named after the copy each, also one cut back to take a file that is no container as it is.
    for (const std::string& name : partials) {
        EXPECT_TRUE(name.rfind("private.snd.", 0) == 0 || name.rfind("shared.txt.", 0) == 0) << name;
        EXPECT_EQ(name.size() - name.find('.', name.find('.') + 1), 1 + 16 + std::strlen(".marlune-partial")) << name;
    }
    EXPECT_EQ(modeOf(at("dst/private.snd")), 0600u);
    EXPECT_EQ(modeOf(at("dst/shared.txt")), 0640u);
}
#endif

// What a small file costs: the calls other than its reads and writes (the copy
// core's), for a mirror of new files and for a rerun that finds them unchanged.
// A call that creeps back in (a second look at a name, a file opened again) fails it.
TEST_F(Mirrors, ASmallFileCostsAFewCallsCopiedAndFewerFoundUnchanged) {
    constexpr int files = 30;
    // Recordings, notes (no container: copied again as they are) and empty files, in two folders.
    for (int i = 0; i < files; ++i) {
        const std::string name = "src/f" + std::to_string(i % 2) + "/" + std::to_string(i);
        const Bytes bytes = i % 3 == 0 ? recording : i % 3 == 1 ? Bytes{'t', '\n'} : Bytes{};
        put(name + (i % 3 == 0 ? ".snd" : ".txt"), bytes);
    }
    struct Case {
        const char* run;
        std::int32_t outcome;
        int mostCalls;  // per file, the folders' making and checks in each step included, and a
                        // non-container's rewind to be copied as it is
    };
    for (const Case& each : {Case{"new", -1, 12}, Case{"rerun", MARLUNE_OUTCOME_UNCHANGED, 4}}) {
        SCOPED_TRACE(each.run);
        TestOs os;
        const std::vector<run::FileAnswer> answers = mirrorThrough(os);
        ASSERT_EQ(answers.size(), std::size_t{files});
        for (const run::FileAnswer& answer : answers) {
            if (each.outcome >= 0) EXPECT_EQ(answer.outcome, each.outcome);
            EXPECT_EQ(answer.report.status, MARLUNE_OK) << answer.outcome;
        }
        int calls = os.folderCalls();
        for (std::size_t call = 0; call < static_cast<std::size_t>(Call::count); ++call) {
            if (call != static_cast<std::size_t>(Call::read) && call != static_cast<std::size_t>(Call::write)) {
                calls += os.calls(static_cast<Call>(call));
            }
        }
        EXPECT_LE(calls, each.mostCalls * files) << calls;
    }
}

#ifndef _WIN32
// A new copy gets its source's mode, owner and group (root alone may give a file away)
// and times, each set only where the partial file differs, and so still set where
// it does: a mode the partial file has already, a set-id bit that a change of owner
// would clear, a time before 1970, an access time from before the copy read it.
TEST_F(Mirrors, ANewCopyTakesItsSourcesModeOwnerAndTimesWhereverTheyDiffer) {
    struct Case {
        const char* name;
        mode_t mode;
        std::int64_t modifiedNanoseconds;  // since 1970
    };
    const Case cases[] = {
        {"private.txt", 0600, 1000000000LL * 1500000000 + 250},
        {"shared.txt", 0644, 1000000000LL * 86400},
        {"setid.txt", 06755, 1000000000LL * 1234567890 + 999999999},
        {"old.txt", 0640, -1000000000LL * 86400 * 365 - 750000000},
    };
    const bool root = geteuid() == 0;
    for (const Case& each : cases) {
        put(std::string("src/") + each.name, {'x'});
        const std::string path = at(std::string("src/") + each.name);
        if (root) ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(chmod(path.c_str(), each.mode), 0);
        const auto timeOf = [](std::int64_t nanoseconds) {
            timespec time{};
            time.tv_sec = static_cast<time_t>(nanoseconds / 1000000000 - (nanoseconds % 1000000000 < 0 ? 1 : 0));
            time.tv_nsec = static_cast<long>((nanoseconds % 1000000000 + 1000000000) % 1000000000);
            return time;
        };
        const timespec times[2] = {timeOf(1000000000LL * 1000000000), timeOf(each.modifiedNanoseconds)};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    const std::vector<Got> got = mirror();
    for (const Case& each : cases) {
        SCOPED_TRACE(each.name);
        EXPECT_FALSE(unfinished(got, each.name));
        struct stat source {};
        struct stat copy {};
        ASSERT_EQ(stat(at(std::string("src/") + each.name).c_str(), &source), 0);
        ASSERT_EQ(stat(at(std::string("dst/") + each.name).c_str(), &copy), 0);
        EXPECT_EQ(copy.st_mode & 07777, each.mode);
        EXPECT_EQ(std::make_pair(copy.st_mtim.tv_sec, copy.st_mtim.tv_nsec),
                  std::make_pair(source.st_mtim.tv_sec, source.st_mtim.tv_nsec));
        EXPECT_EQ(copy.st_atim.tv_sec, 1000000000);  // as the source's was before it was read
        if (root) EXPECT_EQ(std::make_pair(copy.st_uid, copy.st_gid), std::make_pair(uid_t{65534}, gid_t{65534}));
    }
}

// A rerun gives an unchanged copy what its source has now: its mode, its owner and
// group (only root may give a file away), and, found unchanged by content, its time.
TEST_F(Mirrors, ARerunGivesAnUnchangedCopyItsSourcesModeOwnerAndTime) {
    put("src/a.snd", recording);
    put("src/b.txt", {'b'});
    mirror();
    chmod(at("src/a.snd").c_str(), 0600);
    const bool root = geteuid() == 0;
    if (root) ASSERT_EQ(chown(at("src/a.snd").c_str(), 65534, 65534), 0);
    EXPECT_EQ(counted(mirror(), MARLUNE_OUTCOME_UNCHANGED), 2u);
    struct stat copy {};
    ASSERT_EQ(stat(at("dst/a.snd").c_str(), &copy), 0);
    EXPECT_EQ(copy.st_mode & 07777, 0600u);
    if (root) EXPECT_EQ(std::make_pair(copy.st_uid, copy.st_gid), std::make_pair(uid_t{65534}, gid_t{65534}));
    fs::last_write_time(at("dst/b.txt"), wholeSeconds(std::chrono::hours(48)));
    EXPECT_EQ(counted(mirror(MARLUNE_RUN_CHECKSUM), MARLUNE_OUTCOME_UNCHANGED), 2u);
    EXPECT_EQ(fs::last_write_time(at("dst/b.txt")), fs::last_write_time(at("src/b.txt")));
}

// What is added to a read-only source folder reaches its copy, which the last run
// made read-only too: filled first, the copy gets the folder's mode back at the end.
TEST_F(Mirrors, ACopyOfAReadOnlyFolderTakesWhatIsAddedAndKeepsItsMode) {
    const auto owned = [&](const std::string& name) {
        if (geteuid() == 0) ASSERT_EQ(chown(at(name).c_str(), 65534, 65534), 0) << name;
    };
    const auto shut = [&](const std::string& name, mode_t mode) { ASSERT_EQ(chmod(at(name).c_str(), mode), 0); };
    shut("", 0755);
    put("src/ro/a.txt", {'a'});
    fs::create_directories(dstPath);
    for (const char* name : {"src", "src/ro", "src/ro/a.txt", "dst"}) owned(name);
    shut("src/ro", 0555);
    mirrorAsAUser();
    ASSERT_EQ(modeOf(at("dst/ro")), 0555u);

    shut("src/ro", 0755);
    put("src/ro/b.txt", {'b'});
    put("src/ro/sub/c.txt", {'c'});
    fs::create_directories(at("src/ro/empty"));
    for (const char* name : {"src/ro/b.txt", "src/ro/sub", "src/ro/sub/c.txt", "src/ro/empty"}) owned(name);
    shut("src/ro/sub", 0500);
    shut("src/ro", 0555);
    mirrorAsAUser();
    const auto holds = [&](const std::string& name, char byte) {
        return fileExists(at(name)) && readFile(at(name)) == Bytes{static_cast<std::uint8_t>(byte)};
    };
    EXPECT_TRUE(holds("dst/ro/b.txt", 'b'));
    EXPECT_TRUE(holds("dst/ro/sub/c.txt", 'c'));
    EXPECT_TRUE(fs::is_directory(at("dst/ro/empty")));
    EXPECT_EQ(modeOf(at("dst/ro")), 0555u);
    EXPECT_EQ(modeOf(at("dst/ro/sub")), 0500u);
    for (const char* name : {"src/ro/sub", "src/ro", "dst/ro/sub", "dst/ro"}) shut(name, 0755);  // to be removed
}
#endif

// A link at a copy's own name is replaced by the copy, never written through, also
// one that leads to a file that looks like the copy or to a folder; a dry run says so.
TEST_F(Mirrors, ALinkAtACopysNameIsReplacedNeverWrittenThrough) {
    put("src/a.snd", recording);
    put("src/b.txt", {'b'});
    put("outside/a.snd", recording);
    put("outside/b.txt", {'b'});
    fs::last_write_time(at("outside/b.txt"), fs::last_write_time(at("src/b.txt")));  // as its copy would be
    fs::create_directories(dstPath);
#ifdef _WIN32
    const bool toFolder = false;  // Windows renames no file over a folder's name, link or not
#else
    const bool toFolder = true;
#endif
    if (!linked(at("outside/b.txt"), at("dst/b.txt")) ||
        !linked(at(toFolder ? "outside" : "outside/a.snd"), at("dst/a.snd"), toFolder)) {
        GTEST_SKIP() << "no symbolic links here";
    }
    const std::vector<Got> planned = mirror(MARLUNE_RUN_JUDGE_ONLY);
    EXPECT_EQ(outcomeOf(planned, "a.snd"), MARLUNE_OUTCOME_COPIED);
    EXPECT_EQ(outcomeOf(planned, "b.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    EXPECT_TRUE(fs::is_symlink(at("dst/b.txt")));
    const std::vector<Got> got = mirror();
    EXPECT_EQ(outcomeOf(got, "a.snd"), MARLUNE_OUTCOME_COPIED);
    EXPECT_EQ(outcomeOf(got, "b.txt"), MARLUNE_OUTCOME_COPIED_AS_IS);
    for (const char* name : {"dst/a.snd", "dst/b.txt"}) EXPECT_FALSE(fs::is_symlink(at(name))) << name;
    EXPECT_EQ(readFile(at("dst/a.snd")), normalised);
    EXPECT_EQ(readFile(at("outside/a.snd")), recording);
    EXPECT_EQ(dir.names("outside"), (std::vector<std::string>{"a.snd", "b.txt"}));
    EXPECT_EQ(counted(mirror(), MARLUNE_OUTCOME_UNCHANGED), 2u);
    EXPECT_EQ(counted(verify(), MARLUNE_OUTCOME_MATCHED), 2u);
}

// A mirror planned step by step, each run where it is sent (as Dask runs one): its
// folders are made and given their times once every step has run, as a local run's.
TEST_F(Mirrors, APlannedMirrorsFoldersAreFinishedOnceItsStepsHaveRun) {
    put("src/a.txt", {'a'});
    fs::create_directories(at("src/empty/deeper"));
    const auto old = wholeSeconds(std::chrono::hours(24 * 365));
    std::error_code folderTimeSet;  // Wine sets no folder's time this way
    fs::last_write_time(at("src/empty"), old, folderTimeSet);
    marlune_run_options options{};
    options.size = sizeof options;
    options.job = MARLUNE_JOB_COPY;
    options.flags = MARLUNE_RUN_MIRROR | MARLUNE_RUN_RECURSIVE;
    options.destination = dstPath.c_str();
    marlune_run* opened = nullptr;
    ASSERT_EQ(marlune_run_open(&options, &opened), MARLUNE_OK);
    ASSERT_EQ(marlune_run_add(opened, srcPath.c_str(), ""), MARLUNE_OK);
    EXPECT_EQ(marlune_run_finish_folders(opened), MARLUNE_RUN_BAD_STATE);  // nothing planned yet
    std::vector<char> step(1 << 16);
    std::uint32_t length = 0;
    while (marlune_run_plan_next(opened, step.data(), static_cast<std::uint32_t>(step.size()), &length) ==
           MARLUNE_RUN_DELIVERED) {
        std::vector<marlune_run_result> results(marlune_step_files(step.data(), length));
        std::vector<marlune_report> reports(results.size());
        for (std::size_t i = 0; i < results.size(); ++i) {
            results[i].size = sizeof results[i];
            reports[i].size = sizeof reports[i];
            results[i].report = &reports[i];
        }
        EXPECT_EQ(
            marlune_run_step(step.data(), length, results.data(), static_cast<std::uint32_t>(results.size()), nullptr),
            MARLUNE_OK);
    }
    EXPECT_FALSE(fs::exists(at("dst/empty")));
    EXPECT_EQ(marlune_run_finish_folders(opened), MARLUNE_OK);
    marlune_run_close(opened);
    EXPECT_TRUE(fs::is_directory(at("dst/empty/deeper")));
    if (!folderTimeSet) EXPECT_EQ(fs::last_write_time(at("dst/empty")), old);
    EXPECT_EQ(marlune_run_finish_folders(nullptr), MARLUNE_RUN_BAD_STATE);
}

TEST_F(Mirrors, WithoutDeletionNothingInTheDestinationIsRemoved) {
    put("src/a.txt", {'a'});
    put("dst/b.txt", {'b'});
    mirror();
    EXPECT_EQ(dir.names("dst"), (std::vector<std::string>{"a.txt", "b.txt"}));
}

TEST_F(Mirrors, ACancelledRunLeavesNoPartialFileAndNoManifestAndARerunCopiesEverything) {
    for (int i = 0; i < 40; ++i) put("src/f" + std::to_string(i) + ".snd", recording);
    marlune_run_options options{};
    options.size = sizeof options;
    options.job = MARLUNE_JOB_COPY;
    options.flags = MARLUNE_RUN_MIRROR | MARLUNE_RUN_RECURSIVE;
    options.destination = dstPath.c_str();
    const std::string manifest = at("manifest.txt");
    options.manifest = manifest.c_str();
    options.group_files = 2;
    marlune_run* opened = nullptr;
    ASSERT_EQ(marlune_run_open(&options, &opened), MARLUNE_OK);
    ASSERT_EQ(marlune_run_add(opened, srcPath.c_str(), ""), MARLUNE_OK);
    ASSERT_EQ(marlune_run_start(opened), MARLUNE_OK);
    marlune_run_result result{};
    result.size = sizeof result;
    marlune_run_cancel(opened);
    while (marlune_run_next(opened, &result, -1) == MARLUNE_RUN_DELIVERED) {
    }
    EXPECT_EQ(marlune_run_manifest_status(opened, nullptr), MARLUNE_CANCELLED);
    marlune_run_close(opened);
    EXPECT_FALSE(fileExists(manifest));
    if (fs::exists(dstPath)) {
        for (const std::string& name : dir.names("dst")) EXPECT_EQ(name.find(".marlune-partial"), std::string::npos);
    }
    for (const std::string& name : dir.names("")) EXPECT_EQ(name.find(".marlune-partial"), std::string::npos);
    const std::vector<Got> again = mirror(0, manifest);
    EXPECT_EQ(again.size(), 40u);
    EXPECT_EQ(counted(verify(), MARLUNE_OUTCOME_MATCHED), 40u);
    EXPECT_TRUE(fileExists(manifest));
}

}  // namespace
}  // namespace marlune::testing

// The run engine: one order, groups within their bounds, collisions and files
// named twice found before any work, copies that stay inside their destination
// and never replace a file of the run, partial files, cancel, the window, and
// steps run apart from their plan.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "marlune.h"
#include "platform/os.h"
#include "run/engine.h"
#include "run/spool.h"
#include "run/step.h"
#include "support/files.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

namespace fs = std::filesystem;

const Bytes sample = KvrbBuilder().lengthMode(0).chunk(3, 330).build();
const Bytes converted = KvrbBuilder().lengthMode(0).chunk(330).build();
const Bytes other = KvrbBuilder().lengthMode(1).chunk(9).build();

// Paths compared with '/' on every system: Windows takes either separator.
std::string slashed(std::string path) {
    for (char& c : path) c = c == '\\' ? '/' : c;
    return path;
}

struct Got {
    std::int32_t status;
    std::string path;
    std::string destination;
    std::string other;
    std::int32_t systemError;
    std::int32_t outcome;
    std::string reason;
    std::uint64_t bytesRead;
    std::uint64_t bytesWritten;
};

marlune_run_options optionsFor(std::int32_t job, std::uint32_t flags, const std::string& destination = "") {
    marlune_run_options options{};
    options.size = sizeof options;
    options.job = job;
    options.flags = flags;
    options.destination = destination.empty() ? nullptr : destination.c_str();
    options.workers = 2;
    return options;
}

class RunOf {
public:
    explicit RunOf(const marlune_run_options& options) { EXPECT_EQ(marlune_run_open(&options, &run_), MARLUNE_OK); }
    ~RunOf() { marlune_run_close(run_); }
    RunOf(const RunOf&) = delete;
    RunOf& operator=(const RunOf&) = delete;
    std::int32_t add(const std::string& path, const char* place = nullptr) {
        return marlune_run_add(run_, path.c_str(), place);
    }
    // Every result, in the order delivered, with the indexes checked to follow on.
    std::vector<Got> all() {
        EXPECT_EQ(marlune_run_start(run_), MARLUNE_OK);
        std::vector<Got> got;
        for (;;) {
            marlune_report report{};
            report.size = sizeof report;
            marlune_run_result result{};
            result.size = sizeof result;
            result.report = &report;
            const std::int32_t answer = marlune_run_next(run_, &result, -1);
            if (answer == MARLUNE_RUN_ENDED) break;
            EXPECT_EQ(answer, MARLUNE_RUN_DELIVERED);
            EXPECT_EQ(result.index, got.size());
            got.push_back({result.status, slashed(result.path), slashed(result.destination ? result.destination : ""),
                           slashed(result.other ? result.other : ""), report.system_error, result.outcome,
                           slashed(result.reason), report.source_bytes, report.bytes_written});
        }
        return got;
    }
    marlune_run_tally tally() {
        marlune_run_tally counts{};
        counts.size = sizeof counts;
        marlune_run_counts(run_, &counts);
        return counts;
    }
    marlune_run* get() { return run_; }

private:
    marlune_run* run_ = nullptr;
};

class Runs : public ::testing::Test {
protected:
    TempDir dir;
    std::string at(const std::string& name) const { return slashed(dir.path(name)); }
    // Links, where the system lets this process make them.
    static bool linked(const std::string& target, const std::string& link, bool folder) {
        std::error_code error;
        folder ? fs::create_directory_symlink(target, link, error) : fs::create_symlink(target, link, error);
        return !error;
    }
    std::string put(const std::string& name, const Bytes& bytes = sample) {
        fs::create_directories(fs::path(at(name)).parent_path());
        writeFile(at(name), bytes);
        return at(name);
    }
    std::vector<std::string> paths(const std::vector<Got>& got) const {
        std::vector<std::string> out;
        for (const Got& each : got) out.push_back(each.path.substr(at("").size()));
        return out;
    }
};

// A mirror's deletions wait here for the copies: every name back, in its order, whether
// held in memory or spilled to the scratch file past the bound.
TEST(NameSpool, GivesBackEveryNameInItsOrderInMemoryOrSpilled) {
    for (const std::size_t bound : {std::size_t{1} << 20, std::size_t{16}, std::size_t{0}}) {
        run::NameSpool spool(platform::unicodeOs(), bound);
        std::vector<std::string> given;
        for (int i = 0; i < 30000; ++i) given.push_back("f" + std::to_string(i) + (i % 7 ? "/a\nb" : "\n"));
        for (const std::string& name : given) ASSERT_TRUE(spool.add(name)) << bound;
        std::vector<std::string> back;
        for (std::string name; spool.next(name);) back.push_back(name);
        EXPECT_EQ(spool.error(), 0) << bound;
        EXPECT_EQ(spool.count(), given.size());
        EXPECT_EQ(back, given) << bound;
    }
}

TEST_F(Runs, PathsInTheirOrderAndEachFolderByTheBytesOfItsNamesASubfolderWhereItsNameFalls) {
    // (The support's files take names in the code page on Windows: no é there.)
    for (const char* name : {"t/b.snd", "t/B.snd", "t/a/z.snd", "t/a.snd", "t/\xC3\xA9.snd", "t/c/d/e.snd", "x.snd"}) {
#ifdef _WIN32
        if (std::string(name).find('\xC3') != std::string::npos) name = "t/\x7F.snd";
#endif
        put(name);
    }
    if (dir.names("t").size() != 6) GTEST_SKIP() << "names that differ only in case are one name here";
    RunOf run(optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE));
    run.add(at("x.snd"));
    run.add(at("t"));
    run.add(at("x.snd"));  // an examination compares nothing: twice is twice
    const std::vector<Got> got = run.all();
#ifdef _WIN32
    const char* last = "t/\x7F.snd";
#else
    const char* last = "t/\xC3\xA9.snd";
#endif
    EXPECT_EQ(paths(got), (std::vector<std::string>{"x.snd", "t/B.snd", "t/a/z.snd", "t/a.snd", "t/b.snd",
                                                    "t/c/d/e.snd", last, "x.snd"}));
    for (const Got& each : got) EXPECT_EQ(each.status, MARLUNE_OK) << each.path;
    const marlune_run_tally counts = run.tally();
    EXPECT_EQ(
        (std::vector<std::uint64_t>{std::uint64_t(counts.plan_complete), counts.files_planned, counts.files_done}),
        (std::vector<std::uint64_t>{1, 8, 8}));
}

TEST_F(Runs, AFolderThatCannotBeReadIsAResultOfItsOwnInItsPlace) {
    put("t/a.snd");
    put("t/b/c.snd");
    put("t/d.snd");
    fs::permissions(at("t/b"), fs::perms::none);
    if (fs::exists(at("t/b/c.snd"))) GTEST_SKIP() << "running as a user whom permissions do not stop";
    RunOf run(optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE));
    run.add(at("t"));
    const std::vector<Got> got = run.all();
    fs::permissions(at("t/b"), fs::perms::owner_all);
    ASSERT_EQ(paths(got), (std::vector<std::string>{"t/a.snd", "t/b", "t/d.snd"}));
    EXPECT_EQ(got[1].status, MARLUNE_RUN_FOLDER_UNREADABLE);
    EXPECT_NE(got[1].systemError, 0);
}

TEST_F(Runs, FilesThatWouldWriteOneNameOrAreOneFileAreSettledBeforeAnyWork) {
    put("rec/a.snd");
    put("rec/a.wav", other);
    put("rec/b.snd");
    put("c.snd");
    put("c.wav");
    RunOf run(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE));
    for (const char* name : {"rec", "rec/./b.snd", "c.snd", "c.wav", "c.snd", "rec/a.snd"}) run.add(at(name));
    const std::vector<Got> got = run.all();
    ASSERT_EQ(got.size(), 8u);
    const std::vector<std::pair<std::int32_t, std::string>> expected = {{MARLUNE_OK, ""},
                                                                        {MARLUNE_RUN_COLLISION, at("rec/a.snd")},
                                                                        {MARLUNE_OK, ""},
                                                                        {MARLUNE_NAMED_TWICE, at("rec/b.snd")},
                                                                        {MARLUNE_OK, ""},
                                                                        {MARLUNE_RUN_COLLISION, at("c.snd")},
                                                                        {MARLUNE_NAMED_TWICE, at("c.snd")},
                                                                        {MARLUNE_NAMED_TWICE, at("rec/a.snd")}};
    for (std::size_t i = 0; i < got.size(); ++i) {
        EXPECT_EQ(std::make_pair(got[i].status, got[i].other), expected[i]) << got[i].path;
        EXPECT_EQ(got[i].outcome, got[i].status == MARLUNE_OK ? MARLUNE_OUTCOME_CONVERTED : MARLUNE_OUTCOME_COLLISION);
    }
    EXPECT_EQ(got[1].reason, at("rec/a.snd") + ", named earlier in this run, takes the name " + at("rec/a.kv"));
    EXPECT_EQ(got[3].reason, "the same file as " + at("rec/b.snd") + ", named earlier in this run");
    EXPECT_EQ(readFile(at("rec/a.kv")), converted);
    EXPECT_EQ(readFile(at("rec/a.wav")), other);
    EXPECT_EQ(readFile(at("c.wav")), sample);
#ifndef _WIN32
    // The names in the sentence cannot break its line or act on a terminal (compared slashed, as every path here).
    put("odd/a\x1b[2J\n.snd");
    put("odd/a\x1b[2J\n.wav");
    RunOf odd(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_JUDGE_ONLY));
    odd.add(at("odd"));
    const std::vector<Got> said = odd.all();
    ASSERT_EQ(said.size(), 2u);
    EXPECT_EQ(said[1].reason.find_first_of("\n\x1b"), std::string::npos);
    EXPECT_EQ(said[1].reason,
              slashed("'" + at("odd/a") + "'$'\\033''[2J'$'\\n''.snd', named earlier in this run, takes the name '" +
                      at("odd/a") + "'$'\\033''[2J'$'\\n''.kv'"));
#endif
    EXPECT_EQ(dir.names("rec"), (std::vector<std::string>{"a.kv", "a.wav", "b.kv"}));
}

TEST_F(Runs, AFolderNamedTwiceHasEachFileNamedTwice) {
    put("rec/in/a.snd");
    RunOf run(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_JUDGE_ONLY));
    run.add(at("rec/in"));
    run.add(at("rec"));
    const std::vector<Got> got = run.all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].status, MARLUNE_OK);
    EXPECT_EQ(std::make_pair(got[1].status, got[1].other),
              std::make_pair(std::int32_t{MARLUNE_NAMED_TWICE}, at("rec/in") + "/a.snd"));
}

TEST_F(Runs, StalePartialFilesAreRemovedByAConversionAndLeftByADryRunAndACopy) {
    put("rec/a.kv.00000000000000aa.marlune-partial", Bytes(100, 1));
    put("rec/b.snd");
    {
        RunOf dry(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_JUDGE_ONLY));
        dry.add(at("rec"));
        const Got left = dry.all()[0];
        EXPECT_EQ(std::make_pair(left.status, left.outcome),
                  std::make_pair(std::int32_t{MARLUNE_RUN_PARTIAL_LEFT}, std::int32_t{MARLUNE_OUTCOME_SKIPPED}));
        EXPECT_EQ(left.destination, "");
        RunOf copy(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, at("out")));
        copy.add(at("rec"), "");
        const Got copied = copy.all()[0];
        EXPECT_EQ(std::make_pair(copied.status, copied.outcome),
                  std::make_pair(std::int32_t{MARLUNE_RUN_PARTIAL_LEFT}, std::int32_t{MARLUNE_OUTCOME_SKIPPED}));
        EXPECT_EQ(copied.reason, "a partial file left by a copy or conversion that stopped");
        EXPECT_EQ(dir.names("out"), std::vector<std::string>{"b.snd"});
    }
    RunOf run(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE));
    run.add(at("rec"));
    const std::vector<Got> got = run.all();
    EXPECT_EQ(got[0].status, MARLUNE_RUN_PARTIAL_REMOVED);
    EXPECT_EQ(got[0].outcome, MARLUNE_OUTCOME_PARTIAL_REMOVED);
    EXPECT_EQ(got[0].reason,
              "a partial file left by a conversion that stopped; the recording is whole at its own name");
    EXPECT_EQ(dir.names("rec"), std::vector<std::string>{"b.kv"});
}

TEST_F(Runs, CopiesNeverWriteThroughALinkInTheDestination) {
    put("src/sub/a.snd");
    put("src/b.snd");
    put("outside/b.snd", other);
    fs::create_directories(at("dst"));
    if (!linked(at("outside"), at("dst/sub"), true) || !linked(at("outside/b.snd"), at("dst/b.snd"), false)) {
        GTEST_SKIP() << "no symbolic links here";
    }
    RunOf run(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, at("dst")));
    run.add(at("src"), "");
    const std::vector<Got> got = run.all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].status, MARLUNE_RUN_DESTINATION_LINK);  // b.snd: a link at the name
    EXPECT_EQ(got[1].status, MARLUNE_RUN_DESTINATION_LINK);  // sub/a.snd: a link on the way
    EXPECT_EQ(got[1].outcome, MARLUNE_OUTCOME_FAILED);
    EXPECT_EQ(got[1].reason,
              "a symbolic link on the way to " + at("dst/sub/a.snd") + ": nothing is written through it");
    EXPECT_EQ(dir.names("outside"), std::vector<std::string>{"b.snd"});
    EXPECT_EQ(readFile(at("outside/b.snd")), other);
}

TEST_F(Runs, AFollowedLinkIntoTheDestinationIsNotWalkedAndADestinationInsideItsSourceIsRefused) {
    put("src/a.snd");
    fs::create_directories(at("dst"));
    const bool links = linked(at("dst"), at("src/link"), true);
    for (int round = 0; round < 3; ++round) {
        RunOf run(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_FOLLOW_LINKS, at("dst")));
        run.add(at("src"), "");
        EXPECT_EQ(run.all().size(), 1u);
    }
    EXPECT_EQ(dir.names("dst"), std::vector<std::string>{"a.snd"}) << links;
    RunOf inside(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, at("src/new/copies")));
    EXPECT_EQ(inside.add(at("src"), ""), MARLUNE_RUN_INSIDE_SOURCE);
    RunOf itself(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, at("src")));
    EXPECT_EQ(itself.add(at("src"), ""), MARLUNE_RUN_INSIDE_SOURCE);
}

TEST_F(Runs, NoCopyReplacesAFileOfTheRunWhicheverComesFirst) {
    put("d/s/y.snd");
    put("d/s/s/y.snd", other);
    RunOf run(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, at("d")));
    run.add(at("d/s"), "");
    const std::vector<Got> got = run.all();
    ASSERT_EQ(paths(got), (std::vector<std::string>{"d/s/s/y.snd", "d/s/y.snd"}));
    EXPECT_EQ(std::make_pair(got[0].status, got[0].other),
              std::make_pair(std::int32_t{MARLUNE_RUN_LANDS_ON_RUN_FILE}, at("d/s") + "/y.snd"));
    EXPECT_EQ(got[1].status, MARLUNE_OK);
    EXPECT_EQ(readFile(at("d/s/y.snd")), sample);
    // Listed names that meet under the destination, and one with no place there.
    RunOf listed(optionsFor(MARLUNE_JOB_COPY, 0, "s"));
    fs::current_path(at("d/s"));
    listed.add("y.snd");
    listed.add("s/y.snd");
    listed.add("../y.snd");
    const std::vector<Got> list = listed.all();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(std::make_pair(list[0].status, list[0].other),
              std::make_pair(std::int32_t{MARLUNE_RUN_LANDS_ON_RUN_FILE}, std::string("s/y.snd")));
    EXPECT_EQ(list[2].status, MARLUNE_RUN_OUTSIDE_DESTINATION);
    fs::current_path(dir.path(""));
    EXPECT_EQ(readFile(at("d/s/s/y.snd")), other);
}

TEST_F(Runs, StepsStayWithinTheirBoundsOfFilesBytesAndOpenFiles) {
    for (int i = 0; i < 40; ++i) put("rec/f" + std::to_string(100 + i) + ".snd");
    const auto sizes = [&](std::uint32_t files, std::uint64_t bytes, std::uint32_t opens, std::uint32_t workers = 2,
                           std::int32_t job = MARLUNE_JOB_CONVERT, std::uint32_t flags = 0) {
        const std::string out = job == MARLUNE_JOB_CONVERT || job == MARLUNE_JOB_EXAMINE ? "" : at("out");
        marlune_run_options options = optionsFor(job, MARLUNE_RUN_RECURSIVE | flags, out);
        options.workers = workers;
        options.group_files = files;
        options.group_bytes = bytes;
        options.open_files = opens;
        RunOf run(options);
        run.add(at("rec"));
        std::vector<std::uint32_t> got;
        std::string step(1 << 16, '\0');
        std::uint32_t length = 0;
        while (marlune_run_plan_next(run.get(), step.data(), static_cast<std::uint32_t>(step.size()), &length) ==
               MARLUNE_RUN_DELIVERED) {
            got.push_back(marlune_step_files(step.data(), length));
        }
        return got;
    };
    // A few groups for each of two workers; one worker has none to wait for.
    EXPECT_EQ(sizes(256, 0, 4096), std::vector<std::uint32_t>(8, 5));
    EXPECT_EQ(sizes(256, 0, 4096, 1), std::vector<std::uint32_t>{40});
    EXPECT_EQ(sizes(3, 0, 4096, 1)[0], 3u);
    EXPECT_EQ(sizes(256, 2 * sample.size(), 4096, 1)[0], 2u);
    // Two files open for each file of a group, for each worker, and 64 for the rest of the process.
    EXPECT_EQ(sizes(256, 0, 64 + 2 * 2 * 4, 2)[0], 4u);
    // By default what writes goes 256 files a group, what only reads 16.
    fs::create_directories(at("out"));
    const std::vector<std::uint32_t> reading{16, 16, 8};
    EXPECT_EQ(sizes(0, 0, 4096, 1), std::vector<std::uint32_t>{40});
    EXPECT_EQ(sizes(0, 0, 4096, 1, MARLUNE_JOB_COPY), std::vector<std::uint32_t>{40});
    EXPECT_EQ(sizes(0, 0, 4096, 1, MARLUNE_JOB_CONVERT, MARLUNE_RUN_JUDGE_ONLY), reading);
    EXPECT_EQ(sizes(0, 0, 4096, 1, MARLUNE_JOB_COPY, MARLUNE_RUN_MIRROR | MARLUNE_RUN_JUDGE_ONLY), reading);
    EXPECT_EQ(sizes(0, 0, 4096, 1, MARLUNE_JOB_EXAMINE), reading);
}

#ifndef _WIN32
// A step planned where many files may be open, run in a process that allows few:
// its batch is cut to what the worker's own limit holds, rather than failing.
TEST_F(Runs, AStepHoldsOpenOnlyWhatItsWorkerAllows) {
    constexpr int files = 100;
    for (int i = 0; i < files; ++i) put("rec/" + std::to_string(i) + ".snd");
    marlune_run_options options = optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE);
    options.workers = 1;
    options.group_files = files;
    options.open_files = 20000;  // the planning client's
    RunOf run(options);
    run.add(at("rec"));
    std::string step(1 << 16, '\0');
    std::uint32_t length = 0;
    ASSERT_EQ(marlune_run_plan_next(run.get(), step.data(), static_cast<std::uint32_t>(step.size()), &length),
              MARLUNE_RUN_DELIVERED);
    ASSERT_EQ(marlune_step_files(step.data(), length), static_cast<std::uint32_t>(files));
    GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process: its limit is read anew
    const auto inFewFiles = [&] {
        rlimit few{};
        few.rlim_cur = few.rlim_max = 84;  // room for 10 files and the process's own
        if (setrlimit(RLIMIT_NOFILE, &few) != 0) std::_Exit(2);
        std::vector<marlune_run_result> results(files);
        for (marlune_run_result& result : results) result.size = sizeof result;
        bool whole = marlune_run_step(step.data(), length, results.data(), files, nullptr) == MARLUNE_OK;
        for (int i = 0; i < files; ++i) whole = whole && readFile(at("rec/" + std::to_string(i) + ".kv")) == converted;
        // This process leaves without the fixture's own cleaning.
        fs::remove_all(fs::path(at("rec")).parent_path());
        std::_Exit(whole ? 0 : 1);
    };
    // The test runs again in the child, on a folder of its own: it tells by its exit.
    EXPECT_EXIT(inFewFiles(), ::testing::ExitedWithCode(0), "");
}
#endif

// A followed link met before its target: the recording is converted once, under
// the link's name, and the target answers that it was named earlier.
TEST_F(Runs, AFileReachedThroughALinkFirstIsConvertedOnce) {
    put("rec/m/1.snd");
    if (!linked(at("rec/m/1.snd"), at("rec/b-twice.snd"), false)) GTEST_SKIP() << "no symbolic links here";
    RunOf run(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_FOLLOW_LINKS));
    run.add(at("rec"));
    const std::vector<Got> got = run.all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(std::make_pair(got[0].status, got[0].path),
              std::make_pair(std::int32_t{MARLUNE_OK}, at("rec/b-twice.snd")));
    EXPECT_EQ(std::make_pair(got[1].status, got[1].other),
              std::make_pair(std::int32_t{MARLUNE_NAMED_TWICE}, at("rec/b-twice.snd")));
    EXPECT_EQ(readFile(at("rec/b-twice.kv")), converted);
    EXPECT_FALSE(fs::exists(at("rec/m/1.kv")));
}

TEST_F(Runs, ALinkMetAfterItsFileNamesItTwiceHoweverFarItsConversionIs) {
    // One worker converts each file before the next is planned, two race: the answer is the same.
    for (const unsigned workers : {1u, 2u, 2u, 2u}) {
        fs::remove_all(at("rec"));
        put("rec/a.snd");
        put("rec/sub/c.snd");
        if (!linked("a.snd", at("rec/b.snd"), false) || !linked("sub/c.snd", at("rec/z.snd"), false)) {
            GTEST_SKIP() << "no symbolic links here";
        }
        marlune_run_options options = optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_FOLLOW_LINKS);
        options.workers = workers;
        options.group_files = 1;
        RunOf run(options);
        run.add(at("rec"));
        const std::vector<Got> got = run.all();
        ASSERT_EQ(got.size(), 4u) << workers;
        const std::vector<std::pair<std::int32_t, std::string>> expected = {{MARLUNE_OK, ""},
                                                                            {MARLUNE_NAMED_TWICE, at("rec/a.snd")},
                                                                            {MARLUNE_OK, ""},
                                                                            {MARLUNE_NAMED_TWICE, at("rec/sub/c.snd")}};
        for (std::size_t i = 0; i < got.size(); ++i) {
            EXPECT_EQ(std::make_pair(got[i].status, got[i].other), expected[i]) << got[i].path << " " << workers;
        }
        EXPECT_EQ(run.tally().links_not_followed, 0u);
        EXPECT_EQ(dir.names("rec"), (std::vector<std::string>{"a.kv", "b.snd", "sub", "z.snd"}));
        EXPECT_EQ(readFile(at("rec/sub/c.kv")), converted);
    }
}

TEST_F(Runs, AStepRunsAnywhereAndTwiceWithoutLoss) {
    put("rec/a.snd");
    put("rec/a.wav", other);
    for (const char* name : {"rec/b.snd", "rec/c.snd", "rec/d.snd"}) put(name);  // steps after the first
    marlune_run_options options = optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE);
    options.workers = 1;
    options.group_files = 2;
    RunOf run(options);
    run.add(at("rec"));
    std::uint32_t length = 0;
    ASSERT_EQ(marlune_run_plan_next(run.get(), nullptr, 0, &length), MARLUNE_RUN_TOO_SMALL);
    std::string step(length, '\0');
    ASSERT_EQ(marlune_run_plan_next(run.get(), step.data(), length, &length), MARLUNE_RUN_DELIVERED);
    ASSERT_EQ(marlune_step_files(step.data(), length), 2u);
    const std::uint32_t stepLength = length;
    EXPECT_EQ(marlune_step_files(step.data(), length - 1), 0u);
    std::vector<marlune_run_result> results(2);
    for (marlune_run_result& result : results) result.size = sizeof result;
    marlune_step_texts* firstTexts = nullptr;
    EXPECT_EQ(marlune_run_step(step.data(), length, results.data(), 2, &firstTexts), MARLUNE_RUN_COLLISION);
    const std::unique_ptr<marlune_step_texts, decltype(&marlune_step_texts_free)> firstRun(firstTexts,
                                                                                           marlune_step_texts_free);
    const char* const collisionReason = results[1].reason;
    EXPECT_EQ(slashed(results[0].path), at("rec/a.snd"));
    EXPECT_EQ(results[0].status, MARLUNE_OK);
    EXPECT_EQ(results[0].outcome, MARLUNE_OUTCOME_CONVERTED);
    EXPECT_EQ(slashed(results[1].other), at("rec/a.snd"));
    EXPECT_EQ(results[1].outcome, MARLUNE_OUTCOME_COLLISION);
    EXPECT_EQ(slashed(results[1].reason),
              at("rec/a.snd") + ", named earlier in this run, takes the name " + at("rec/a.kv"));
    // A task retried after its worker died: the conversion is found done, the collision kept.
    // Without texts asked for, there are no sentences; the first run's stay the caller's.
    EXPECT_EQ(marlune_run_step(step.data(), length, results.data(), 2, nullptr), MARLUNE_RUN_COLLISION);
    EXPECT_EQ(results[1].reason, nullptr);
    EXPECT_EQ(slashed(collisionReason),
              at("rec/a.snd") + ", named earlier in this run, takes the name " + at("rec/a.kv"));
    EXPECT_EQ(results[0].status, MARLUNE_FINISHED);
    EXPECT_EQ(results[0].outcome, MARLUNE_OUTCOME_FINISHED);
    EXPECT_EQ(readFile(at("rec/a.kv")), converted);
    EXPECT_EQ(readFile(at("rec/a.wav")), other);
    // A .kv that is no whole conversion of the planned source is not taken for one.
    const Bytes cut(converted.begin(), converted.end() - 1);
    Bytes longer = converted;
    longer.insert(longer.end(), converted.end() - 338, converted.end());  // one chunk more
    for (const Bytes& kv : {cut, longer}) {
        writeFile(at("rec/a.kv"), kv);
        marlune_run_step(step.data(), length, results.data(), 2, nullptr);
        EXPECT_EQ(results[0].status, MARLUNE_SOURCE_MISSING);
        EXPECT_EQ(readFile(at("rec/a.kv")), kv);
    }
    std::string rest(4096, '\0');
    while (marlune_run_plan_next(run.get(), rest.data(), 4096, &length) == MARLUNE_RUN_DELIVERED) {
    }
    EXPECT_EQ(run.tally().files_planned, 5u);
    marlune_step_texts* refusedTexts = firstTexts;
    EXPECT_EQ(marlune_run_step(step.data(), stepLength, results.data(), 1, &refusedTexts), MARLUNE_RUN_BAD_STATE);
    EXPECT_EQ(refusedTexts, nullptr);
    EXPECT_EQ(marlune_run_start(run.get()), MARLUNE_RUN_BAD_STATE);
}

// Runs the step's bytes as a worker would; a call that never returns ends the
// test program, which would hang otherwise.
std::int32_t stepAnswer(const std::string& bytes, std::vector<marlune_run_result>& results) {
    std::promise<std::int32_t> answered;
    std::future<std::int32_t> answer = answered.get_future();
    std::thread worker([&] {
        answered.set_value(marlune_run_step(bytes.data(), static_cast<std::uint32_t>(bytes.size()), results.data(),
                                            static_cast<std::uint32_t>(results.size()), nullptr));
    });
    if (answer.wait_for(std::chrono::seconds(60)) != std::future_status::ready) {
        std::fprintf(stderr, "marlune_run_step did not return\n");
        std::_Exit(1);
    }
    worker.join();
    return answer.get();
}

// A step's deletion run again (a task retried) finds its file gone: done, as asked.
TEST_F(Runs, AStepRunAgainFindsItsDeletionsDone) {
    put("src/a.snd");
    put("dst/extra.snd");
    put("dst/old/stale.snd");
    const std::string destination = at("dst");
    RunOf run(
        optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR | MARLUNE_RUN_DELETE, destination));
    ASSERT_EQ(run.add(at("src"), ""), MARLUNE_OK);
    std::vector<std::string> steps;
    std::string step(1 << 16, '\0');
    std::uint32_t length = 0;
    for (;;) {
        const std::int32_t got =
            marlune_run_plan_next(run.get(), step.data(), static_cast<std::uint32_t>(step.size()), &length);
        if (got == MARLUNE_RUN_WAITING) continue;  // the deletions' wait: every copy is planned, none failed
        if (got != MARLUNE_RUN_DELIVERED) break;
        steps.emplace_back(step.data(), length);
    }
    // Every step, each answered done; the files each deleted.
    const auto runSteps = [&steps] {
        std::vector<std::string> deleted;
        for (const std::string& bytes : steps) {
            std::vector<marlune_run_result> results(
                marlune_step_files(bytes.data(), static_cast<std::uint32_t>(bytes.size())));
            for (marlune_run_result& result : results) result.size = sizeof result;
            EXPECT_EQ(stepAnswer(bytes, results), MARLUNE_OK);
            for (const marlune_run_result& result : results) {
                if (result.outcome == MARLUNE_OUTCOME_DELETED) deleted.push_back(slashed(result.path));
            }
        }
        return deleted;
    };
    const std::vector<std::string> extra = {at("dst/extra.snd"), at("dst/old/stale.snd")};
    EXPECT_EQ(runSteps(), extra);
    // The folder of a file removed may be gone by the time the step runs again.
    fs::remove_all(at("dst/old"));
    EXPECT_EQ(runSteps(), extra);
    EXPECT_EQ(dir.names("dst"), std::vector<std::string>{"a.snd"});
}

// Steps run elsewhere: the plan waits before the deletions, and a source error handed
// back then holds every deletion back, in one result.
TEST_F(Runs, APlannedMirrorsDeletionsWaitForTheCopiesResults) {
    put("src/a.snd");
    put("dst/extra.snd");
    RunOf run(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR | MARLUNE_RUN_DELETE, at("dst")));
    ASSERT_EQ(run.add(at("src"), ""), MARLUNE_OK);
    std::string step(1 << 16, '\0');
    std::uint32_t length = 0;
    const auto next = [&] {
        return marlune_run_plan_next(run.get(), step.data(), static_cast<std::uint32_t>(step.size()), &length);
    };
    ASSERT_EQ(next(), MARLUNE_RUN_DELIVERED);  // the copy
    ASSERT_EQ(next(), MARLUNE_RUN_WAITING);
    marlune_run_note(run.get(), MARLUNE_READ_ERROR);
    ASSERT_EQ(next(), MARLUNE_RUN_DELIVERED);
    std::vector<marlune_run_result> results(marlune_step_files(step.data(), length));
    ASSERT_EQ(results.size(), 1u);
    results[0].size = sizeof results[0];
    EXPECT_EQ(stepAnswer(std::string(step.data(), length), results), MARLUNE_RUN_DELETION_OFF);
    EXPECT_EQ(next(), MARLUNE_RUN_ENDED);
    EXPECT_TRUE(fs::exists(at("dst/extra.snd")));
}

// A step no worker may run is refused before any file is touched: a destination
// folder missing where the job needs one, a name to write or remove outside it,
// a deletion in a step that is no mirror's.
TEST_F(Runs, AStepWithoutAUsableDestinationIsRefusedBeforeAnyFileIsTouched) {
    struct Case {
        const char* what;
        std::int32_t job;
        std::uint32_t flags;
        std::string root;
        std::string source;
        std::string destination;
        bool remove;
    };
    const std::string extra = put("dst/extra.snd");
    const std::string kept = put("keep.snd");
    const std::string source = put("src/a.snd");
    const std::uint32_t mirror = MARLUNE_RUN_MIRROR | MARLUNE_RUN_DELETE;
    const std::vector<Case> cases = {
        {"deletion, no destination folder", MARLUNE_JOB_COPY, mirror, "", extra, extra, true},
        {"deletion outside the destination", MARLUNE_JOB_COPY, mirror, at("dst/sub"), kept, kept, true},
        {"deletion at the destination itself", MARLUNE_JOB_COPY, mirror, at("dst/extra.snd"), extra, extra, true},
        {"deletion in no mirror", MARLUNE_JOB_CONVERT, 0, at("dst"), extra, extra, true},
        {"copy, no destination folder", MARLUNE_JOB_COPY, 0, "", source, at("out/a.snd"), false},
        {"salvage outside its destination", MARLUNE_JOB_SALVAGE, 0, at("out"), source, at("outer/a.snd"), false},
        {"mirror, no destination folder", MARLUNE_JOB_COPY, MARLUNE_RUN_MIRROR, "", source, at("out/a.snd"), false},
        {"verify, no destination folder", MARLUNE_JOB_VERIFY, 0, "", source, extra, false},
    };
    for (const Case& each : cases) {
        run::Step step;
        step.job = each.job;
        step.flags = each.flags;
        step.root = each.root;
        run::StepFile file;
        file.source = each.source;
        file.destination = each.destination;
        file.remove = each.remove;
        step.files.push_back(file);
        const std::string bytes = run::encode(step);
        std::vector<marlune_run_result> results(1);
        results[0].size = sizeof results[0];
        EXPECT_EQ(stepAnswer(bytes, results), MARLUNE_RUN_BAD_STATE) << each.what;
        EXPECT_EQ(marlune_step_files(bytes.data(), static_cast<std::uint32_t>(bytes.size())), 0u) << each.what;
        for (const std::string& file : {extra, kept, source}) {
            EXPECT_TRUE(fs::exists(file) && readFile(file) == sample) << each.what << ": " << file;
        }
        EXPECT_FALSE(fs::exists(at("out")) || fs::exists(at("outer")) || fs::exists(at("dst/sub"))) << each.what;
        EXPECT_FALSE(fs::exists(at("src/a.kv")) || fs::exists(at("dst/extra.kv"))) << each.what;
    }
}

// A step's numbers are digits of a value that fits, as they are written: nothing
// cut to fit (4294967296 is no job 0), no sign or space.
TEST(Steps, ANumberThatIsNotJustTheDigitsOfAValueThatFitsIsNoStep) {
    const auto step = [](const std::string& job, const std::string& count) {
        std::string bytes;
        for (const std::string& field : {std::string("marlune-step 2"), job, std::string("0"), std::string("0"),
                                         std::string(), std::string("snd"), count}) {
            bytes += field + '\0';
        }
        for (const char* field : {"0", "0", "7", "0", "a.snd", "", "", "0", ""}) bytes += std::string(field) + '\0';
        return marlune_step_files(bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    };
    EXPECT_EQ(step("0", "1"), 1u);
    for (const auto& [job, count] : std::vector<std::pair<std::string, std::string>>{
             {"4294967296", "1"}, {" 0", "1"}, {"+0", "1"}, {"0", "-1"}, {"0", "18446744073709551617"}, {"0x0", "1"}}) {
        EXPECT_EQ(step(job, count), 0u) << job << " " << count;
    }
}

// A system that starts `threadsLeft` more threads, then refuses as one at its process limit does.
std::atomic<int> threadsLeft{0};
std::thread limitedThread(std::function<void()> work) {
    if (threadsLeft.fetch_sub(1) <= 0) {
        throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    }
    return std::thread(std::move(work));
}

TEST_F(Runs, ARunGivenFewerThreadsThanItAsksForGoesOnWithThemOrDoesNotStart) {
    constexpr std::uint64_t files = 20;
    for (std::uint64_t i = 0; i < files; ++i) put("rec/" + std::to_string(i) + ".snd");
    struct Case {
        unsigned asked;
        int given;
        std::int32_t start;
    };
    for (const Case& each :
         {Case{8, 3, MARLUNE_OK}, Case{8, 1, MARLUNE_OK}, Case{4, 4, MARLUNE_OK}, Case{8, 0, MARLUNE_RUN_NO_WORKERS}}) {
        run::Job job;
        job.job = MARLUNE_JOB_EXAMINE;
        job.flags = MARLUNE_RUN_RECURSIVE;
        run::Bounds bounds;
        bounds.workers = each.asked;
        bounds.window = 2 * each.asked;
        run::Engine engine(job, bounds, &limitedThread);
        ASSERT_EQ(engine.add(at("rec").c_str(), nullptr), MARLUNE_OK);
        threadsLeft = each.given;
        ASSERT_EQ(engine.start(), each.start) << each.given;
        marlune_run_tally tally{};
        tally.size = sizeof tally;
        engine.counts(tally);
        EXPECT_EQ(tally.workers_wanted, each.asked);
        EXPECT_EQ(tally.workers_started, static_cast<unsigned>(each.given));
        if (each.start != MARLUNE_OK) {
            // Not started: nothing comes, and the run may be started once the system gives threads.
            marlune_run_result result{};
            result.size = sizeof result;
            EXPECT_EQ(engine.next(result, 0), MARLUNE_RUN_ENDED);
            threadsLeft = 1;
            ASSERT_EQ(engine.start(), MARLUNE_OK);
        }
        std::uint64_t delivered = 0;
        for (;;) {
            marlune_run_result result{};
            result.size = sizeof result;
            const std::int32_t answer = engine.next(result, 20000);
            ASSERT_NE(answer, MARLUNE_RUN_WAITING) << "the run waits for workers that never started: " << each.given;
            if (answer == MARLUNE_RUN_ENDED) break;
            EXPECT_EQ(result.status, MARLUNE_OK);
            ++delivered;
        }
        EXPECT_EQ(delivered, files) << each.given;
    }
    // Through the library's own threads: every worker asked for started.
    RunOf run(optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE));
    run.add(at("rec"));
    EXPECT_EQ(run.all().size(), files);
    EXPECT_EQ(std::make_pair(run.tally().workers_wanted, run.tally().workers_started), std::make_pair(2u, 2u));
}

TEST_F(Runs, NoWorkerRunsMoreThanTheWindowAheadOfTheCaller) {
    for (int i = 0; i < 50; ++i) put("rec/f" + std::to_string(100 + i) + ".snd");
    marlune_run_options options = optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE);
    options.window = 3;
    options.group_files = 1;  // the window counts groups: a file each makes it count files
    RunOf run(options);
    run.add(at("rec"));
    // The workers reach the window however busy the machine is, and then stay there.
    const auto doneSettlesAt = [&run](std::uint64_t files) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (run.tally().files_done < files && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        return run.tally().files_done;
    };
    ASSERT_EQ(marlune_run_start(run.get()), MARLUNE_OK);
    EXPECT_EQ(doneSettlesAt(3), 3u);
    EXPECT_EQ(run.tally().plan_complete, 0);  // the walk waits too: totals are "so far"
    marlune_run_result result{};
    result.size = sizeof result;
    ASSERT_EQ(marlune_run_next(run.get(), &result, -1), MARLUNE_RUN_DELIVERED);
    EXPECT_EQ(doneSettlesAt(4), 4u);
}

TEST_F(Runs, ACancelStartsNothingMoreAndKeepsEverySource) {
    for (int i = 0; i < 30; ++i) put("f" + std::to_string(100 + i) + ".snd");
    marlune_run_options options = optionsFor(MARLUNE_JOB_CONVERT, 0);
    options.workers = 1;
    options.group_files = 2;
    options.window = 2;
    RunOf run(options);
    for (int i = 0; i < 30; ++i) run.add(at("f" + std::to_string(100 + i) + ".snd"));
    ASSERT_EQ(marlune_run_start(run.get()), MARLUNE_OK);
    marlune_run_result result{};
    result.size = sizeof result;
    ASSERT_EQ(marlune_run_next(run.get(), &result, -1), MARLUNE_RUN_DELIVERED);
    marlune_run_cancel(run.get());
    std::size_t delivered = 1;
    while (marlune_run_next(run.get(), &result, -1) == MARLUNE_RUN_DELIVERED) ++delivered;
    const marlune_run_tally counts = run.tally();
    EXPECT_LT(delivered, 30u);
    EXPECT_EQ(delivered + counts.not_started, 30u);
    std::size_t whole = 0;
    for (int i = 0; i < 30; ++i) {
        const std::string name = "f" + std::to_string(100 + i);
        const bool kv = fileExists(at(name + ".kv"));
        EXPECT_NE(kv, fileExists(at(name + ".snd"))) << name;
        whole += kv ? 1 : 0;
    }
    EXPECT_LE(whole, delivered);
    for (const std::string& name : dir.names()) EXPECT_EQ(name.find("partial"), std::string::npos) << name;
}

// A tree with one file of each kind an examination tells apart.
class Outcomes : public Runs {
protected:
    void SetUp() override {
        put("t/a-good.snd");
        put("t/b-cut.snd", Bytes(sample.begin(), sample.end() - 100));
        put("t/c-empty.snd", Bytes());
        put("t/d-wrong.SND", Bytes(200, 'x'));
        put("t/e-notes.txt", Bytes(200, 'x'));
    }
    // Every result's outcome, with the tally checked to count exactly what was delivered.
    std::vector<std::int32_t> outcomes(marlune_run_options options, const char* suspects = nullptr) {
        options.suspect_extensions = suspects;
        RunOf run(options);
        run.add(at("t"), options.job == MARLUNE_JOB_COPY || options.job == MARLUNE_JOB_SALVAGE ? "" : nullptr);
        const std::vector<Got> got = run.all();
        std::vector<std::int32_t> out;
        std::vector<std::uint64_t> counted(MARLUNE_OUTCOME_COUNT);
        std::uint64_t read = 0;
        std::uint64_t written = 0;
        for (const Got& each : got) {
            out.push_back(each.outcome);
            ++counted[static_cast<std::size_t>(each.outcome)];
            read += each.bytesRead;
            written += each.bytesWritten;
        }
        const bool writes = options.job != MARLUNE_JOB_EXAMINE && (options.flags & MARLUNE_RUN_JUDGE_ONLY) == 0;
        const marlune_run_tally tally = run.tally();
        EXPECT_EQ(std::vector<std::uint64_t>(tally.outcomes, tally.outcomes + MARLUNE_OUTCOME_COUNT), counted);
        EXPECT_EQ(tally.bytes_read, read);
        EXPECT_EQ(tally.bytes_written, written);
        if (!writes) EXPECT_EQ(written, 0u);
        EXPECT_GT(tally.bytes_read, sample.size());  // the failed file's bytes too
        return out;
    }
};

TEST_F(Outcomes, EachJobCountsAFileOnceAndANameThatPromisesAContainerIsASuspect) {
    using V = std::vector<std::int32_t>;
    const std::int32_t suspect = MARLUNE_OUTCOME_SUSPECT;
    const std::int32_t skipped = MARLUNE_OUTCOME_SKIPPED;
    const std::int32_t failed = MARLUNE_OUTCOME_FAILED;
    EXPECT_EQ(outcomes(optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE)),
              (V{MARLUNE_OUTCOME_COMPLETE, failed, suspect, suspect, skipped}));
    EXPECT_EQ(outcomes(optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE), ""),
              (V{MARLUNE_OUTCOME_COMPLETE, failed, skipped, skipped, skipped}));
    EXPECT_EQ(outcomes(optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_RECURSIVE), "TXT, ,kv"),
              (V{MARLUNE_OUTCOME_COMPLETE, failed, skipped, skipped, suspect}));
    EXPECT_EQ(outcomes(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, at("copy"))),
              (V{MARLUNE_OUTCOME_COPIED, failed, suspect, suspect, skipped}));
    EXPECT_EQ(outcomes(optionsFor(MARLUNE_JOB_SALVAGE, MARLUNE_RUN_RECURSIVE, at("saved"))),
              (V{MARLUNE_OUTCOME_COPIED, MARLUNE_OUTCOME_SALVAGED, suspect, suspect, skipped}));
    EXPECT_EQ(outcomes(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_JUDGE_ONLY)),
              (V{MARLUNE_OUTCOME_WOULD_CONVERT, failed, suspect, suspect, skipped}));
    put("t/b-cut.kv");  // kept: a conversion never replaces it unasked
    EXPECT_EQ(
        outcomes(optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE)),
        (V{MARLUNE_OUTCOME_CONVERTED, MARLUNE_OUTCOME_ALREADY_KV, MARLUNE_OUTCOME_KEPT, suspect, suspect, skipped}));
    EXPECT_STREQ(marlune_outcome_name(MARLUNE_OUTCOME_WOULD_CONVERT), "would-convert");
    EXPECT_STREQ(marlune_outcome_name(MARLUNE_OUTCOME_DIFFERENT), "different");
    EXPECT_STREQ(marlune_outcome_name(MARLUNE_OUTCOME_RESTORED), "restored");
    EXPECT_EQ(marlune_outcome_name(MARLUNE_OUTCOME_RESTORED + 1), nullptr);
    EXPECT_EQ(marlune_outcome_name(-1), nullptr);
    // A file named on its own: one that is no container fails a copy, and a stop is no failure.
    struct Single {
        std::int32_t job, status, outcome;
    };
    for (const Single& c : {Single{MARLUNE_JOB_COPY, MARLUNE_OK, MARLUNE_OUTCOME_COPIED},
                            Single{MARLUNE_JOB_COPY, MARLUNE_NOT_A_CONTAINER, failed},
                            Single{MARLUNE_JOB_COPY, MARLUNE_CANCELLED, MARLUNE_OUTCOME_CANCELLED},
                            Single{MARLUNE_JOB_SALVAGE, MARLUNE_SALVAGED, MARLUNE_OUTCOME_SALVAGED},
                            Single{MARLUNE_JOB_EXAMINE, MARLUNE_NOT_A_CONTAINER, skipped},
                            Single{MARLUNE_JOB_EXAMINE, MARLUNE_CANCELLED, MARLUNE_OUTCOME_CANCELLED},
                            Single{MARLUNE_JOB_CONVERT, MARLUNE_ALREADY_CONVERTED, MARLUNE_OUTCOME_ALREADY_KV},
                            Single{MARLUNE_JOB_CONVERT, MARLUNE_OK, MARLUNE_OUTCOME_CONVERTED},
                            Single{99, MARLUNE_OK, -1}}) {
        EXPECT_EQ(marlune_file_outcome(c.job, c.status), c.outcome) << c.job << " " << c.status;
    }
}

TEST_F(Runs, AGroupStoppedMidwayIsCancelledNotFailedAndKeepsItsSources) {
    KvrbBuilder large;
    large.lengthMode(0);
    for (int i = 0; i < 6000; ++i) large.chunk(330);  // 2 MB: a cancel finds the group copying
    const Bytes recording = large.build();
    // A busy machine may hold this thread back until the group has committed; then
    // every file is converted, nothing lost, and the test tries again.
    bool stoppedMidway = false;
    for (int attempt = 0; attempt < 5 && !stoppedMidway; ++attempt) {
        const std::string folder = "g" + std::to_string(attempt);
        for (int i = 0; i < 12; ++i) put(folder + "/f" + std::to_string(10 + i) + ".snd", recording);
        marlune_run_options options = optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_RECURSIVE);
        options.workers = 1;
        options.group_files = 12;
        RunOf run(options);
        run.add(at(folder));
        ASSERT_EQ(marlune_run_start(run.get()), MARLUNE_OK);
        while (run.tally().bytes_done == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
        marlune_run_cancel(run.get());
        marlune_run_result result{};
        result.size = sizeof result;
        std::vector<std::int32_t> outcomes;
        while (marlune_run_next(run.get(), &result, -1) == MARLUNE_RUN_DELIVERED) {
            outcomes.push_back(result.outcome);
            if (result.outcome == MARLUNE_OUTCOME_CANCELLED) EXPECT_EQ(result.status, MARLUNE_CANCELLED);
        }
        const std::vector<std::int32_t> cancelled(12, MARLUNE_OUTCOME_CANCELLED);
        const std::vector<std::int32_t> converted(12, MARLUNE_OUTCOME_CONVERTED);
        stoppedMidway = outcomes == cancelled;
        ASSERT_TRUE(stoppedMidway || outcomes == converted) << "the group is one batch: all or none";
        EXPECT_EQ(run.tally().outcomes[MARLUNE_OUTCOME_FAILED], 0u);
        for (int i = 0; i < 12; ++i) {
            const std::string name = folder + "/f" + std::to_string(10 + i);
            // Its chunks are all 330 bytes long already: the conversion is the same bytes.
            EXPECT_EQ(readFile(at(name + (stoppedMidway ? ".snd" : ".kv"))), recording);
        }
        EXPECT_EQ(dir.names(folder).size(), 12u);
    }
    EXPECT_TRUE(stoppedMidway);
}

// A file a cancel stopped is cancelled in every job, never failed: in its result and in the tally.
TEST_F(Runs, ACancelledFileIsNeverFailedInAMirrorOrAVerify) {
    const Bytes notes(8 << 20, 'n');  // copied piece by piece: a cancel finds it under way
    for (int i = 0; i < 8; ++i) put("src/n" + std::to_string(i) + ".txt", notes);
    RunOf copied(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR, at("whole")));
    copied.add(at("src"), "");
    copied.all();
    struct Case {
        const char* what;
        std::int32_t job;
        std::uint32_t flags;
        const char* destination;
    };
    for (const Case& each : {Case{"mirror", MARLUNE_JOB_COPY, MARLUNE_RUN_MIRROR, "dst"},
                             Case{"verify", MARLUNE_JOB_VERIFY, 0, "whole"}}) {
        std::uint64_t stopped = 0;
        // A busy machine may finish every file before the cancel: then the run is tried again.
        for (int attempt = 0; attempt < 5 && stopped == 0; ++attempt) {
            // A mirror into a new folder each time; a verify of the whole copy.
            const std::string destination =
                at(each.destination + (each.job == MARLUNE_JOB_VERIFY ? std::string() : std::to_string(attempt)));
            marlune_run_options options = optionsFor(each.job, MARLUNE_RUN_RECURSIVE | each.flags, destination);
            options.workers = 2;
            RunOf run(options);
            run.add(at("src"), "");
            ASSERT_EQ(marlune_run_start(run.get()), MARLUNE_OK);
            while (run.tally().bytes_done == 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
            marlune_run_cancel(run.get());
            marlune_run_result result{};
            result.size = sizeof result;
            while (marlune_run_next(run.get(), &result, -1) == MARLUNE_RUN_DELIVERED) {
                EXPECT_NE(result.outcome, MARLUNE_OUTCOME_FAILED) << each.what << " " << result.path;
                EXPECT_EQ(result.outcome == MARLUNE_OUTCOME_CANCELLED, result.status == MARLUNE_CANCELLED)
                    << each.what << " " << result.path;
            }
            EXPECT_EQ(run.tally().outcomes[MARLUNE_OUTCOME_FAILED], 0u) << each.what;
            stopped = run.tally().outcomes[MARLUNE_OUTCOME_CANCELLED];
        }
        EXPECT_GT(stopped, 0u) << each.what;
    }
}

// A mirror copies every file, and tells a suspect as one, on every run.
TEST_F(Runs, AMirrorLooksForSuspectsAlsoInCopiesFoundUnchanged) {
    put("src/empty.snd", Bytes());
    put("src/wav.snd", Bytes{'R', 'I', 'F', 'F', 0, 0, 0, 0});
    put("src/notes.txt", Bytes(10, 'n'));
    put("src/a.snd");
    using V = std::vector<std::pair<std::int32_t, std::int32_t>>;
    for (const auto& [what, copies] : {std::pair<const char*, std::int32_t>{"first run", MARLUNE_OUTCOME_COPIED},
                                       {"rerun", MARLUNE_OUTCOME_UNCHANGED}}) {
        const std::int32_t asIs = copies == MARLUNE_OUTCOME_COPIED ? MARLUNE_OUTCOME_COPIED_AS_IS : copies;
        RunOf run(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR, at("dst")));
        run.add(at("src"), "");
        V got;
        for (const Got& each : run.all()) got.emplace_back(each.status, each.outcome);
        EXPECT_EQ(got, (V{{MARLUNE_OK, copies},
                          {MARLUNE_NOT_A_CONTAINER, MARLUNE_OUTCOME_SUSPECT},
                          {MARLUNE_OK, asIs},
                          {MARLUNE_NOT_A_CONTAINER, MARLUNE_OUTCOME_SUSPECT}}))
            << what;
        EXPECT_EQ(readFile(at("dst/wav.snd")), readFile(at("src/wav.snd"))) << what;
        EXPECT_TRUE(fs::exists(at("dst/empty.snd"))) << what;
    }
}

// The one table of what a status means, as every front end reads it.
TEST(StatusClasses, EachStatusSaysWhatAFileThatEndedWithItIs) {
    const std::vector<std::pair<std::int32_t, std::uint32_t>> table = {
        {MARLUNE_OK, MARLUNE_CLASS_DONE | MARLUNE_CLASS_FINDING},
        {MARLUNE_SALVAGED, MARLUNE_CLASS_DONE | MARLUNE_CLASS_DAMAGED},
        {MARLUNE_CANCELLED, MARLUNE_CLASS_CANCELLED},
        {MARLUNE_NOT_A_CONTAINER, MARLUNE_CLASS_FINDING | MARLUNE_CLASS_NOT_A_CONTAINER | MARLUNE_CLASS_BEFORE_CHUNKS},
        {MARLUNE_PAYLOAD_CUT, MARLUNE_CLASS_FINDING | MARLUNE_CLASS_DAMAGED},
        {MARLUNE_SOURCE_MISSING, MARLUNE_CLASS_NOT_OPENED | MARLUNE_CLASS_SOURCE_ERROR},
        {MARLUNE_NAMED_TWICE, MARLUNE_CLASS_NOT_OPENED | MARLUNE_CLASS_COLLISION},
        {MARLUNE_VERIFY_DIFFERENT, MARLUNE_CLASS_DIFFERENT},
        {MARLUNE_DISK_FULL, 0},
        {MARLUNE_RUN_PARTIAL_LEFT, MARLUNE_CLASS_DONE},
        {-1, 0},
    };
    for (const auto& [status, classes] : table) EXPECT_EQ(marlune_status_class(status), classes) << status;
}

// What a job may do, as marlune_run_check and marlune_run_open both answer it.
TEST(JobPolicy, OptionsThatDoNotGoTogetherAreRefusedBeforeAnyWork) {
    constexpr std::int32_t refused = MARLUNE_RUN_JOB_REFUSED;
    constexpr std::int32_t examine = MARLUNE_JOB_EXAMINE, copy = MARLUNE_JOB_COPY, salvage = MARLUNE_JOB_SALVAGE,
                           convert = MARLUNE_JOB_CONVERT, verify = MARLUNE_JOB_VERIFY;
    constexpr std::uint32_t dry = MARLUNE_RUN_JUDGE_ONLY, mirror = MARLUNE_RUN_MIRROR, checksum = MARLUNE_RUN_CHECKSUM,
                            remove = MARLUNE_RUN_DELETE, kvNames = MARLUNE_RUN_KV_NAMES,
                            fromEmpty = MARLUNE_RUN_DELETE_FROM_EMPTY;
    struct Case {
        std::int32_t job;
        std::uint32_t flags;
        const char* manifest;
        std::int32_t durability;
        std::int32_t expected;
    };
    const Case cases[] = {
        {convert, dry, nullptr, 0, MARLUNE_OK},
        {copy, mirror | dry | remove | checksum, nullptr, 0, MARLUNE_OK},
        {salvage, mirror | dry, nullptr, 0, MARLUNE_OK},
        {copy, mirror | remove | fromEmpty, "m.sha256", MARLUNE_DURABLE_DATA_AND_NAME, MARLUNE_OK},
        {copy, kvNames, nullptr, MARLUNE_DURABLE_DATA, MARLUNE_OK},
        {verify, 0, "m.sha256", 0, MARLUNE_OK},
        {copy, dry | checksum, nullptr, 0, refused},  // a plain copy has no dry run: it would write
        {copy, dry, nullptr, 0, refused},
        {examine, dry, nullptr, 0, refused},
        {verify, dry, nullptr, 0, refused},
        {copy, checksum, nullptr, 0, refused},
        {copy, remove, nullptr, 0, refused},
        {copy, 0, "m.sha256", 0, refused},
        {convert, 0, "m.sha256", 0, refused},
        {copy, mirror | dry, "m.sha256", 0, refused},  // a dry run writes no manifest
        {copy, mirror | remove | kvNames, nullptr, 0, refused},
        {copy, mirror | kvNames, nullptr, 0, refused},
        {convert, kvNames, nullptr, 0, refused},
        {convert, mirror, nullptr, 0, refused},
        {verify, checksum, nullptr, 0, refused},
        {copy, MARLUNE_RUN_REPLACE, nullptr, 0, refused},
        {convert, 0, nullptr, MARLUNE_DURABLE_DATA, refused},
        {copy, mirror | fromEmpty, nullptr, 0, refused},
        {9, 0, nullptr, 0, refused},
    };
    const std::string out = "out";
    for (const Case& each : cases) {
        const std::string given = std::to_string(each.job) + " flags " + std::to_string(each.flags);
        marlune_run_options options = optionsFor(each.job, each.flags, out);
        options.manifest = each.manifest;
        options.durability = each.durability;
        char sentence[256] = "unset";
        EXPECT_EQ(marlune_run_check(&options, sentence, sizeof sentence), each.expected) << given;
        EXPECT_EQ(std::strlen(sentence) == 0, each.expected == MARLUNE_OK) << given << ": " << sentence;
        marlune_run* run = reinterpret_cast<marlune_run*>(&options);
        EXPECT_EQ(marlune_run_open(&options, &run), each.expected) << given;
        EXPECT_EQ(run == nullptr, each.expected != MARLUNE_OK) << given;
        marlune_run_close(run);
    }
    marlune_run_options options = optionsFor(MARLUNE_JOB_VERIFY, 0);
    EXPECT_EQ(marlune_run_check(&options, nullptr, 0), MARLUNE_NO_DESTINATION_NAME);
    EXPECT_EQ(marlune_run_check(nullptr, nullptr, 0), MARLUNE_OK);  // an examination
    options = optionsFor(MARLUNE_JOB_CONVERT, MARLUNE_RUN_CHECKSUM);
    char small[4] = "abc";
    EXPECT_EQ(marlune_run_check(&options, small, sizeof small), refused);
    EXPECT_STREQ(small, "abc");                           // too small for the sentence: left alone
    options.size = offsetof(marlune_run_options, flags);  // the flags beyond the size are not read
    EXPECT_EQ(marlune_run_check(&options, nullptr, 0), MARLUNE_OK);
}

TEST_F(Runs, ARunThatVerifiesOrDeletesTakesOneSourceFolderWithItsEntriesInTheDestination) {
    put("a/x.snd");
    put("b/y.snd");
    for (const std::uint32_t flags : {std::uint32_t{0}, std::uint32_t{MARLUNE_RUN_MIRROR | MARLUNE_RUN_DELETE}}) {
        RunOf run(
            optionsFor(flags == 0 ? MARLUNE_JOB_VERIFY : MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | flags, at("out")));
        EXPECT_EQ(run.add(at("a"), nullptr), MARLUNE_RUN_JOB_REFUSED);
        EXPECT_EQ(run.add(at("a"), "sub"), MARLUNE_RUN_JOB_REFUSED);
        EXPECT_EQ(run.add(at("a"), ""), MARLUNE_OK);
        EXPECT_EQ(run.add(at("b"), ""), MARLUNE_RUN_JOB_REFUSED);
    }
}

// What a run starts from is looked at before any work: the whole run refused with the
// system's reason, by marlune_run_check_root and by the add and the start themselves.
TEST_F(Runs, ARootThatIsMissingNoFolderOrNotWritableRefusesTheRunBeforeAnyWork) {
    put("src/a.snd");
    put("file");
    fs::create_directories(at("read-only"));
    fs::permissions(at("read-only"), fs::perms::owner_read | fs::perms::owner_exec);
    put("locked/src/a.snd");
    fs::permissions(at("locked"), fs::perms::none);
    // Root writes anywhere; elsewhere, and on Windows, the copies meet the permissions.
#ifdef _WIN32
    const bool readOnly = false;
#else
    const bool readOnly = geteuid() != 0;
#endif
    struct Case {
        const char* what;
        std::int32_t job;
        std::uint32_t flags;
        std::string source;       // added with place ""
        std::string destination;  // empty: the run has none
        std::int32_t status;
        std::errc error;
        bool checked = true;  // else the system would answer otherwise here (read-only)
    };
    const std::uint32_t mirror = MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR;
    const std::vector<Case> cases = {
        {"copy, source missing", MARLUNE_JOB_COPY, 1, at("none"), at("out"), MARLUNE_SOURCE_MISSING,
         std::errc::no_such_file_or_directory},
        {"copy, source a file", MARLUNE_JOB_COPY, 1, at("file"), at("out"), MARLUNE_RUN_NO_FOLDER,
         std::errc::not_a_directory},
        {"verify, source a file", MARLUNE_JOB_VERIFY, 1, at("file"), at("src"), MARLUNE_RUN_NO_FOLDER,
         std::errc::not_a_directory},
        {"copy, destination a file", MARLUNE_JOB_COPY, 1, at("src"), at("file"), MARLUNE_RUN_NO_FOLDER,
         std::errc::not_a_directory},
        {"copy, destination under a file", MARLUNE_JOB_COPY, 1, at("src"), at("file/out"), MARLUNE_RUN_NO_FOLDER,
         std::errc::not_a_directory},
        {"verify, destination missing", MARLUNE_JOB_VERIFY, 1, at("src"), at("none"), MARLUNE_RUN_NO_FOLDER,
         std::errc::no_such_file_or_directory},
        {"copy, destination read-only", MARLUNE_JOB_COPY, 1, at("src"), at("read-only"),
         MARLUNE_DESTINATION_UNCREATABLE, std::errc::permission_denied, readOnly},
        {"mirror, destination to be made in a read-only folder", MARLUNE_JOB_COPY, mirror, at("src"),
         at("read-only/a/b"), MARLUNE_DESTINATION_UNCREATABLE, std::errc::permission_denied, readOnly},
        {"copy, source behind a folder that may not be searched", MARLUNE_JOB_COPY, 1, at("locked/src"), at("out"),
         MARLUNE_SOURCE_UNREADABLE, std::errc::permission_denied, readOnly},
        {"dry run, read-only destination", MARLUNE_JOB_COPY, mirror | MARLUNE_RUN_JUDGE_ONLY, at("src"),
         at("read-only"), MARLUNE_OK, std::errc{}},
        {"copy, destination to be made", MARLUNE_JOB_COPY, 1, at("src"), at("out/a/b"), MARLUNE_OK, std::errc{}},
        {"verify, its folders", MARLUNE_JOB_VERIFY, 1, at("src"), at("src"), MARLUNE_OK, std::errc{}},
    };
    for (const Case& each : cases) {
        if (!each.checked) continue;
        const marlune_run_options options = optionsFor(each.job, each.flags, each.destination);
        std::int32_t source = -1;
        std::int32_t destination = -1;
        const std::int32_t sourceStatus = marlune_run_check_root(&options, each.source.c_str(), "", &source);
        const std::int32_t destinationStatus = marlune_run_check_root(&options, nullptr, nullptr, &destination);
        const bool sourceRefused = sourceStatus != MARLUNE_OK;
        EXPECT_EQ(sourceRefused ? sourceStatus : destinationStatus, each.status) << each.what;
        const std::int32_t error = sourceRefused ? source : destination;
#ifndef _WIN32
        EXPECT_EQ(error, static_cast<int>(each.error)) << each.what;
#endif
        EXPECT_EQ(error == 0, each.status == MARLUNE_OK) << each.what;
        // The run itself answers the same, before any file is done.
        RunOf run(options);
        const std::int32_t added = run.add(each.source, "");
        EXPECT_EQ(added, sourceRefused ? each.status : MARLUNE_OK) << each.what;
        if (!sourceRefused && each.status != MARLUNE_OK) {
            EXPECT_EQ(marlune_run_start(run.get()), each.status) << each.what;
        }
        EXPECT_FALSE(fs::exists(at("out"))) << each.what;
        EXPECT_FALSE(fs::exists(at("read-only/a"))) << each.what;
    }
    // A tree's root is there, or the run is refused; a file is a root of an examination.
    const marlune_run_options examine = optionsFor(MARLUNE_JOB_EXAMINE, 1);
    EXPECT_EQ(marlune_run_check_root(&examine, at("none").c_str(), nullptr, nullptr), MARLUNE_SOURCE_MISSING);
    EXPECT_EQ(marlune_run_check_root(&examine, at("file").c_str(), nullptr, nullptr), MARLUNE_OK);
    EXPECT_EQ(marlune_run_check_root(&examine, nullptr, nullptr, nullptr), MARLUNE_OK);
    const marlune_run_options refused = optionsFor(MARLUNE_JOB_EXAMINE, MARLUNE_RUN_MIRROR);
    EXPECT_EQ(marlune_run_check_root(&refused, at("src").c_str(), nullptr, nullptr), MARLUNE_RUN_JOB_REFUSED);
    fs::permissions(at("read-only"), fs::perms::owner_all);
    fs::permissions(at("locked"), fs::perms::owner_all);
}

// A step's flags, rewritten as a hand-made step (or one of another version) may hold them.
std::string withFlags(const std::string& step, std::uint32_t flags) {
    const std::size_t job = step.find('\0') + 1;
    const std::size_t at = step.find('\0', job) + 1;
    const std::size_t end = step.find('\0', at);
    return step.substr(0, at) + std::to_string(flags) + step.substr(end);
}

TEST_F(Runs, AJobThatWritesNothingWritesNothingAndCountsNoBytesWritten) {
    const std::string source = put("src/a.snd");
    put("src/notes.txt", Bytes(100, 'n'));
    // A dry run of a mirror, and verify against a copy: the tally and every result say 0 written.
    for (const std::int32_t job : {MARLUNE_JOB_COPY, MARLUNE_JOB_VERIFY}) {
        if (job == MARLUNE_JOB_VERIFY) {
            RunOf copied(optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_MIRROR, at("dst")));
            copied.add(at("src"), "");
            copied.all();
        }
        const std::uint32_t flags = job == MARLUNE_JOB_COPY ? MARLUNE_RUN_MIRROR | MARLUNE_RUN_JUDGE_ONLY : 0;
        RunOf run(optionsFor(job, MARLUNE_RUN_RECURSIVE | flags, at("dst")));
        ASSERT_EQ(run.add(at("src"), ""), MARLUNE_OK);
        const std::vector<Got> got = run.all();
        ASSERT_EQ(got.size(), 2u);
        for (const Got& each : got) EXPECT_EQ(each.bytesWritten, 0u) << job << " " << each.path;
        EXPECT_GE(run.tally().bytes_read, sample.size()) << job;
        EXPECT_EQ(run.tally().bytes_written, 0u) << job;
        EXPECT_EQ(fs::exists(at("dst")), job == MARLUNE_JOB_VERIFY);
    }
    // A step of a dry run of a plain copy (which no run opens) is refused whole, nothing written,
    // whatever else it asks for.
    const std::string plain = at("plain");  // the options point into it
    marlune_run_options options = optionsFor(MARLUNE_JOB_COPY, MARLUNE_RUN_RECURSIVE, plain);
    options.workers = 1;  // both files in one step
    RunOf run(options);
    run.add(at("src"), "");
    std::string step(4096, '\0');
    std::uint32_t length = 0;
    ASSERT_EQ(marlune_run_plan_next(run.get(), step.data(), 4096, &length), MARLUNE_RUN_DELIVERED);
    step = withFlags(step.substr(0, length), MARLUNE_RUN_RECURSIVE | MARLUNE_RUN_JUDGE_ONLY | MARLUNE_RUN_CHECKSUM);
    ASSERT_EQ(marlune_step_files(step.data(), static_cast<std::uint32_t>(step.size())), 2u);
    std::vector<marlune_run_result> results(2);
    for (marlune_run_result& result : results) result.size = sizeof result;
    EXPECT_EQ(marlune_run_step(step.data(), static_cast<std::uint32_t>(step.size()), results.data(), 2, nullptr),
              MARLUNE_RUN_JOB_REFUSED);
    for (const marlune_run_result& result : results) EXPECT_EQ(result.status, MARLUNE_RUN_JOB_REFUSED);
    EXPECT_FALSE(fs::exists(at("plain")));
    EXPECT_EQ(readFile(source), sample);
}

std::string reason(std::int32_t job, std::int32_t status, const marlune_report* report) {
    std::string text(marlune_report_reason(job, status, report, nullptr, 0), '\0');
    marlune_report_reason(job, status, report, text.data(), static_cast<std::uint32_t>(text.size()));
    text.pop_back();
    return text;
}

TEST(RunReports, TheSentenceSaysWhereAContainerIsCutShort) {
    marlune_report report{};
    report.size = sizeof report;
    report.cut_offset = 812;
    report.cut_size = 330;
    report.cut_missing = 142;
    std::string text(marlune_report_reason(MARLUNE_JOB_COPY, MARLUNE_PAYLOAD_CUT, &report, nullptr, 0), '\0');
    EXPECT_EQ(marlune_report_reason(MARLUNE_JOB_COPY, MARLUNE_PAYLOAD_CUT, &report, text.data(),
                                    static_cast<std::uint32_t>(text.size())),
              text.size());
    EXPECT_STREQ(text.c_str(), "the source ends inside a chunk's payload (at offset 812, 142 of 330 bytes missing)");
    EXPECT_EQ(reason(MARLUNE_JOB_COPY, MARLUNE_RUN_COLLISION, nullptr), marlune_status_text(MARLUNE_RUN_COLLISION));
    EXPECT_STREQ(marlune_status_name(MARLUNE_RUN_DESTINATION_LINK), "MARLUNE_RUN_DESTINATION_LINK");
}

TEST(RunReports, AnExaminationIsToldAsInfoTellsIt) {
    marlune_report report{};
    report.size = sizeof report;
    report.cut_offset = 812;
    report.cut_size = 330;
    report.cut_missing = 142;
    report.chunk_number = 3;
    EXPECT_EQ(reason(MARLUNE_JOB_EXAMINE, MARLUNE_PAYLOAD_CUT, &report),
              "incomplete: the payload of chunk 3 at offset 812 is cut short, 142 of its 330 bytes are missing");
    EXPECT_EQ(reason(MARLUNE_JOB_EXAMINE, MARLUNE_OK, &report), "complete container");
    EXPECT_EQ(reason(MARLUNE_JOB_EXAMINE, MARLUNE_SOURCE_MISSING, &report), "no such file");
    report.header_bytes = 3;
    std::memcpy(report.magic, "h\"\n", 3);
    EXPECT_EQ(reason(MARLUNE_JOB_EXAMINE, MARLUNE_NOT_A_CONTAINER, &report),
              "not a container: its 3 bytes \"h\\x22\\x0a\" begin neither \"KVRB\" nor \"fx30\"");
    EXPECT_EQ(reason(MARLUNE_JOB_EXAMINE, MARLUNE_READ_ERROR, &report), "reading it failed");
    EXPECT_EQ(reason(MARLUNE_JOB_EXAMINE, MARLUNE_SOURCE_UNREADABLE, &report), "cannot be opened for reading");
}

TEST(RunReports, AConversionDoneWhoseSourceStaysSaysSo) {
    marlune_report report{};
    report.size = sizeof report;
    report.system_error = 13;
    EXPECT_EQ(reason(MARLUNE_JOB_CONVERT, MARLUNE_OK, &report),
              std::string(marlune_status_text(MARLUNE_OK)) + "; removing the source failed (system error 13)");
    EXPECT_EQ(reason(MARLUNE_JOB_CONVERT, MARLUNE_FINISHED, &report),
              std::string(marlune_status_text(MARLUNE_FINISHED)) + "; removing the source failed (system error 13)");
    EXPECT_EQ(reason(MARLUNE_JOB_COPY, MARLUNE_OK, &report), marlune_status_text(MARLUNE_OK));
    report.system_error = 0;
    EXPECT_EQ(reason(MARLUNE_JOB_CONVERT, MARLUNE_OK, &report), marlune_status_text(MARLUNE_OK));
}

// Every front end tells a folder the walk could not read in the system's words, whatever the job.
TEST(RunReports, AFolderThatCannotBeReadIsToldInTheSystemsWords) {
    marlune_report report{};
    report.size = sizeof report;
    report.system_error = 13;
#ifdef _WIN32
    const std::string words = "cannot read the folder: system error 13";
#else
    const std::string words = std::string("cannot read the folder: ") + std::strerror(13);
#endif
    for (const std::int32_t job : {MARLUNE_JOB_EXAMINE, MARLUNE_JOB_CONVERT, MARLUNE_JOB_COPY}) {
        EXPECT_EQ(reason(job, MARLUNE_RUN_FOLDER_UNREADABLE, &report), words) << job;
    }
}

TEST(RunReports, ASalvageSaysWhetherAnythingCouldBeSalvaged) {
    EXPECT_EQ(reason(MARLUNE_JOB_SALVAGE, MARLUNE_HEADER_CUT, nullptr),
              std::string("cannot be salvaged: ") + marlune_status_text(MARLUNE_HEADER_CUT));
    EXPECT_EQ(reason(MARLUNE_JOB_SALVAGE, MARLUNE_READ_ERROR, nullptr),
              std::string("salvage failed: ") + marlune_status_text(MARLUNE_READ_ERROR));
}

}  // namespace
}  // namespace marlune::testing

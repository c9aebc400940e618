// Streams and memory: every route (a file, callbacks with and without a known
// length, memory) gives the same statuses, reports and bytes, for every cut of
// containers of both length modes and of a preamble longer than the buffer; and
// callbacks that fail at any call fail the copy with their own code. A stream
// copied to a named file is written beside it and moved into place as a file is.
// The process's standard input and output are streams of bytes.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#endif

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "marlune.h"
#include "support/files.h"
#include "support/kvrb_builder.h"

namespace marlune::testing {
namespace {

// A source in memory handed out in pieces of at most `piece` bytes, failing at
// its `failAt`th read (from 1) when set.
struct Reader {
    Bytes bytes;
    std::size_t piece = 1 << 20;
    int failAt = 0;
    int reads = 0;
    std::size_t at = 0;
};

int64_t MARLUNE_CALL readPiece(void* buffer, uint64_t count, int32_t* error, void* context) {
    auto* reader = static_cast<Reader*>(context);
    if (++reader->reads == reader->failAt) {
        *error = 5005;
        return -1;
    }
    const std::size_t size =
        std::min<std::size_t>({static_cast<std::size_t>(count), reader->piece, reader->bytes.size() - reader->at});
    if (size != 0) std::memcpy(buffer, reader->bytes.data() + reader->at, size);  // data() may be null
    reader->at += size;
    return static_cast<int64_t>(size);
}

struct Writer {
    Bytes bytes;
    int failAt = 0;
    int writes = 0;
};

int32_t MARLUNE_CALL writeAll(const void* buffer, uint64_t count, void* context) {
    auto* writer = static_cast<Writer*>(context);
    if (++writer->writes == writer->failAt) return 6006;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer);
    writer->bytes.insert(writer->bytes.end(), bytes, bytes + count);
    return 0;
}

marlune_reader readerOf(Reader& reader, bool lengthKnown) {
    marlune_reader stream{};
    stream.size = sizeof stream;
    stream.length_known = lengthKnown ? 1 : 0;
    stream.length = reader.bytes.size();
    stream.read = readPiece;
    stream.context = &reader;
    return stream;
}

marlune_writer writerOf(Writer& writer) {
    marlune_writer stream{};
    stream.size = sizeof stream;
    stream.write = writeAll;
    stream.context = &writer;
    return stream;
}

marlune_report freshReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

// What a route made of a source: its status, report and output.
struct Result {
    std::int32_t status = -1;
    marlune_report report = freshReport();
    Bytes output;
};

bool sameReport(const marlune_report& a, const marlune_report& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

class Routes : public ::testing::Test {
protected:
    TempDir dir;
    std::string source = dir.path("in.snd");
    std::string destination = dir.path("out.kv");

    Result throughFiles(const Bytes& bytes, const marlune_options& options) {
        writeFile(source, bytes);
        std::remove(destination.c_str());
        Result result;
        result.status = marlune_copy(source.c_str(), destination.c_str(), &options, &result.report);
        if (fileExists(destination)) result.output = readFile(destination);
        return result;
    }

    static Result throughCallbacks(const Bytes& bytes, const marlune_options& options, bool lengthKnown,
                                   std::size_t piece) {
        Reader reader{bytes, piece};
        Writer writer;
        const marlune_reader from = readerOf(reader, lengthKnown);
        const marlune_writer to = writerOf(writer);
        Result result;
        result.status = marlune_copy_stream(&from, &to, &options, &result.report);
        result.output = writer.bytes;
        return result;
    }

    // Into the file `destination`, through the library's own writing of a named file.
    Result throughCallbacksToFile(const Bytes& bytes, const marlune_options& options, bool lengthKnown,
                                  std::size_t piece) {
        std::remove(destination.c_str());
        Reader reader{bytes, piece};
        const marlune_reader from = readerOf(reader, lengthKnown);
        Result result;
        result.status = marlune_copy_from_stream(&from, destination.c_str(), &options, &result.report);
        if (fileExists(destination)) result.output = readFile(destination);
        return result;
    }

    // From the file `source`, opened and read by the library, into the caller's writer.
    Result fromFileToCallbacks(const Bytes& bytes, const marlune_options& options) {
        writeFile(source, bytes);
        Writer writer;
        const marlune_writer to = writerOf(writer);
        Result result;
        result.status = marlune_copy_to_stream(source.c_str(), &to, &options, &result.report);
        result.output = writer.bytes;
        return result;
    }

    static Result throughMemory(const Bytes& bytes, const marlune_options& options) {
        Writer writer;
        const marlune_writer to = writerOf(writer);
        Result result;
        result.status = marlune_copy_memory(bytes.data(), bytes.size(), &to, &options, &result.report);
        result.output = writer.bytes;
        return result;
    }

    // Every route against the file copied in place (whose failures leave whole parts, as a writer gets them).
    void expectEveryRouteAgrees(const Bytes& bytes, bool salvage, const std::string& what) {
        marlune_options options{};
        options.size = sizeof options;
        options.replace = 1;
        options.placement = MARLUNE_IN_PLACE;
        options.salvage = salvage ? 1 : 0;
        const Result file = throughFiles(bytes, options);
        const Result routes[] = {throughCallbacks(bytes, options, true, 1 << 20),
                                 throughCallbacks(bytes, options, false, 1 << 20),
                                 throughCallbacks(bytes, options, false, 3),
                                 throughMemory(bytes, options),
                                 throughCallbacksToFile(bytes, options, true, 1 << 20),
                                 throughCallbacksToFile(bytes, options, false, 5),
                                 fromFileToCallbacks(bytes, options)};
        for (const Result& route : routes) {
            const std::size_t index = static_cast<std::size_t>(&route - routes);
            EXPECT_EQ(route.status, file.status) << what << ", route " << index;
            EXPECT_TRUE(sameReport(route.report, file.report)) << what << ", route " << index;
            EXPECT_EQ(route.output, file.output) << what << ", route " << index;
        }
        marlune_report examined = freshReport();
        marlune_report inMemory = freshReport();
        const std::int32_t status = marlune_examine(source.c_str(), &examined);
        EXPECT_EQ(marlune_examine_memory(bytes.data(), bytes.size(), &inMemory), status) << what;
        EXPECT_TRUE(sameReport(inMemory, examined)) << what;
        Reader reader{bytes, 7};
        const marlune_reader from = readerOf(reader, false);
        marlune_report streamed = freshReport();
        EXPECT_EQ(marlune_examine_stream(&from, &streamed), status) << what;
        EXPECT_TRUE(sameReport(streamed, examined)) << what;
    }
};

TEST_F(Routes, EveryCutOfBothLengthModesComesOutTheSameEveryWay) {
    const Bytes fixed = KvrbBuilder().lengthMode(0).preamble(5).chunk(9, 330).chunk(330).build();
    const Bytes variable = KvrbBuilder().lengthMode(2).preamble(3).chunk(0).chunk(17).chunk(300).build();
    for (const Bytes* bytes : {&fixed, &variable}) {
        for (std::size_t length = 0; length <= bytes->size(); ++length) {
            // Every cut in the header, preamble and first chunks, and along the rest.
            if (length > 120 && length % 7 != 0 && length + 10 < bytes->size()) continue;
            for (const bool salvage : {false, true}) {
                expectEveryRouteAgrees(prefix(*bytes, length), salvage,
                                       std::to_string(length) + " bytes" + (salvage ? ", salvaged" : ""));
            }
        }
    }
}

// A preamble longer than the copy's buffer goes to a writer in pieces: whole, it
// comes out as from a file; cut, only what the source held of it went.
TEST_F(Routes, APreambleLongerThanTheBufferComesOutTheSameEveryWay) {
    const Bytes bytes = KvrbBuilder().lengthMode(0).preamble(1300 * 1024).chunk(12, 330).build();
    expectEveryRouteAgrees(bytes, false, "whole");
    expectEveryRouteAgrees(prefix(bytes, bytes.size() - 100), true, "salvaged");
    marlune_options options{};
    options.size = sizeof options;
    const Bytes cut = prefix(bytes, 900 * 1024);
    const Result unknown = throughCallbacks(cut, options, false, 1 << 20);
    EXPECT_EQ(unknown.status, MARLUNE_PREAMBLE_CUT);
    EXPECT_EQ(unknown.output, prefix(cut, unknown.output.size()));
    EXPECT_EQ(unknown.report.bytes_written, unknown.output.size());
    EXPECT_EQ(unknown.report.source_bytes, cut.size());
    EXPECT_EQ(unknown.report.cut_missing, bytes.size() - 8 - 330 - cut.size());
    // With its length given, the cut is known before any of the preamble goes.
    const Result known = throughCallbacks(cut, options, true, 1 << 20);
    EXPECT_EQ(known.status, MARLUNE_PREAMBLE_CUT);
    EXPECT_EQ(known.output, prefix(cut, 82));
}

// A length that the source does not keep to is a source that changed.
TEST_F(Routes, ASourceLongerOrShorterThanItsLengthChanged) {
    const Bytes bytes = KvrbBuilder().lengthMode(1).chunk(40).chunk(5).build();
    for (const std::int64_t difference : {-1, 1, -45}) {
        Reader reader{bytes};
        Writer writer;
        marlune_reader from = readerOf(reader, true);
        from.length = static_cast<std::uint64_t>(static_cast<std::int64_t>(bytes.size()) + difference);
        const marlune_writer to = writerOf(writer);
        marlune_report report = freshReport();
        EXPECT_EQ(marlune_copy_stream(&from, &to, nullptr, &report), MARLUNE_SOURCE_CHANGED) << difference;
    }
}

// A stream that states its length, gives it, then zeros without end: each route
// answers at the first byte past the length, read no further, and writes
// nothing more. The reader gives up after 64 MiB, so that a library that reads
// on fails rather than hangs.
struct Endless {
    Bytes bytes;
    std::uint64_t given = 0;
};

int64_t MARLUNE_CALL readOnAndOn(void* buffer, uint64_t count, int32_t* error, void* context) {
    auto* endless = static_cast<Endless*>(context);
    if (endless->given > (64u << 20)) {
        *error = 7007;
        return -1;
    }
    const auto size = static_cast<std::size_t>(std::min<uint64_t>(count, 100000));
    std::memset(buffer, 0, size);
    const std::uint64_t left = endless->bytes.size() - std::min<std::uint64_t>(endless->given, endless->bytes.size());
    std::memcpy(buffer, endless->bytes.data() + (endless->bytes.size() - left), std::min<std::uint64_t>(left, size));
    endless->given += size;
    return static_cast<int64_t>(size);
}

TEST_F(Routes, AStreamLongerThanItsStatedLengthIsReadOneBytePastIt) {
    const Bytes bytes = KvrbBuilder().lengthMode(1).preamble(30).chunk(4000).chunk(4000).chunk(130).build();
    for (int route = 0; route < 3; ++route) {
        Endless endless{bytes};
        marlune_reader from{};
        from.size = sizeof from;
        from.length_known = 1;
        from.length = bytes.size();
        from.read = readOnAndOn;
        from.context = &endless;
        Writer writer;
        const marlune_writer to = writerOf(writer);
        marlune_report report = freshReport();
        const std::int32_t status = route == 0 ? marlune_examine_stream(&from, &report)
                                    : route == 1
                                        ? marlune_copy_stream(&from, &to, nullptr, &report)
                                        : marlune_copy_from_stream(&from, destination.c_str(), nullptr, &report);
        EXPECT_EQ(status, MARLUNE_SOURCE_CHANGED) << route;
        EXPECT_LE(endless.given, bytes.size() + 1) << route;
        EXPECT_LE(writer.bytes.size(), bytes.size()) << route;
        EXPECT_TRUE(writer.bytes == prefix(bytes, writer.bytes.size())) << route;
        EXPECT_EQ(dir.names(), std::vector<std::string>{}) << route;
    }
}

TEST_F(Routes, ACallbackThatFailsAtAnyCallFailsTheCopyWithItsCode) {
    const Bytes bytes = KvrbBuilder().lengthMode(0).preamble(700 * 1024).chunk(1, 330).chunk(330).build();
    const Bytes converted = KvrbBuilder().lengthMode(0).preamble(700 * 1024).chunk(330).chunk(330).build();
    marlune_options options{};
    options.size = sizeof options;
    int readsFailed = 0;
    for (int failAt = 1;; ++failAt) {
        Reader reader{bytes, 100 * 1024, failAt};
        Writer writer;
        const marlune_reader from = readerOf(reader, false);
        const marlune_writer to = writerOf(writer);
        marlune_report report = freshReport();
        const std::int32_t status = marlune_copy_stream(&from, &to, &options, &report);
        if (reader.reads < failAt) {
            EXPECT_EQ(status, MARLUNE_OK);
            break;
        }
        ++readsFailed;
        EXPECT_EQ(status, MARLUNE_READ_ERROR) << failAt;
        EXPECT_EQ(report.system_error, 5005) << failAt;
        EXPECT_EQ(report.bytes_written, writer.bytes.size()) << failAt;
    }
    int writesFailed = 0;
    for (int failAt = 1;; ++failAt) {
        Reader reader{bytes};
        Writer writer{{}, failAt};
        const marlune_reader from = readerOf(reader, true);
        const marlune_writer to = writerOf(writer);
        marlune_report report = freshReport();
        const std::int32_t status = marlune_copy_stream(&from, &to, &options, &report);
        if (writer.writes < failAt) {
            EXPECT_EQ(status, MARLUNE_OK);
            break;
        }
        ++writesFailed;
        EXPECT_EQ(status, MARLUNE_WRITE_ERROR) << failAt;
        EXPECT_EQ(report.system_error, 6006) << failAt;
        EXPECT_EQ(report.bytes_written, writer.bytes.size()) << failAt;
        EXPECT_EQ(writer.bytes, prefix(converted, writer.bytes.size())) << failAt;
    }
    EXPECT_GT(readsFailed, 5);
    EXPECT_GT(writesFailed, 2);
}

// A reader and a writer that note what the copy asks of them.
struct Watched {
    Reader reader;
    Writer writer;
    std::vector<std::size_t> writeEnds;
    std::size_t readsNotOfPages = 0;
};

int64_t MARLUNE_CALL readWatched(void* buffer, uint64_t count, int32_t* error, void* context) {
    auto* watched = static_cast<Watched*>(context);
    // Whole pages, but for a read that may reach the end.
    const bool mayEnd = watched->reader.at + count >= watched->reader.bytes.size();
    if ((watched->reader.at % 4096 != 0 || count % 4096 != 0) && !mayEnd) ++watched->readsNotOfPages;
    return readPiece(buffer, count, error, &watched->reader);
}

int32_t MARLUNE_CALL writeWatched(const void* buffer, uint64_t count, void* context) {
    auto* watched = static_cast<Watched*>(context);
    const int32_t error = writeAll(buffer, count, &watched->writer);
    watched->writeEnds.push_back(watched->writer.bytes.size());
    return error;
}

// Nothing given to a writer can be taken back: it gets whole parts only, however
// large the copy, and it holds whole parts when the source turns out cut. Reads
// are asked in whole pages all the same.
TEST_F(Routes, AWriterGetsWholePartsOnlyAndAReaderIsAskedForWholePages) {
    KvrbBuilder builder = KvrbBuilder().preamble(3000);
    for (int i = 0; i < 700; ++i) builder.chunk(static_cast<std::uint16_t>(i * 1237 % 4001));
    const Bytes bytes = builder.build();  // about 1.4 MB
    std::vector<std::size_t> ends = {82, 3082};
    for (std::size_t at = ends.back(); at + 8 <= bytes.size();) {
        at += 8 + (bytes[at + 2] | bytes[at + 3] << 8);
        ends.push_back(at);
    }
    for (const std::size_t cut : {std::size_t{0}, std::size_t{5}}) {
        for (const bool lengthKnown : {true, false}) {
            Watched watched{{prefix(bytes, bytes.size() - cut)}, {}, {}, 0};
            marlune_reader from = readerOf(watched.reader, lengthKnown);
            from.context = &watched;
            from.read = readWatched;
            marlune_writer to = writerOf(watched.writer);
            to.context = &watched;
            to.write = writeWatched;
            const std::int32_t status = marlune_copy_stream(&from, &to, nullptr, nullptr);
            const std::string where = std::to_string(cut) + (lengthKnown ? ", length known" : "");
            EXPECT_EQ(status, cut == 0 ? MARLUNE_OK : MARLUNE_PAYLOAD_CUT) << where;
            EXPECT_GT(watched.writeEnds.size(), 2u) << where;
            for (const std::size_t end : watched.writeEnds) {
                EXPECT_TRUE(std::binary_search(ends.begin(), ends.end(), end)) << where << ": " << end;
            }
            EXPECT_EQ(watched.writer.bytes, prefix(bytes, watched.writer.bytes.size())) << where;
            EXPECT_EQ(watched.readsNotOfPages, 0u) << where;
        }
    }
}

// A container in memory is walked a window at a time: chunks across the windows'
// edges, and cuts anywhere, judged as in a file.
TEST_F(Routes, MemoryLargerThanAWindowIsJudgedAsAFileIs) {
    KvrbBuilder builder;
    builder.lengthMode(1).preamble(300 * 1024);
    for (int i = 0; i < 700; ++i) builder.chunk(static_cast<std::size_t>(i * 97 % 4000));
    const Bytes bytes = builder.build();
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{9}, std::size_t{1000},
                                  bytes.size() - 512 * 1024 - 3, bytes.size() - 1100 * 1024}) {
        const Bytes source = prefix(bytes, bytes.size() - cut);
        writeFile(this->source, source);
        marlune_report fromFile = freshReport();
        marlune_report fromMemory = freshReport();
        EXPECT_EQ(marlune_examine_memory(source.data(), source.size(), &fromMemory),
                  marlune_examine(this->source.c_str(), &fromFile))
            << cut;
        EXPECT_TRUE(sameReport(fromMemory, fromFile)) << cut;
    }
}

// Memory is only read: the 330 a fixed-length copy writes goes to the copy.
TEST_F(Routes, MemoryIsOnlyRead) {
    const Bytes bytes = KvrbBuilder().lengthMode(0).chunk(3, 330).build();
    const Bytes before = bytes;
    marlune_report report = freshReport();
    EXPECT_EQ(marlune_examine_memory(bytes.data(), bytes.size(), &report), MARLUNE_OK);
    EXPECT_EQ(report.length_fields_set, 1u);
    Writer writer;
    const marlune_writer to = writerOf(writer);
    EXPECT_EQ(marlune_copy_memory(bytes.data(), bytes.size(), &to, nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(bytes, before);
    EXPECT_EQ(writer.bytes, KvrbBuilder().lengthMode(0).chunk(330).build());
}

TEST_F(Routes, MissingOrTooSmallStreamsAreNoStreams) {
    Reader reader{KvrbBuilder().build()};
    Writer writer;
    marlune_reader from = readerOf(reader, false);
    marlune_writer to = writerOf(writer);
    marlune_report report = freshReport();
    EXPECT_EQ(marlune_copy_stream(nullptr, &to, nullptr, &report), MARLUNE_NO_SOURCE_NAME);
    EXPECT_EQ(marlune_copy_stream(&from, nullptr, nullptr, &report), MARLUNE_NO_DESTINATION_NAME);
    EXPECT_EQ(marlune_copy_memory(nullptr, 5, &to, nullptr, &report), MARLUNE_NO_SOURCE_NAME);
    EXPECT_EQ(marlune_examine_memory(nullptr, 0, &report), MARLUNE_NOT_A_CONTAINER);
    from.size = 8;
    EXPECT_EQ(marlune_examine_stream(&from, &report), MARLUNE_NO_SOURCE_NAME);
    from.size = sizeof from;
    to.size = 8;
    EXPECT_EQ(marlune_copy_stream(&from, &to, nullptr, &report), MARLUNE_NO_DESTINATION_NAME);
}

// Beside, as marlune_copy writes: a copy that fails, the reader's failure too,
// leaves the earlier file and nothing else; one that succeeds replaces it.
TEST_F(Routes, AStreamToANamedFileIsMovedIntoPlaceOnlyWhenComplete) {
    const Bytes bytes = KvrbBuilder().lengthMode(0).preamble(600 * 1024).chunk(7, 330).chunk(330).build();
    const Bytes converted = KvrbBuilder().lengthMode(0).preamble(600 * 1024).chunk(330).chunk(330).build();
    const Bytes earlier{'o', 'l', 'd'};
    for (const int failAt : {1, 9, 11}) {  // in the header's read, the preamble's, the chunks'
        writeFile(destination, earlier);
        Reader reader{bytes, 64 * 1024, failAt};
        const marlune_reader from = readerOf(reader, false);
        marlune_report report = freshReport();
        EXPECT_EQ(marlune_copy_from_stream(&from, destination.c_str(), nullptr, &report), MARLUNE_READ_ERROR);
        EXPECT_EQ(report.system_error, 5005) << failAt;
        EXPECT_EQ(report.bytes_written, 0u);
        EXPECT_EQ(readFile(destination), earlier) << failAt;
        EXPECT_EQ(dir.names(), std::vector<std::string>{"out.kv"}) << failAt;
    }
    Reader cut{prefix(bytes, bytes.size() - 9), 64 * 1024};
    marlune_reader from = readerOf(cut, false);
    EXPECT_EQ(marlune_copy_from_stream(&from, destination.c_str(), nullptr, nullptr), MARLUNE_PAYLOAD_CUT);
    EXPECT_EQ(readFile(destination), earlier);
    Reader whole{bytes, 64 * 1024};
    from = readerOf(whole, false);
    marlune_report report = freshReport();
    EXPECT_EQ(marlune_copy_from_stream(&from, destination.c_str(), nullptr, &report), MARLUNE_OK);
    EXPECT_EQ(readFile(destination), converted);
    EXPECT_EQ(report.source_bytes, bytes.size());
    EXPECT_EQ(dir.names(), std::vector<std::string>{"out.kv"});
    EXPECT_EQ(marlune_copy_from_stream(nullptr, destination.c_str(), nullptr, &report), MARLUNE_NO_SOURCE_NAME);
    from = readerOf(whole, false);
    EXPECT_EQ(marlune_copy_from_stream(&from, nullptr, nullptr, &report), MARLUNE_NO_DESTINATION_NAME);
}

TEST_F(Routes, AFileToAStreamIsOpenedAsACopyOpensIt) {
    Writer writer;
    const marlune_writer to = writerOf(writer);
    marlune_report report = freshReport();
    EXPECT_EQ(marlune_copy_to_stream(dir.path("none.snd").c_str(), &to, nullptr, &report), MARLUNE_SOURCE_MISSING);
    EXPECT_NE(report.system_error, 0);
    EXPECT_EQ(marlune_copy_to_stream(dir.path("").c_str(), &to, nullptr, &report), MARLUNE_SOURCE_NOT_A_FILE);
    EXPECT_EQ(marlune_copy_to_stream(nullptr, &to, nullptr, &report), MARLUNE_NO_SOURCE_NAME);
    writeFile(source, KvrbBuilder().build());
    EXPECT_EQ(marlune_copy_to_stream(source.c_str(), nullptr, nullptr, &report), MARLUNE_NO_DESTINATION_NAME);
    EXPECT_TRUE(writer.bytes.empty());
}

// One of the process's standard streams put on another file while it lives.
class Redirected {
public:
#ifdef _WIN32
    Redirected(DWORD which, HANDLE file) : which_(which), saved_(GetStdHandle(which)), file_(file) {
        SetStdHandle(which, file);
    }
    ~Redirected() {
        SetStdHandle(which_, saved_);
        CloseHandle(file_);
    }

private:
    DWORD which_;
    HANDLE saved_;
    HANDLE file_;
#else
    Redirected(int which, int file) : which_(which), saved_(dup(which)) {
        dup2(file, which);
        close(file);
    }
    ~Redirected() {
        dup2(saved_, which_);
        close(saved_);
    }

private:
    int which_;
    int saved_;
#endif
    Redirected(const Redirected&) = delete;
    Redirected& operator=(const Redirected&) = delete;
};

#ifdef _WIN32
constexpr DWORD input = STD_INPUT_HANDLE;
constexpr DWORD output = STD_OUTPUT_HANDLE;
HANDLE opened(const std::string& path, bool write) {
    return CreateFileA(path.c_str(), write ? GENERIC_WRITE : GENERIC_READ, FILE_SHARE_READ, nullptr,
                       write ? CREATE_ALWAYS : OPEN_EXISTING, 0, nullptr);
}
void skipBytes(HANDLE file, long bytes) {
    SetFilePointer(file, bytes, nullptr, FILE_CURRENT);
}
// A pipe holding `bytes`, its writing end closed: its reader gets them and then its end.
HANDLE pipeHolding(const Bytes& bytes) {
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    CreatePipe(&reading, &writing, nullptr, 1 << 20);
    DWORD put = 0;
    WriteFile(writing, bytes.data(), static_cast<DWORD>(bytes.size()), &put, nullptr);
    CloseHandle(writing);
    return reading;
}
#else
constexpr int input = STDIN_FILENO;
constexpr int output = STDOUT_FILENO;
int opened(const std::string& path, bool write) {
    return write ? open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : open(path.c_str(), O_RDONLY);
}
void skipBytes(int file, long bytes) {
    lseek(file, bytes, SEEK_CUR);
}
int pipeHolding(const Bytes& bytes) {
    int ends[2];
    if (pipe(ends) != 0) return -1;
    if (write(ends[1], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size())) return -1;
    close(ends[1]);
    return ends[0];
}
#endif

// Read from where standard input stands to its end, stated where it is a file; written
// unbuffered, as bytes, to standard output.
TEST_F(Routes, StandardInputAndOutputAreStreamsOfBytes) {
    const Bytes bytes = KvrbBuilder().lengthMode(0).chunk(7, 330).chunk(330).build();
    const Bytes converted = KvrbBuilder().lengthMode(0).chunk(330).chunk(330).build();
    Bytes offset = bytes;
    offset.insert(offset.begin(), 3, 'x');
    writeFile(source, offset);
    marlune_reader from{};
    marlune_writer to{};
    from.size = sizeof from;
    to.size = sizeof to;
    marlune_report report = freshReport();
    // Checked once the streams are the test's own again, so that what it says is seen.
    std::vector<std::int32_t> statuses;
    {
        const auto file = opened(source, false);
        skipBytes(file, 3);
        const Redirected in(input, file);
        const Redirected out(output, opened(destination, true));
        statuses = {marlune_standard_input(&from), marlune_standard_output(&to),
                    marlune_copy_stream(&from, &to, nullptr, &report)};
    }
    EXPECT_EQ(statuses, (std::vector<std::int32_t>{MARLUNE_OK, MARLUNE_OK, MARLUNE_OK}));
    EXPECT_EQ((std::pair<int32_t, uint64_t>(from.length_known, from.length)),
              (std::pair<int32_t, uint64_t>(1, bytes.size())));
    EXPECT_EQ(readFile(destination), converted);
    {
        const Redirected in(input, pipeHolding(bytes));
        statuses = {marlune_standard_input(&from), marlune_examine_stream(&from, &report)};
    }
    EXPECT_EQ(statuses, (std::vector<std::int32_t>{MARLUNE_OK, MARLUNE_OK}));
    EXPECT_EQ(from.length_known, 0);
    EXPECT_EQ(report.source_bytes, bytes.size());
#ifndef _WIN32
    // A reader gone is the system's EPIPE, where the process ignores SIGPIPE.
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    close(ends[0]);
    const auto previous = std::signal(SIGPIPE, SIG_IGN);
    {
        const Redirected out(output, ends[1]);
        statuses = {marlune_standard_output(&to),
                    marlune_copy_memory(bytes.data(), bytes.size(), &to, nullptr, &report)};
    }
    std::signal(SIGPIPE, previous);
    EXPECT_EQ(statuses, (std::vector<std::int32_t>{MARLUNE_OK, MARLUNE_WRITE_ERROR}));
    EXPECT_EQ(report.system_error, EPIPE);
#endif
    from.size = 8;
    to.size = 8;
    EXPECT_EQ(marlune_standard_input(&from), MARLUNE_NO_SOURCE_NAME);
    EXPECT_EQ(marlune_standard_output(&to), MARLUNE_NO_DESTINATION_NAME);
    EXPECT_EQ(marlune_standard_input(nullptr), MARLUNE_NO_SOURCE_NAME);
}

}  // namespace
}  // namespace marlune::testing

// What only Windows shows: how the files are opened and shared, and the message box.
// Run under Wine here.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "boundary/module_state.h"
#include "marlune.h"
#include "platform/os.h"
#include "platform/win32_message_box.h"
#include "support/files.h"
#include "support/kvrb_builder.h"
#include "support/test_os.h"

namespace marlune::testing {
namespace {

// Opens `path` as another program would: the last error when that fails, else 0.
DWORD openError(const std::string& path, DWORD access, DWORD sharing) {
    const HANDLE file = CreateFileA(path.c_str(), access, sharing, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return GetLastError();
    CloseHandle(file);
    return 0;
}

constexpr DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool isInheritable(platform::Handle file) {
    DWORD flags = 0;
    return GetHandleInformation(reinterpret_cast<HANDLE>(file), &flags) && (flags & HANDLE_FLAG_INHERIT);
}

class Win32Files : public ::testing::Test {
protected:
    platform::Os& os = platform::nativeOs();
    TempDir dir;
    std::string source = dir.path("in.snd");
    std::string destination = dir.path("out.kv");
};

TEST_F(Win32Files, TheSourceIsSharedForReadingAndWritingOnly) {
    writeFile(source, {1, 2, 3});
    platform::Handle file = platform::noHandle;
    std::uint64_t size = 0;
    ASSERT_TRUE(os.openForReading(source.c_str(), file, size));
    EXPECT_EQ(size, 3u);
    EXPECT_EQ(openError(source, GENERIC_READ | GENERIC_WRITE, shareAll), 0u);
    EXPECT_EQ(openError(source, DELETE, shareAll), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Others may not deny the reading it does.
    EXPECT_EQ(openError(source, GENERIC_READ, FILE_SHARE_WRITE), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(isInheritable(file));
    unsigned char buffer[8] = {};
    EXPECT_EQ(os.write(file, buffer, 1), -1);  // read access only
    EXPECT_EQ(os.read(file, buffer, sizeof buffer), 3);
    EXPECT_TRUE(os.close(file));
    EXPECT_EQ(openError(source, GENERIC_READ, 0), 0u);
}

TEST_F(Win32Files, TheDestinationIsCreatedOrTruncatedForExclusiveWriting) {
    writeFile(destination, {1, 2, 3});
    platform::Handle file = platform::noHandle;
    ASSERT_TRUE(os.createForWriting(destination.c_str(), platform::noHandle, file));
    EXPECT_EQ(openError(destination, GENERIC_READ, shareAll), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(openError(destination, GENERIC_WRITE, shareAll), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(isInheritable(file));
    LARGE_INTEGER bytes{};
    EXPECT_TRUE(GetFileSizeEx(reinterpret_cast<HANDLE>(file), &bytes));
    EXPECT_EQ(bytes.QuadPart, 0);
    unsigned char buffer[4] = {};
    EXPECT_EQ(os.read(file, buffer, sizeof buffer), -1);  // write access only
    EXPECT_TRUE(os.close(file));
    EXPECT_EQ(readFile(destination), Bytes{});
    // Normal attributes: nothing hidden, read-only or temporary about it.
    EXPECT_EQ(GetFileAttributesA(destination.c_str()) & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL}, 0u);

    const std::string fresh = dir.path("new.kv");
    ASSERT_TRUE(os.createForWriting(fresh.c_str(), platform::noHandle, file));
    EXPECT_TRUE(os.close(file));
    EXPECT_EQ(GetFileAttributesA(fresh.c_str()) & ~DWORD{FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NORMAL}, 0u);
}

TEST_F(Win32Files, DevicesAndFoldersAreNotFiles) {
    platform::Handle file = platform::noHandle;
    std::uint64_t size = 0;
    EXPECT_FALSE(os.openForReading("NUL", file, size));
    EXPECT_FALSE(os.createForWriting("NUL", platform::noHandle, file));
    EXPECT_FALSE(os.openForReading(dir.path(".").c_str(), file, size));
    EXPECT_EQ(file, platform::noHandle);
}

// The destination is closed to everybody else for the whole copy, not only at its start.
class SharingProbe : public TestOs {
public:
    std::string destination;
    std::vector<DWORD> errors;

    std::int64_t write(platform::Handle file, const void* buffer, std::size_t size) override {
        errors.push_back(openError(destination, GENERIC_READ, shareAll));
        return TestOs::write(file, buffer, size);
    }
};

TEST_F(Win32Files, TheDestinationStaysExclusiveWhileACopyRuns) {
    // Larger than a file buffer, so that the copy writes several times.
    KvrbBuilder builder;
    builder.preamble(5);
    for (int i = 0; i < 16; ++i) builder.chunk(65535);
    const Bytes bytes = builder.build();
    writeFile(source, bytes);
    SharingProbe probe;
    probe.destination = destination;
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 0), 1);
    EXPECT_EQ(probe.errors, std::vector<DWORD>(probe.calls(Call::write), ERROR_SHARING_VIOLATION));
    EXPECT_GE(probe.errors.size(), 3u);
    EXPECT_EQ(readFile(destination), bytes);
}

TEST_F(Win32Files, ADestinationThatIsTheSourceUnderAnotherNameIsRefused) {
    const Bytes bytes = KvrbBuilder().chunk(40).build();
    writeFile(source, bytes);
    TestOs recording;
    // Drive C: ignores letter case, as Windows' file systems do.
    for (const std::string& name : {dir.path("IN.SND"), dir.path("In.Snd"), dir.path(".\\in.snd")}) {
        EXPECT_EQ(KVRBinfo(source.c_str(), name.c_str(), 1), 0) << name;
        EXPECT_EQ(readFile(source), bytes) << name;
    }
    EXPECT_EQ(recording.messages, std::vector<std::string>(3, messages::cannotCreateDestination));
    EXPECT_EQ(recording.openFiles(), 0u);
}

TEST_F(Win32Files, ADestinationOpenElsewhereIsLeftAsItIs) {
    writeFile(source, KvrbBuilder().chunk(4).build());
    writeFile(destination, {7, 7, 7});
    const HANDLE other = CreateFileA(destination.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                     OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(other, INVALID_HANDLE_VALUE);
    TestOs recording;
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 1), 0);
    CloseHandle(other);
    EXPECT_EQ(recording.messages, std::vector<std::string>{messages::cannotCreateDestination});
    EXPECT_EQ(readFile(destination), (Bytes{7, 7, 7}));
}

// What MessageBoxA would have been given, and what the files looked like then.
struct Box {
    HWND owner;
    std::string text;
    std::string caption;
    UINT style;
    DWORD sourceError;       // opening the source exclusively from inside the box
    DWORD destinationError;  // opening the destination at all
};

std::vector<Box> boxes;
std::string boxSource;
std::string boxDestination;

int WINAPI recordBox(HWND owner, LPCSTR text, LPCSTR caption, UINT style) {
    boxes.push_back({owner, text, caption, style, openError(boxSource, GENERIC_READ, 0),
                     openError(boxDestination, GENERIC_READ, shareAll)});
    return IDOK;
}

// The native Os with MessageBoxA replaced by a recorder.
class Win32MessageBox : public Win32Files {
protected:
    Win32MessageBox() : previous_(platform::replaceMessageBox(recordBox)) {
        boxes.clear();
        boxSource = source;
        boxDestination = destination;
    }
    ~Win32MessageBox() override { platform::replaceMessageBox(previous_); }

private:
    platform::MessageBoxFunction previous_;
};

TEST_F(Win32MessageBox, IsOwnerlessCaptionedMarluneWithAStopIconAndOk) {
    EXPECT_EQ(KVRBinfo(nullptr, destination.c_str(), 1), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].owner, nullptr);
    EXPECT_EQ(boxes[0].text, messages::badName);
    EXPECT_EQ(boxes[0].caption, "Marlune");
    EXPECT_EQ(boxes[0].style, 0x10u);
    EXPECT_EQ(boxes[0].style, static_cast<UINT>(MB_OK | MB_ICONERROR));

    EXPECT_EQ(KVRBinfo(dir.path("absent").c_str(), destination.c_str(), 0), 0);
    EXPECT_EQ(boxes.size(), 1u);  // silent when not asked to show errors
}

TEST_F(Win32MessageBox, IsShownWhileTheFilesAreStillOpen) {
    writeFile(source, KvrbBuilder().magic("RIFF").build());
    EXPECT_EQ(KVRBinfo(source.c_str(), destination.c_str(), 1), 0);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, messages::cannotCopyHeader);
    EXPECT_EQ(boxes[0].sourceError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(boxes[0].destinationError, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    // Closed once the box is dismissed.
    EXPECT_EQ(openError(source, GENERIC_READ, 0), 0u);
    EXPECT_EQ(openError(destination, GENERIC_READ, 0), 0u);
}

}  // namespace
}  // namespace marlune::testing

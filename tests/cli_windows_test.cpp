// marlune.exe under Windows (Wine): names outside the ANSI code page and paths
// longer than MAX_PATH, given on the wide command line, walked and listed.
// It runs the marlune.exe beside it, as a user runs it. Exit status 0: all passed.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

int failures = 0;

void check(bool ok, const char* what) {
    if (!ok) {
        std::printf("FAILED: %s\n", what);
        ++failures;
    }
}

std::wstring folderOfThisProgram() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, length);
    return text.substr(0, text.find_last_of(L"\\/"));
}

std::wstring longForm(const std::wstring& path) {
    return L"\\\\?\\" + path;
}

std::string utf8(const std::wstring& text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<std::size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), bytes, nullptr, nullptr);
    out.pop_back();
    return out;
}

bool exists(const std::wstring& path) {
    return GetFileAttributesW(longForm(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool writeFile(const std::wstring& path, const std::string& bytes) {
    HANDLE file = CreateFileW(longForm(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return false;
    DWORD written = 0;
    const bool ok =
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr) && written == bytes.size();
    CloseHandle(file);
    return ok;
}

// A fixed-length container: no preamble, two chunks whose headers claim 7 bytes.
std::string container() {
    std::string data(82, '\0');
    std::memcpy(data.data(), "KVRB", 4);
    data[20] = 82;
    for (int chunk = 0; chunk < 2; ++chunk) {
        std::string header(8, '\0');
        header[2] = 7;
        data += header + std::string(330, static_cast<char>('a' + chunk));
    }
    return data;
}

struct Run {
    DWORD code = 99;
    std::string output;
};

// marlune.exe with these arguments, standard output captured.
Run marlune(const std::vector<std::wstring>& arguments) {
    std::wstring line = L"\"" + folderOfThisProgram() + L"\\marlune.exe\"";
    for (const std::wstring& argument : arguments) line += L" \"" + argument + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    CreatePipe(&readEnd, &writeEnd, &inherit, 0);
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = writeEnd;
    startup.hStdError = writeEnd;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION process{};
    Run run;
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        CloseHandle(readEnd);
        CloseHandle(writeEnd);
        return run;
    }
    CloseHandle(writeEnd);
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(readEnd, buffer, sizeof buffer, &got, nullptr) && got > 0) run.output.append(buffer, got);
    WaitForSingleObject(process.hProcess, INFINITE);
    GetExitCodeProcess(process.hProcess, &run.code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(readEnd);
    return run;
}

}  // namespace

int main() {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    // Greek, Cyrillic and Japanese: outside any single ANSI code page, and a
    // character outside the Basic Multilingual Plane.
    const std::wstring top =
        std::wstring(temp) + L"marlune-\u03a9\u03bc\u03ad\u03b3\u03b1-" + std::to_wstring(GetCurrentProcessId());
    std::wstring folder = top;
    check(CreateDirectoryW(longForm(folder).c_str(), nullptr) != 0, "create the top folder");
    while (folder.size() < 300) {
        folder += L"\\\u0437\u0430\u043f\u0438\u0441\u0438-\u65e5\u672c\u8a9e-0123456789abcdef";
        check(CreateDirectoryW(longForm(folder).c_str(), nullptr) != 0, "create a nested folder");
    }
    const std::wstring source = folder + L"\\take-\u266a-\U0001F3B5.snd";
    const std::wstring converted = folder + L"\\take-\u266a-\U0001F3B5.kv";
    check(source.size() > 260, "the path is longer than MAX_PATH");
    check(writeFile(source, container()), "write the container");
    check(writeFile(top + L"\\notes-\u00fc\u03a9.txt", "not a container"), "write a text file");

    Run run = marlune({L"convert", L"-r", L"--json", top});
    check(run.code == 0, "convert -r exits 0");
    check(run.output.find("take-\xe2\x99\xaa-\xf0\x9f\x8e\xb5.snd\"") != std::string::npos,
          "the JSON names the file in UTF-8");
    check(run.output.find("\"converted\": 1") != std::string::npos, "one converted");
    check(run.output.find("\"skipped\": 1") != std::string::npos, "the text file skipped");
    check(exists(converted) && !exists(source), "the .kv is there and the source gone");

    run = marlune({L"info", converted});
    check(run.code == 0 && run.output.find("complete container") != std::string::npos, "info on the long name");

    const std::wstring copy = folder + L"\\\u30b3\u30d4\u30fc.kv";
    run = marlune({L"copy", converted, copy});
    check(run.code == 0 && exists(copy), "copy between long Unicode names");

    const std::wstring list = top + L"\\list-\u03a9.txt";
    check(writeFile(list, utf8(copy) + "\r\n" + utf8(converted) + "\r\n"), "write the list");
    run = marlune({L"info", L"--json", L"--files-from", list});
    check(run.code == 0 && run.output.find("\"complete\": 2") != std::string::npos, "info --files-from a UTF-8 list");

    std::printf("%s\n", failures == 0 ? "all passed" : "some failed");
    return failures == 0 ? 0 : 1;
}

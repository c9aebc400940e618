// The interface for programs: UTF-8 (or, on Windows, UTF-16) paths, a status and
// a report for every call, nothing shown to the user and nothing shared, so that
// any number of calls may run at once.
#include <algorithm>
#include <cstring>
#include <string>

#include "boundary/api.h"
#include "boundary/operations.h"
#include "marlune.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace marlune {
namespace {

// What one call works with: its own.
struct CallFiles {
    platform::File source;
    platform::File destination;
    container::Header header{};
    CopyFiles files{source, destination, header};
};

std::int32_t copy(platform::Os& os, const char* source, const char* destination, const marlune_options* options,
                  marlune_report& report) {
    const marlune_options settings = settingsFrom(options);
    CallFiles call;
    CopyRequest request = requestFrom(os, settings, source, destination);
    request.overlapWrites = true;
    return copyContainer(request, call.files, report).status;
}

// UTF-8 has no double-byte code page for the name's derivation to step over.
std::int32_t convert(platform::Os& os, const char* path, const marlune_options* options, marlune_report& report,
                     bool judgeOnly = false) {
    const marlune_options settings = settingsFrom(options);
    CallFiles call;
    CopyRequest request = requestFrom(os, settings, path, nullptr);
    request.judgeOnly = judgeOnly;
    request.overlapWrites = true;
    return convertFile(request, 0, call.files, report).status;
}

#ifdef _WIN32
// A UTF-16 path as UTF-8; false when it is no valid UTF-16. Null stays null.
bool toUtf8(const wchar_t* path, std::string& utf8, const char*& named) {
    named = nullptr;
    if (!path) return true;
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0) return false;
    utf8.assign(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, path, -1, utf8.data(), length, nullptr, nullptr);
    utf8.pop_back();
    named = utf8.c_str();
    return true;
}
#endif

}  // namespace

marlune_options settingsFrom(const marlune_options* options) {
    marlune_options settings{};
    settings.size = sizeof settings;
    settings.replace = 1;
    settings.placement = MARLUNE_BESIDE;
    settings.durability = MARLUNE_DURABLE_NONE;
    if (!options) return settings;
    const auto take = [&](auto member) {
        if (holds(options->size, member)) settings.*member = options->*member;
    };
    take(&marlune_options::replace);
    take(&marlune_options::placement);
    take(&marlune_options::durability);
    take(&marlune_options::progress);
    take(&marlune_options::progress_context);
    take(&marlune_options::salvage);
    return settings;
}

namespace {
bool tellCaller(std::uint64_t done, std::uint64_t total, void* context) {
    const auto* settings = static_cast<const marlune_options*>(context);
    return settings->progress(done, total, settings->progress_context) == 0;
}

}  // namespace

CopyRequest requestFrom(platform::Os& os, const marlune_options& settings, const char* source,
                        const char* destination) {
    CopyRequest request{os, source, destination};
    request.replace = settings.replace != 0;
    request.salvage = settings.salvage != 0;
    request.placement = settings.placement == MARLUNE_IN_PLACE ? Placement::inPlace : Placement::beside;
    request.durability = settings.durability == MARLUNE_DURABLE_NONE   ? Durability::asWritten
                         : settings.durability == MARLUNE_DURABLE_DATA ? Durability::data
                                                                       : Durability::dataAndName;
    if (settings.progress) request.progress = container::Progress{tellCaller, const_cast<marlune_options*>(&settings)};
    return request;
}

std::int32_t copyThrough(platform::Os& os, const char* source, const char* destination,
                         const marlune_options* options, marlune_report* report) {
    return reported(report, [&](marlune_report& filled) { return copy(os, source, destination, options, filled); });
}

std::int32_t convertThrough(platform::Os& os, const char* path, const marlune_options* options,
                            marlune_report* report) {
    return reported(report, [&](marlune_report& filled) { return convert(os, path, options, filled); });
}

std::int32_t judgeConvertThrough(platform::Os& os, const char* path, const marlune_options* options,
                                 marlune_report* report) {
    return reported(report, [&](marlune_report& filled) { return convert(os, path, options, filled, true); });
}

std::int32_t examineThrough(platform::Os& os, const char* path, marlune_report* report) {
    return reported(report, [&](marlune_report& filled) { return examineContainer(os, path, filled); });
}

std::int32_t removePartialThrough(platform::Os& os, const char* path, marlune_report* report) {
    return reported(report, [&](marlune_report& filled) { return removePartial(os, path, filled); });
}

}  // namespace marlune

using marlune::reported;

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy(const char* source, const char* destination,
                                                         const marlune_options* options, marlune_report* report) {
    return marlune::copyThrough(marlune::platform::unicodeOs(), source, destination, options, report);
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_convert(const char* path, const marlune_options* options,
                                                            marlune_report* report) {
    return marlune::convertThrough(marlune::platform::unicodeOs(), path, options, report);
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_judge_convert(const char* path, const marlune_options* options,
                                                                  marlune_report* report) {
    return marlune::judgeConvertThrough(marlune::platform::unicodeOs(), path, options, report);
}

extern "C" MARLUNE_API uint32_t MARLUNE_CALL marlune_kv_name(const char* path, char* name, uint32_t size) {
    if (!path) return 0;
    try {
        const std::string kv = marlune::destinationFor(path, 0);
        if (kv.size() >= UINT32_MAX) return 0;
        const auto needed = static_cast<uint32_t>(kv.size() + 1);
        if (name && size >= needed) std::memcpy(name, kv.c_str(), needed);
        return needed;
    } catch (...) {  // no memory for the name
        return 0;
    }
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_remove_partial(const char* path, marlune_report* report) {
    return marlune::removePartialThrough(marlune::platform::unicodeOs(), path, report);
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_examine(const char* path, marlune_report* report) {
    return marlune::examineThrough(marlune::platform::unicodeOs(), path, report);
}

extern "C" MARLUNE_API const char* MARLUNE_CALL marlune_status_text(int32_t status) {
    return marlune::statusText(status);
}

extern "C" MARLUNE_API const char* MARLUNE_CALL marlune_status_name(int32_t status) {
    return marlune::statusName(status);
}

extern "C" MARLUNE_API uint32_t MARLUNE_CALL marlune_status_class(int32_t status) {
    return marlune::statusClass(status);
}

extern "C" MARLUNE_API const char* MARLUNE_CALL marlune_version(void) {
    return MARLUNE_VERSION_TEXT;
}

#ifdef _WIN32
extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_copy_w(const wchar_t* source, const wchar_t* destination,
                                                           const marlune_options* options, marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        std::string from;
        std::string to;
        const char* source8 = nullptr;
        const char* destination8 = nullptr;
        if (!marlune::toUtf8(source, from, source8) || !marlune::toUtf8(destination, to, destination8)) {
            return MARLUNE_BAD_NAME;
        }
        return marlune::copy(marlune::platform::unicodeOs(), source8, destination8, options, filled);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_convert_w(const wchar_t* path, const marlune_options* options,
                                                              marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        std::string name;
        const char* path8 = nullptr;
        if (!marlune::toUtf8(path, name, path8)) return MARLUNE_BAD_NAME;
        return marlune::convert(marlune::platform::unicodeOs(), path8, options, filled);
    });
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_examine_w(const wchar_t* path, marlune_report* report) {
    return reported(report, [&](marlune_report& filled) -> std::int32_t {
        std::string name;
        const char* path8 = nullptr;
        if (!marlune::toUtf8(path, name, path8)) return MARLUNE_BAD_NAME;
        return marlune::examineContainer(marlune::platform::unicodeOs(), path8, filled);
    });
}
#endif

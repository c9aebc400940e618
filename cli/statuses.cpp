#include "statuses.h"

#include <cstring>

namespace marlune::cli {

namespace {

struct Entry {
    std::int32_t status;
    StatusFacts facts;
};

// Keyed by the library's statuses; a status not here failed in reading or writing.
constexpr Entry entries[] = {
    {MARLUNE_OK, {nullptr, nullptr, false}},
    {MARLUNE_ALREADY_CONVERTED, {nullptr, nullptr, false}},
    {MARLUNE_SALVAGED, {nullptr, nullptr, false}},
    {MARLUNE_FINISHED, {nullptr, nullptr, false}},
    {MARLUNE_NO_SOURCE_NAME, {"cannot-open", nullptr, false}},
    {MARLUNE_BAD_NAME, {"cannot-open", nullptr, false}},
    {MARLUNE_SOURCE_MISSING, {"cannot-open", nullptr, false}},
    {MARLUNE_SOURCE_UNREADABLE, {"cannot-open", nullptr, false}},
    {MARLUNE_SOURCE_NOT_A_FILE, {"cannot-open", nullptr, false}},
    {MARLUNE_NAMED_TWICE, {"cannot-open", nullptr, false}},
    {MARLUNE_TOO_MANY_FILES, {"cannot-open", nullptr, false}},
    {MARLUNE_SOURCE_CHANGED, {"changed-while-read", nullptr, false}},
    {MARLUNE_NOT_A_CONTAINER, {"wrong-magic", nullptr, true}},
    {MARLUNE_HEADER_CUT, {"header-cut", "header", true}},
    {MARLUNE_DATA_OFFSET_BELOW_HEADER, {"data-offset-below-82", nullptr, true}},
    {MARLUNE_PREAMBLE_CUT, {"data-offset-past-end", "preamble", true}},
    {MARLUNE_CHUNK_HEADER_CUT, {"chunk-header-cut", "chunk-header", false}},
    {MARLUNE_PAYLOAD_CUT, {"payload-cut", "payload", false}},
};

}  // namespace

StatusFacts factsOf(std::int32_t status) {
    for (const Entry& entry : entries) {
        if (entry.status == status) return entry.facts;
    }
    return {"read-failed", nullptr, false};
}

const char* cutPiece(std::int32_t status, const marlune_report& report) {
    if (status == MARLUNE_SALVAGED) return report.cut_offset == report.bytes_written ? "chunk-header" : "payload";
    return factsOf(status).cut;
}

std::string reasonOf(std::int32_t job, std::int32_t status, const marlune_report& report) {
    std::string text(marlune_report_reason(job, status, &report, nullptr, 0), '\0');
    marlune_report_reason(job, status, &report, text.data(), static_cast<std::uint32_t>(text.size()));
    text.pop_back();
    return text;
}

bool notOpened(std::int32_t status) {
    const char* problem = factsOf(status).problem;
    return problem != nullptr && std::strcmp(problem, "cannot-open") == 0;
}

marlune_report emptyReport() {
    marlune_report report{};
    report.size = sizeof report;
    return report;
}

}  // namespace marlune::cli

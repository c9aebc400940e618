#include "statuses.h"

#include <cstring>

namespace marlune::cli {

StatusFacts factsOf(std::int32_t status) {
    switch (status) {
        case MARLUNE_OK:
        case MARLUNE_ALREADY_CONVERTED:
        case MARLUNE_SALVAGED:
        case MARLUNE_FINISHED:
            return {nullptr, nullptr, false};
        case MARLUNE_NO_SOURCE_NAME:
        case MARLUNE_BAD_NAME:
        case MARLUNE_SOURCE_MISSING:
        case MARLUNE_SOURCE_UNREADABLE:
        case MARLUNE_SOURCE_NOT_A_FILE:
            return {"cannot-open", nullptr, false};
        case MARLUNE_SOURCE_CHANGED:
            return {"changed-while-read", nullptr, false};
        case MARLUNE_NOT_A_CONTAINER:
            return {"wrong-magic", nullptr, true};
        case MARLUNE_HEADER_CUT:
            return {"header-cut", "header", true};
        case MARLUNE_DATA_OFFSET_BELOW_HEADER:
            return {"data-offset-below-82", nullptr, true};
        case MARLUNE_PREAMBLE_CUT:
            return {"data-offset-past-end", "preamble", true};
        case MARLUNE_CHUNK_HEADER_CUT:
            return {"chunk-header-cut", "chunk-header", false};
        case MARLUNE_PAYLOAD_CUT:
            return {"payload-cut", "payload", false};
        default:
            return {"read-failed", nullptr, false};
    }
}

const char* cutPiece(std::int32_t status, const marlune_report& report) {
    if (status == MARLUNE_SALVAGED) return report.cut_offset == report.bytes_written ? "chunk-header" : "payload";
    return factsOf(status).cut;
}

std::string reasonOf(std::int32_t status, const marlune_report& report) {
    std::string text = marlune_status_text(status);
    if (cutPiece(status, report) != nullptr) {
        text += " (at offset " + std::to_string(report.cut_offset) + ", " + std::to_string(report.cut_missing) +
                " of " + std::to_string(report.cut_size) + " bytes missing)";
    }
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

#include "records/fields.h"

#include <algorithm>

#include "boundary/operations.h"
#include "records/text.h"
#include "run/job_policy.h"

namespace marlune::records {
namespace {

constexpr std::uint32_t magicSize = 4;
constexpr std::uint64_t headerSize = 82;

// The records' words for a status; what the status means is the library's table.
struct StatusFacts {
    const char* problem;  // the examination's kind of problem; null for a whole container
    const char* cut;      // the piece cut short; null for none
};

struct FactsEntry {
    std::int32_t status;
    StatusFacts facts;
};

// A status not here failed in reading or writing.
constexpr FactsEntry factsTable[] = {
    {MARLUNE_OK, {nullptr, nullptr}},
    {MARLUNE_ALREADY_CONVERTED, {nullptr, nullptr}},
    {MARLUNE_SALVAGED, {nullptr, nullptr}},
    {MARLUNE_FINISHED, {nullptr, nullptr}},
    {MARLUNE_RUN_COPY_ROTTED, {nullptr, nullptr}},
    {MARLUNE_NO_SOURCE_NAME, {"cannot-open", nullptr}},
    {MARLUNE_BAD_NAME, {"cannot-open", nullptr}},
    {MARLUNE_SOURCE_MISSING, {"cannot-open", nullptr}},
    {MARLUNE_SOURCE_UNREADABLE, {"cannot-open", nullptr}},
    {MARLUNE_SOURCE_NOT_A_FILE, {"cannot-open", nullptr}},
    {MARLUNE_NAMED_TWICE, {"cannot-open", nullptr}},
    {MARLUNE_TOO_MANY_FILES, {"cannot-open", nullptr}},
    {MARLUNE_SOURCE_CHANGED, {"changed-while-read", nullptr}},
    {MARLUNE_NOT_A_CONTAINER, {"wrong-magic", nullptr}},
    {MARLUNE_HEADER_CUT, {"header-cut", "header"}},
    {MARLUNE_DATA_OFFSET_BELOW_HEADER, {"data-offset-below-82", nullptr}},
    {MARLUNE_PREAMBLE_CUT, {"data-offset-past-end", "preamble"}},
    {MARLUNE_CHUNK_HEADER_CUT, {"chunk-header-cut", "chunk-header"}},
    {MARLUNE_PAYLOAD_CUT, {"payload-cut", "payload"}},
};

StatusFacts factsOf(std::int32_t status) {
    for (const FactsEntry& entry : factsTable) {
        if (entry.status == status) return entry.facts;
    }
    return {"read-failed", nullptr};
}

class Builder {
public:
    Builder& text(const char* key, const std::string& value) { return add(key, Field::Kind::text, value); }
    Builder& textOrNull(const char* key, bool known, const std::string& value) {
        return add(key, known ? Field::Kind::text : Field::Kind::null, known ? value : "");
    }
    Builder& number(const char* key, std::uint64_t value) {
        return add(key, Field::Kind::number, std::to_string(value));
    }
    Builder& numberOrNull(const char* key, bool known, std::int64_t value) {
        return add(key, known ? Field::Kind::number : Field::Kind::null, known ? std::to_string(value) : "");
    }
    Builder& boolean(const char* key, bool value) { return add(key, Field::Kind::boolean, value ? "true" : "false"); }
    std::vector<Field> fields;

private:
    Builder& add(const char* key, Field::Kind kind, std::string value) {
        fields.push_back({key, kind, std::move(value)});
        return *this;
    }
};

std::string magicText(const marlune_report& report, bool hex) {
    std::string text;
    for (std::uint32_t i = 0; i < std::min(report.header_bytes, magicSize); ++i) {
        const auto byte = static_cast<unsigned char>(report.magic[i]);
        const char digits[] = {"0123456789abcdef"[byte >> 4u], "0123456789abcdef"[byte & 15u], 0};
        if (hex) {
            text += digits;
        } else if (byte >= 0x20 && byte < 0x7F && byte != '\\' && byte != '"') {
            text += static_cast<char>(byte);
        } else {
            text += std::string("\\x") + digits;
        }
    }
    return text;
}

// What an examination found, field by field; "problem.*" null for a whole container.
void examination(Builder& out, const marlune_run_result& result, const marlune_report& report) {
    const std::int32_t status = result.status;
    const StatusFacts facts = factsOf(status);
    const bool opened = !statusIs(status, MARLUNE_CLASS_NOT_OPENED);
    const bool beforeChunks = statusIs(status, MARLUNE_CLASS_BEFORE_CHUNKS);
    const bool header = report.header_bytes == headerSize && status != MARLUNE_NOT_A_CONTAINER;
    const bool walked = status == MARLUNE_OK || (facts.cut && !beforeChunks);
    const bool magicRead = opened && report.header_bytes >= magicSize;
    const bool preamble = header && report.data_offset >= headerSize;
    out.boolean("complete", status == MARLUNE_OK).numberOrNull("size", opened, std::int64_t(report.source_bytes));
    out.textOrNull("magic", magicRead, magicText(report, false))
        .textOrNull("magicHex", magicRead, magicText(report, true));
    out.numberOrNull("lengthMode", header, report.length_mode);
    out.textOrNull("chunkLengths", header, report.length_mode <= 0 ? "fixed" : "per-chunk");
    out.numberOrNull("dataOffset", header, std::int64_t(report.data_offset));
    out.numberOrNull("preambleBytes", preamble, std::int64_t(report.data_offset - headerSize));
    out.numberOrNull("chunks", walked, std::int64_t(report.chunks));
    out.numberOrNull("payloadBytes", walked, std::int64_t(report.payload_bytes));
    out.numberOrNull("lengthFieldsToRewrite", walked, std::int64_t(report.length_fields_set));
    const bool problem = facts.problem != nullptr;
    const bool cut = problem && facts.cut != nullptr;
    out.textOrNull("problem.kind", problem, problem ? facts.problem : "");
    out.textOrNull("problem.message", problem, result.reason ? result.reason : "");
    out.numberOrNull("problem.offset", cut, std::int64_t(report.cut_offset));
    out.numberOrNull("problem.expectedBytes", cut, std::int64_t(report.cut_size));
    out.numberOrNull("problem.missingBytes", cut, std::int64_t(report.cut_missing));
    out.numberOrNull("problem.chunk", cut && !beforeChunks, std::int64_t(report.chunk_number));
}

const std::string* problemPrefix(const std::string& key) {
    static const std::string prefix = "problem.";
    return key.compare(0, prefix.size(), prefix) == 0 ? &prefix : nullptr;
}

std::string jsonValue(const Field& field) {
    switch (field.kind) {
        case Field::Kind::null:
            return "null";
        case Field::Kind::text:
            return jsonString(field.value);
        default:
            return field.value;
    }
}

}  // namespace

const char* cutPieceOf(std::int32_t status, const marlune_report& report) {
    if (status == MARLUNE_SALVAGED) return report.cut_offset == report.bytes_written ? "chunk-header" : "payload";
    return factsOf(status).cut;
}

bool isDamaged(std::int32_t status) {
    return statusIs(status, MARLUNE_CLASS_DAMAGED);
}

std::vector<Field> recordFields(const RecordKind& kind, const marlune_run_result& result) {
    marlune_report report{};
    if (result.report) report = *result.report;
    const bool judged = result.status != MARLUNE_RUN_FOLDER_UNREADABLE;
    const char* piece = judged ? cutPieceOf(result.status, report) : nullptr;
    const bool cut = piece != nullptr;
    const std::string file = result.path ? result.path : "";
    const char* outcome = marlune_outcome_name(result.outcome);
    const bool writes = run::policyOf(kind.job, kind.flags).writes;
    Builder out;
    out.text("record", "file").text("command", kind.command).text("file", file);
    const bool utf8 = isUtf8(file);
    out.textOrNull("fileBytes", !utf8, utf8 ? std::string() : base64(file));
    out.textOrNull("destination", result.destination != nullptr, result.destination ? result.destination : "");
    out.text("outcome", outcome ? outcome : "");
    const char* status = marlune_status_name(result.status);
    out.textOrNull("status", judged, status ? status : "").numberOrNull("statusCode", judged, result.status);
    out.text("reason", result.reason ? result.reason : "");
    out.numberOrNull("systemError", true, judged ? report.system_error : 0);
    out.textOrNull("cutPiece", cut, cut ? piece : "");
    out.numberOrNull("cutOffset", cut, std::int64_t(report.cut_offset));
    out.numberOrNull("cutExpectedBytes", cut, std::int64_t(report.cut_size));
    out.numberOrNull("cutMissingBytes", cut, std::int64_t(report.cut_missing));
    out.numberOrNull("chunk", cut && report.chunk_number != 0, std::int64_t(report.chunk_number));
    out.number("bytesIn", judged ? report.source_bytes : 0)
        .number("bytesOut", judged && writes ? report.bytes_written : 0);
    if (kind.job == MARLUNE_JOB_EXAMINE) examination(out, result, report);
    if (kind.job == MARLUNE_JOB_SALVAGE) {
        const bool kept = result.status == MARLUNE_OK || result.status == MARLUNE_SALVAGED;
        const bool lost = result.status == MARLUNE_SALVAGED;
        out.numberOrNull("chunksKept", kept, std::int64_t(report.chunks));
        // A dry run made no copy that could lack anything.
        out.numberOrNull("lostFromOffset", lost && writes, std::int64_t(report.bytes_written));
        out.numberOrNull("lostBytes", kept && writes,
                         lost ? std::int64_t(report.source_bytes - report.bytes_written) : 0);
    }
    if (kind.job == MARLUNE_JOB_CONVERT) {
        const bool taken = result.status == MARLUNE_RUN_COLLISION || result.status == MARLUNE_NAMED_TWICE;
        out.textOrNull("takenBy", taken && result.other, taken && result.other ? result.other : "");
    }
    return std::move(out.fields);
}

std::string jsonRecord(const std::vector<Field>& fields) {
    std::string out = "{";
    bool problemOpen = false;
    bool problemNull = false;
    for (const Field& field : fields) {
        const std::string* prefix = problemPrefix(field.key);
        if (prefix && problemNull) continue;
        if (field.key == "fileBytes" && field.kind == Field::Kind::null) continue;  // only for names not UTF-8
        if (!prefix && problemOpen) {
            out += "}";
            problemOpen = false;
        }
        if (out.size() > 1 && out.back() != '{') out += ", ";
        if (prefix && !problemOpen) {
            // A whole container has no problem: null, not an object of nulls.
            if (field.kind == Field::Kind::null) {
                out += "\"problem\": null";
                problemNull = true;
                continue;
            }
            out += "\"problem\": {";
            problemOpen = true;
        }
        out += jsonString(prefix ? field.key.substr(prefix->size()) : field.key) + ": " + jsonValue(field);
    }
    return out + (problemOpen ? "}}" : "}");
}

std::string csvHeader(const std::vector<Field>& fields) {
    std::string out;
    for (const Field& field : fields) out += (out.empty() ? "" : ",") + csvField(field.key);
    return out + "\r\n";
}

std::string csvRow(const std::vector<Field>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i != 0) out += ',';
        // Numbers the run writes stay numbers (a lengthMode of -1); text may be a name.
        const std::string value = readableUtf8(fields[i].value);
        out += fields[i].kind == Field::Kind::text ? csvTextField(value) : csvField(value);
    }
    return out + "\r\n";
}

}  // namespace marlune::records

// A file's record: one list of fields, which the JSON object and the CSV row
// both are made from, so that they cannot differ.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "marlune.h"

namespace marlune::records {

struct Field {
    enum class Kind { null, text, number, boolean };
    std::string key;  // "problem.kind": a member of the object "problem"
    Kind kind = Kind::null;
    std::string value;
};

// What the records know of the run.
struct RecordKind {
    std::int32_t job = MARLUNE_JOB_EXAMINE;
    std::uint32_t flags = 0;
    std::string command;
};

// The piece a container cut short lacks part of ("payload"); null for none.
const char* cutPieceOf(std::int32_t status, const marlune_report& report);
bool isDamaged(std::int32_t status);

std::vector<Field> recordFields(const RecordKind& kind, const marlune_run_result& result);
std::string jsonRecord(const std::vector<Field>& fields);
std::string csvHeader(const std::vector<Field>& fields);
std::string csvRow(const std::vector<Field>& fields);

}  // namespace marlune::records

// The records' exported functions: options read as far as their size says,
// and nothing thrown past them.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "marlune.h"
#include "records/records.h"
#include "records/text.h"

struct marlune_records {
    marlune::records::Records records;
};

namespace {

// Into `text` when `size` holds it with its null; the bytes it takes with that null.
std::uint32_t copied(const std::string& value, char* text, std::uint32_t size) {
    const std::size_t needed = value.size() + 1;
    if (text && size >= needed) std::memcpy(text, value.c_str(), needed);
    return static_cast<std::uint32_t>(std::min<std::size_t>(needed, UINT32_MAX));
}

}  // namespace

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_records_open(const marlune_records_options* options,
                                                                 marlune_records** records) {
    if (!records) return MARLUNE_BAD_NAME;
    *records = nullptr;
    try {
        marlune_records_options given{};
        if (options) std::memcpy(&given, options, std::min<std::size_t>(options->size, sizeof given));
        given.size = options ? std::min<std::uint32_t>(options->size, sizeof given) : 0;
        auto made = std::make_unique<marlune_records>();
        const std::int32_t status = made->records.open(given);
        if (status != MARLUNE_OK) return status;
        *records = made.release();
        return MARLUNE_OK;
    } catch (...) {
        return MARLUNE_OUT_OF_MEMORY;
    }
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_records_add(marlune_records* records,
                                                                const marlune_run_result* result) {
    if (!records || !result) return MARLUNE_BAD_NAME;
    try {
        return records->records.add(*result);
    } catch (...) {
        return MARLUNE_OUT_OF_MEMORY;
    }
}

extern "C" MARLUNE_API int32_t MARLUNE_CALL marlune_records_close(marlune_records* records,
                                                                  const marlune_run_tally* tally) {
    if (!records) return MARLUNE_OK;
    std::int32_t status = MARLUNE_OUT_OF_MEMORY;
    try {
        status = records->records.close(tally);
    } catch (...) {
    }
    delete records;
    return status;
}

extern "C" MARLUNE_API uint32_t MARLUNE_CALL marlune_records_json(const marlune_records* records,
                                                                  const marlune_run_result* result, char* text,
                                                                  uint32_t size) {
    if (!records || !result) return copied("", text, size);
    try {
        return copied(records->records.json(*result), text, size);
    } catch (...) {
        return copied("", text, size);
    }
}

extern "C" MARLUNE_API uint32_t MARLUNE_CALL marlune_records_field(const marlune_records* records,
                                                                   const marlune_run_result* result, const char* key,
                                                                   char* text, uint32_t size) {
    if (!records || !result || !key) return 0;
    try {
        std::string value;
        return records->records.field(*result, key, value) ? copied(value, text, size) : 0;
    } catch (...) {
        return 0;
    }
}

extern "C" MARLUNE_API uint32_t MARLUNE_CALL marlune_records_summary_json(const marlune_records* records,
                                                                          const marlune_run_tally* tally,
                                                                          int32_t cancelled, char* text,
                                                                          uint32_t size) {
    if (!records) return copied("", text, size);
    try {
        return copied(records->records.summaryJson(tally, cancelled != 0), text, size);
    } catch (...) {
        return copied("", text, size);
    }
}

extern "C" MARLUNE_API uint32_t MARLUNE_CALL marlune_name_escaped(const char* name, char* text, uint32_t size) {
    try {
        return copied(marlune::records::shellEscaped(name ? name : ""), text, size);
    } catch (...) {
        return copied("", text, size);
    }
}

// The run engine's exported functions: nothing thrown past them.
#include "marlune.h"

extern "C" {

MARLUNE_API int32_t MARLUNE_CALL marlune_run_open(const marlune_run_options*, marlune_run** run) {
    if (run) *run = nullptr;
    return MARLUNE_RUN_BAD_STATE;
}
MARLUNE_API int32_t MARLUNE_CALL marlune_run_add(marlune_run*, const char*, const char*) {
    return MARLUNE_RUN_BAD_STATE;
}
MARLUNE_API int32_t MARLUNE_CALL marlune_run_start(marlune_run*) {
    return MARLUNE_RUN_BAD_STATE;
}
MARLUNE_API int32_t MARLUNE_CALL marlune_run_next(marlune_run*, marlune_run_result*, int32_t) {
    return MARLUNE_RUN_ENDED;
}
MARLUNE_API void MARLUNE_CALL marlune_run_counts(marlune_run*, marlune_run_tally*) {}
MARLUNE_API void MARLUNE_CALL marlune_run_cancel(marlune_run*) {}
MARLUNE_API void MARLUNE_CALL marlune_run_close(marlune_run*) {}
MARLUNE_API int32_t MARLUNE_CALL marlune_run_plan_next(marlune_run*, char*, uint32_t, uint32_t*) {
    return MARLUNE_RUN_ENDED;
}
MARLUNE_API uint32_t MARLUNE_CALL marlune_step_files(const char*, uint32_t) {
    return 0;
}
MARLUNE_API int32_t MARLUNE_CALL marlune_run_step(const char*, uint32_t, marlune_run_result*, uint32_t) {
    return MARLUNE_RUN_BAD_STATE;
}
MARLUNE_API uint32_t MARLUNE_CALL marlune_report_reason(int32_t, const marlune_report*, char*, uint32_t) {
    return 0;
}

}  // extern "C"

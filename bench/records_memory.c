/* The records' memory against the number of files: N results (a third cut
   short, some suspects) recorded with every file on (log, lists, CSV, page),
   and the process's peak resident size printed. Run it for several N: the peak
   should not grow with N.

     records_memory FOLDER N */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>

#include "marlune.h"

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: records_memory FOLDER N\n");
        return 2;
    }
    const unsigned long files = strtoul(argv[2], NULL, 10);
    char log[4096], failed[4096], suspects[4096], csv[4096], html[4096];
    snprintf(log, sizeof log, "%s/bench.log", argv[1]);
    snprintf(failed, sizeof failed, "%s/bench.failed", argv[1]);
    snprintf(suspects, sizeof suspects, "%s/bench.suspects", argv[1]);
    snprintf(csv, sizeof csv, "%s/bench.csv", argv[1]);
    snprintf(html, sizeof html, "%s/bench.html", argv[1]);
    marlune_records_options options = {sizeof options};
    options.job = MARLUNE_JOB_EXAMINE;
    options.command = "info";
    options.log = log;
    options.log_all = 1;
    options.failed_list = failed;
    options.suspect_list = suspects;
    options.csv = csv;
    options.html = html;
    marlune_records *records = NULL;
    if (marlune_records_open(&options, &records) != MARLUNE_OK) return 1;
    for (unsigned long i = 0; i < files; ++i) {
        char name[64];
        snprintf(name, sizeof name, "archive/tape%04lu/take%06lu.snd", i / 1000, i);
        marlune_report report = {sizeof report};
        report.source_bytes = 1000 + (i % 5000) * 338;
        marlune_run_result result = {sizeof result};
        result.index = i;
        result.path = name;
        result.report = &report;
        result.reason = "complete container";
        result.outcome = MARLUNE_OUTCOME_COMPLETE;
        if (i % 3 == 0) {
            result.status = MARLUNE_PAYLOAD_CUT;
            result.outcome = MARLUNE_OUTCOME_FAILED;
            result.reason = "incomplete";
            report.cut_offset = report.source_bytes - 100;
            report.cut_size = 330;
            report.cut_missing = 230;
        } else if (i % 97 == 0) {
            result.status = MARLUNE_NOT_A_CONTAINER;
            result.outcome = MARLUNE_OUTCOME_SUSPECT;
        }
        if (marlune_records_add(records, &result) != MARLUNE_OK) return 1;
    }
    if (marlune_records_close(records, NULL) != MARLUNE_OK) return 1;
    struct rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    printf("%10lu files recorded: peak resident %ld KiB\n", files, usage.ru_maxrss);
    return 0;
}

/* Prints where every field of the two structs lies, as this machine's C
   compiler lays them out from marlune.h; hosts_test.py compares the lines with
   the layout tables of docs/hosts/README.md. */
#include <stddef.h>
#include <stdio.h>

#include "marlune.h"

#define FIELD(type, field) \
    printf("%s.%s %u %u\n", #type, #field, (unsigned)offsetof(type, field), (unsigned)sizeof(((type *)0)->field))

int main(void) {
    printf("marlune_report %u\n", (unsigned)sizeof(marlune_report));
    FIELD(marlune_report, size);
    FIELD(marlune_report, status);
    FIELD(marlune_report, system_error);
    FIELD(marlune_report, reserved);
    FIELD(marlune_report, cut_offset);
    FIELD(marlune_report, cut_size);
    FIELD(marlune_report, cut_missing);
    FIELD(marlune_report, chunk_number);
    FIELD(marlune_report, magic);
    FIELD(marlune_report, length_mode);
    FIELD(marlune_report, data_offset);
    FIELD(marlune_report, header_bytes);
    FIELD(marlune_report, source_bytes);
    FIELD(marlune_report, chunks);
    FIELD(marlune_report, payload_bytes);
    FIELD(marlune_report, length_fields_set);
    FIELD(marlune_report, bytes_written);
    printf("marlune_options %u\n", (unsigned)sizeof(marlune_options));
    FIELD(marlune_options, size);
    FIELD(marlune_options, replace);
    FIELD(marlune_options, placement);
    FIELD(marlune_options, durability);
    FIELD(marlune_options, progress);
    FIELD(marlune_options, progress_context);
    FIELD(marlune_options, salvage);
    FIELD(marlune_options, reserved);
    return 0;
}

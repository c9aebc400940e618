/* The C form of the calls every host's check program makes, in the same order
   and printing the same lines: hosts_test.py holds the other hosts' output
   against this one's, run on the same machine against the same library. */
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#endif

#include "marlune.h"

static void print_report(const char *what, const marlune_report *r) {
    printf("%s: size=%u status=%d system_error=%d reserved=%u cut_offset=%llu cut_size=%llu"
           " cut_missing=%llu chunk_number=%llu magic=%02x%02x%02x%02x length_mode=%d data_offset=%u"
           " header_bytes=%u source_bytes=%llu chunks=%llu payload_bytes=%llu length_fields_set=%llu"
           " bytes_written=%llu\n",
           what, r->size, r->status, r->system_error, r->reserved, (unsigned long long)r->cut_offset,
           (unsigned long long)r->cut_size, (unsigned long long)r->cut_missing,
           (unsigned long long)r->chunk_number, (unsigned char)r->magic[0], (unsigned char)r->magic[1],
           (unsigned char)r->magic[2], (unsigned char)r->magic[3], r->length_mode, r->data_offset,
           r->header_bytes, (unsigned long long)r->source_bytes, (unsigned long long)r->chunks,
           (unsigned long long)r->payload_bytes, (unsigned long long)r->length_fields_set,
           (unsigned long long)r->bytes_written);
}

/* A report the library must overwrite everywhere. */
static void fresh(marlune_report *r) {
    memset(r, 0x5a, sizeof *r);
    r->size = sizeof *r;
}

static int calls;
static uint64_t last_done, last_total;
static int context_same;
static int marker;

static int32_t MARLUNE_CALL count(uint64_t done, uint64_t total, void *context) {
    calls++;
    last_done = done;
    last_total = total;
    context_same = context == &marker;
    return 0;
}

static int32_t MARLUNE_CALL cancel(uint64_t done, uint64_t total, void *context) {
    (void)done; (void)total; (void)context;
    calls++;
    return 1;
}

int main(void) {
    marlune_report r;
    printf("version %s\n", marlune_version());
    printf("text 51 %s\n", marlune_status_text(51));
    printf("text 12345 %s\n", marlune_status_text(12345));
    printf("name %d %s\n", (int)MARLUNE_PAYLOAD_CUT, marlune_status_name(MARLUNE_PAYLOAD_CUT));
    printf("name %d %s\n", (int)MARLUNE_OUT_OF_MEMORY, marlune_status_name(MARLUNE_OUT_OF_MEMORY));
    printf("name 12345 %s\n", marlune_status_name(12345));

    fresh(&r);
    printf("examine good: %d\n", marlune_examine("good.snd", &r));
    print_report("report", &r);
    fresh(&r);
    printf("examine cut: %d\n", marlune_examine("cut.snd", &r));
    print_report("report", &r);

    marlune_options o;
    memset(&o, 0, sizeof o);
    o.size = sizeof o;
    o.replace = 1;
    o.placement = MARLUNE_IN_PLACE;
    o.durability = MARLUNE_DURABLE_DATA;
    o.progress = count;
    o.progress_context = &marker;
    fresh(&r);
    printf("copy good out.kv: %d\n", marlune_copy("good.snd", "out.kv", &o, &r));
    print_report("report", &r);
    printf("progress: calls=%s last=%llu/%llu context=%s\n", calls > 0 ? "some" : "none",
           (unsigned long long)last_done, (unsigned long long)last_total, context_same ? "same" : "other");

    o.replace = 0;
    o.placement = MARLUNE_BESIDE;
    o.progress = NULL;
    o.progress_context = NULL;
    fresh(&r);
    /* A host's runtime leaves some error code behind: a call that fails with no
       failing system call must not report it. */
#ifdef _WIN32
    SetLastError(ERROR_ACCESS_DENIED);
#else
    errno = EBADF;
#endif
    printf("copy good out.kv kept: %d\n", marlune_copy("good.snd", "out.kv", &o, &r));
    print_report("report", &r);

    o.replace = 1;
    o.progress = cancel;
    calls = 0;
    fresh(&r);
    int32_t status = marlune_copy("good.snd", "cancel.kv", &o, &r);
    printf("copy good cancel.kv: %d calls=%d\n", status, calls);
    print_report("report", &r);

    printf("copy utf-8: %d\n", marlune_copy("n\xc3\xa4me-\xe2\x82\xac.snd", "n\xc3\xa4me-\xe2\x82\xac.kv", NULL, NULL));
    fresh(&r);
    printf("convert take: %d\n", marlune_convert("take.snd", NULL, &r));
    print_report("report", &r);
    printf("convert take.kv: %d\n", marlune_convert("take.kv", NULL, NULL));

    int32_t show = 0;
    printf("KVRBinfo good old.kv: %d\n", KVRBinfo("good.snd", "old.kv", 0));
    printf("KVRBinfo cut old-cut.kv: %d\n", KVRBinfo("cut.snd", "old-cut.kv", 0));
    printf("IKVRBinfo null old.snd: %d\n", IKVRBinfo(0, NULL, "old.snd"));
    printf("IKVRBinfo 0 cut.snd: %d\n", IKVRBinfo(0, &show, "cut.snd"));

#ifdef _WIN32
    fresh(&r);
    printf("copy_w: %d\n", marlune_copy_w(L"w\x00e4" L"de-\x20ac.snd", L"w\x00e4" L"de-\x20ac.kv", NULL, &r));
    print_report("report", &r);
    fresh(&r);
    printf("examine_w cut: %d\n", marlune_examine_w(L"cut.snd", &r));
    print_report("report", &r);
    printf("convert_w: %d\n", marlune_convert_w(L"w\x00e4" L"de-\x20ac.kv", NULL, NULL));
    printf("convert_w take2: %d\n", marlune_convert_w(L"take2.snd", NULL, NULL));
#endif
    return 0;
}

/* Ah engine: scans files against the ClamAV signature databases of one base directory. */
#ifndef AVCORE_H
#define AVCORE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct avcore_engine avcore_engine;

/* Lent by the caller to every scan of one run; zeroed by the caller at the start of a run. */
typedef struct avcore_scan_context
{
    int32_t files_scanned;
    int16_t last_status;
} avcore_scan_context;

/* Filled by avcore_scan_file. The caller reserves the whole record and clears it first. */
typedef struct avcore_result
{
    int32_t reserved;
    int32_t status; /* 0 clean, 1 virus found, -1 the file could not be scanned */
    char virus_name[272];
} avcore_result;

/* Returns NULL when the directory holds no signature that loads. `flags` is kept for callers
 * that pass one; no flag is defined. */
avcore_engine *avcore_create_engine(int32_t flags, const char *base_dir);
/* "archive-max-size" (bytes) and "archive-max-level" (nesting depth). 0 on success. */
int avcore_set_option(avcore_engine *engine, const char *name, const int32_t *value);
/* Non-zero when a virus was found; its name is then in result->virus_name. */
uint8_t avcore_scan_file(avcore_engine *engine, const char *path, avcore_scan_context *context,
                         avcore_result *result);
/* As avcore_scan_file, on a regular file that the caller opened and keeps: the engine reads it
 * through `fd` from its start and never opens anything by name. `name` is used in messages only
 * and may be NULL. */
uint8_t avcore_scan_fd(avcore_engine *engine, int fd, const char *name,
                       avcore_scan_context *context, avcore_result *result);
void avcore_destroy_engine(avcore_engine *engine);

#ifdef __cplusplus
}
#endif

#endif

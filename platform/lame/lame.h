/* Ris engine: scans files against one database of YARA rules, source or compiled. */
#ifndef LAME_H
#define LAME_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lam_virdb lam_virdb;
typedef struct lam_engine lam_engine;

/* Filled by lam_engine_scan_a. The caller reserves the whole record and clears it first. */
typedef struct lam_result
{
    int32_t status; /* 0 clean, 1 virus found, -1 the file could not be scanned */
    char reserved[128];
    char virus_name[308];
} lam_result;

/* Returns NULL when the file cannot be read or holds no rule. */
lam_virdb *lam_virdb_open(const char *path);
lam_engine *lam_engine_new(lam_virdb *virdb);
int lam_engine_init(lam_engine *engine);
/* `path` is UTF-8 or, for names that are not, the bytes of the name as they stand. */
int lam_engine_scan_a(lam_engine *engine, const char *path, lam_result *result);
/* As lam_engine_scan_a, on a regular file that the caller opened and keeps: the engine reads it
 * through `fd` and never opens anything by name. */
int lam_engine_scan_fd(lam_engine *engine, int fd, lam_result *result);
void lam_engine_close(lam_engine *engine);
void lam_virdb_close(lam_virdb *virdb);

#ifdef __cplusplus
}
#endif

#endif

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

/* Where load messages go (level 0 info, 1 warning), the compiler's among them. Set once, before
 * the first load; without it they go to standard error. Also initialises the library (and the
 * OpenSSL under it) in the calling thread, which should be one that lives as long as the
 * process: OpenSSL keeps some state of the thread that initialises it until the end. */
typedef void (*lam_log_fn)(int32_t level, const char *message, void *user);
void lam_set_log_callback(lam_log_fn callback, void *user);
/* Compiles the rules of `path` anew when the file changed since the last load (or none was
 * loaded), beside the rules in use, and then makes databases opened afterwards use them.
 * 1 new rules are in use, 0 nothing changed, -1 nothing loads (opening then fails). */
int lam_virdb_reload(const char *path);
/* 1 when the file was replaced or edited since the rules in use were loaded, or none were. */
int lam_virdb_changed(const char *path);

/* Uses the rules last loaded from `path`, and loads them first if none were (waiting for a load
 * in progress); does not look for changes: see lam_virdb_reload. Returns NULL when the file
 * cannot be read or holds no rule. Rule sources may use the external variables filename,
 * filepath, extension, filetype and owner; every scan sets them for its file. */
lam_virdb *lam_virdb_open(const char *path);
lam_engine *lam_engine_new(lam_virdb *virdb);
int lam_engine_init(lam_engine *engine);
/* `path` is UTF-8 or, for names that are not, the bytes of the name as they stand. */
int lam_engine_scan_a(lam_engine *engine, const char *path, lam_result *result);
/* As lam_engine_scan_a, on a regular file that the caller opened and keeps: the engine reads it
 * through `fd` and never opens anything by name; `name` only feeds the rules' file externals. */
int lam_engine_scan_fd(lam_engine *engine, int fd, const char *name, lam_result *result);
void lam_engine_close(lam_engine *engine);
void lam_virdb_close(lam_virdb *virdb);

#ifdef __cplusplus
}
#endif

#endif

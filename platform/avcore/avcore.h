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

/* Where load messages go (level 0 info, 1 warning): each database file that fails to load, with
 * libclamav's message. Set once, before the first load; without it they go to standard error.
 * Also initialises libclamav (and the OpenSSL under it) in the calling thread, which should be
 * one that lives as long as the process: OpenSSL keeps some state of the thread that initialises
 * it until the end. */
typedef void (*avcore_log_fn)(int32_t level, const char *message, void *user);
void avcore_set_log_callback(avcore_log_fn callback, void *user);
/* The engine of `base_dir` loads the databases of `extra_dir` too. Call before the first load. */
int avcore_add_database_dir(const char *base_dir, const char *extra_dir);
/* Builds the signatures of `base_dir` anew when its database files changed since the last load
 * (or none was loaded), beside the set in use, and then makes engines created afterwards use
 * it. Engines created before keep theirs. 1 a new set is in use, 0 nothing changed, -1 nothing
 * loads (engines can then not be created). Files that fail to load are skipped and logged. */
int avcore_reload_databases(const char *base_dir);
/* 1 when a database file of `base_dir` was added, removed, replaced or edited since the set in
 * use was loaded, or none was loaded; 0 otherwise. Cheap: reads the directories only. */
int avcore_databases_changed(const char *base_dir);

/* Uses the signatures last loaded for the directory, and loads them first if none were (waiting
 * for a load in progress). Does not look for changes: see avcore_reload_databases. Returns NULL
 * when the directory holds no signature that loads. `flags` is kept for callers that pass one;
 * no flag is defined. */
avcore_engine *avcore_create_engine(int32_t flags, const char *base_dir);
/* "archive-max-size" (bytes unpacked and scanned from a file's archives, the file itself not
 * counted) and "archive-max-level" (archives nested in one another). 0 on success. */
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

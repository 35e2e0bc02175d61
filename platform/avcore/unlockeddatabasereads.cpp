// libclamav opens the database files itself, so the only place to reach its streams is fopen:
// this library defines fopen and fopen64, which the programs that link it find before the C
// library's, and passes every call on to the C library's own. Only a stream of the file in the
// scope, opened for reading on the thread that set the scope, is marked; every other call is
// left exactly as the C library made it. Where the definitions are not the ones found (a
// program that loads this library later), nothing is marked and loads are as slow as before.
// Besides the thread that reads it, only fflush(NULL) and exit look at every stream; neither is
// called while a load runs (the service joins the loader thread before it returns from main).
#include "unlockeddatabasereads.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dlfcn.h>
#include <stdio_ext.h>

namespace {

thread_local const char *databaseInLoad = nullptr;

using OpenFunction = FILE *(*)(const char *, const char *);

OpenFunction nextDefinition(const char *name)
{
    return reinterpret_cast<OpenFunction>(::dlsym(RTLD_NEXT, name));
}

bool readsOnly(const char *mode)
{
    return mode && mode[0] == 'r' && !std::strchr(mode, '+');
}

FILE *openAndMark(OpenFunction open, const char *path, const char *mode)
{
    if (!open) {
        errno = ENOSYS;
        return nullptr;
    }
    FILE *stream = open(path, mode);
    if (stream && databaseInLoad && path && std::strcmp(path, databaseInLoad) == 0 &&
        readsOnly(mode))
        __fsetlocking(stream, FSETLOCKING_BYCALLER);
    return stream;
}

} // namespace

extern "C" {

__attribute__((visibility("default"))) FILE *fopen(const char *__restrict path,
                                                   const char *__restrict mode)
{
    static const OpenFunction next = nextDefinition("fopen");
    return openAndMark(next, path, mode);
}

__attribute__((visibility("default"))) FILE *fopen64(const char *__restrict path,
                                                     const char *__restrict mode)
{
    static const OpenFunction next = nextDefinition("fopen64");
    return openAndMark(next, path, mode);
}

} // extern "C"

namespace avcore {

UnlockedDatabaseReads::UnlockedDatabaseReads(const char *path) : outer(databaseInLoad)
{
    databaseInLoad = path;
}

UnlockedDatabaseReads::~UnlockedDatabaseReads()
{
    databaseInLoad = outer;
}

} // namespace avcore

// Reading a database file without stdio's per-call lock while libclamav loads it.
#pragma once

namespace avcore {

// libclamav reads a database file a character at a time (getc and feof for every byte), and
// glibc locks the stream for each of those calls once the process has a second thread: a load
// in the service took two and a half times as long as in a single-threaded program. While an
// object of this class lives, the streams that this thread opens for reading on exactly `path`
// are marked FSETLOCKING_BYCALLER. Use it only around a cl_load of that file: the streams
// libclamav opens there are its own, read and closed within the call, which starts no thread,
// so no other thread ever holds one of them and the lock guards nothing.
class UnlockedDatabaseReads
{
public:
    explicit UnlockedDatabaseReads(const char *path);
    ~UnlockedDatabaseReads();
    UnlockedDatabaseReads(const UnlockedDatabaseReads &) = delete;
    UnlockedDatabaseReads &operator=(const UnlockedDatabaseReads &) = delete;

private:
    const char *const outer;
};

} // namespace avcore

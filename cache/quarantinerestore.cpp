#include "cache/quarantinerestore.h"

#include "cache/fdwalk.h"
#include "cache/filedigest.h"
#include "cache/isolationrecords.h"
#include "core/fsidentity.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace snx {
namespace {

// The record to restore and its open quarantine file.
struct Chosen
{
    IsolationRecord record;
    UniqueFd file;
};

// The newest record of the path whose quarantine file is there and that the caller may restore:
// root any, everyone else only their own.
QString choose(const QList<IsolationRecord> &records, int quarantine, const CallerIdentity &caller,
               Chosen *chosen)
{
    bool someoneElses = false;
    for (const IsolationRecord &r : records) {
        const QByteArray name = QFile::encodeName(r.hasDetails ? r.quarantineName : r.md5);
        if (name.isEmpty() || name.contains('/'))
            continue;
        UniqueFd file(
            ::openat(quarantine, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st;
        if (!file.valid() || ::fstat(file.get(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        IsolationRecord found = r;
        if (!r.hasDetails) {
            // An isolation from before the details: the moved file kept what it had.
            found.uid = st.st_uid;
            found.gid = st.st_gid;
            found.mode = st.st_mode & 07777;
            found.atime = st.st_atim;
            found.mtime = st.st_mtim;
            found.byUid = st.st_uid;
        }
        if (!caller.isRoot() && found.byUid != caller.uid) {
            someoneElses = true;
            continue;
        }
        chosen->record = found;
        chosen->file = std::move(file);
        return QString();
    }
    if (someoneElses)
        return QStringLiteral("restore refused, isolated by another user:");
    return QStringLiteral("restore skipped, no quarantine file for");
}

// The caller resolves the way to the former directory and must be able to create a file there
// itself; the file is then made by root, out of the caller's reach until it is whole.
QString openDirectoryAsCaller(const ProblemFileChange &change, UniqueFd *dir, QByteArray *leaf)
{
    FsIdentityScope scope(change.caller);
    if (!scope.active())
        return QStringLiteral("cannot act with the caller's identity:");
    *dir = fdwalk::openParent(QFile::encodeName(change.path), leaf);
    if (!dir->valid()) {
        if (errno == ENOENT)
            return QStringLiteral("restore skipped, the former directory is gone:");
        return fdwalk::failure("restore refused, no way to the former directory", errno);
    }
    // Raw: the glibc wrapper falls back to the effective uid where the kernel lacks the call.
    if (::syscall(SYS_faccessat2, dir->get(), "", W_OK | X_OK, AT_EMPTY_PATH | AT_EACCESS) != 0)
        return fdwalk::failure("restore refused, the caller cannot create the file", errno);
    struct stat st;
    if (::fstatat(dir->get(), leaf->constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return QStringLiteral("restore refused, something already stands at");
    return QString();
}

// A file without a name in `dir`: nobody can open it while its content, owner and mode are set.
// Where the file system has no such files, a hidden name that root alone may open stands in.
UniqueFd createUnnamed(int dir, QByteArray *stand)
{
    UniqueFd file(::openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600));
    if (file.valid() || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL))
        return file;
    for (int attempt = 0; attempt < 16 && !file.valid(); ++attempt) {
        *stand =
            ".velmar-restore-" + QByteArray::number(QRandomGenerator::system()->generate64(), 36);
        file = UniqueFd(::openat(dir, stand->constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0));
    }
    return file;
}

// Gives the finished file its name; never replaces anything that stands there meanwhile.
bool linkIntoPlace(int file, int dir, const QByteArray &leaf, const QByteArray &stand)
{
    if (!stand.isEmpty())
        return ::renameat2(dir, stand.constData(), dir, leaf.constData(), RENAME_NOREPLACE) == 0;
    if (::linkat(file, "", dir, leaf.constData(), AT_EMPTY_PATH) == 0)
        return true;
    if (errno != EPERM && errno != ENOENT)
        return false;
    // Without CAP_DAC_READ_SEARCH the descriptor is linked through its /proc entry instead.
    const QByteArray self = "/proc/self/fd/" + QByteArray::number(file);
    return ::linkat(AT_FDCWD, self.constData(), dir, leaf.constData(), AT_SYMLINK_FOLLOW) == 0;
}

bool fillAndSeal(int from, int to, const IsolationRecord &r)
{
    FileDigest copied;
    if (!digestAndCopy(from, to, &copied))
        return false;
    // A quarantine file that still shares its inode with a descriptor someone kept open could
    // have changed since: give back only the bytes that were isolated.
    if (r.hasDetails && copied.sha256 != r.sha256) {
        errno = EBADMSG;
        return false;
    }
    const struct timespec times[2] = {r.atime, r.mtime};
    // The owner first: a change of owner clears the set-id bits that the mode then sets.
    return ::fsync(to) == 0 && ::fchown(to, r.uid, r.gid) == 0 && ::fchmod(to, r.mode) == 0 &&
           ::futimens(to, times) == 0 && ::fsync(to) == 0;
}

} // namespace

QString restoreFromQuarantine(IsolationRecords &records, const QString &quarantineDir,
                              const ProblemFileChange &change)
{
    const QList<IsolationRecord> all = records.forPath(change.path);
    if (all.isEmpty())
        return QStringLiteral("restore skipped, nothing isolated at");
    const QByteArray quarantinePath = QFile::encodeName(QDir::cleanPath(quarantineDir));
    UniqueFd quarantine(
        ::open(quarantinePath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!quarantine.valid())
        return fdwalk::failure("restore skipped, no quarantine directory", errno);
    Chosen chosen;
    QString refusal = choose(all, quarantine.get(), change.caller, &chosen);
    if (!refusal.isEmpty())
        return refusal;

    UniqueFd dir;
    QByteArray leaf;
    refusal = openDirectoryAsCaller(change, &dir, &leaf);
    if (!refusal.isEmpty())
        return refusal;
    QByteArray stand;
    UniqueFd created = createUnnamed(dir.get(), &stand);
    if (!created.valid())
        return fdwalk::failure("restore failed, no file can be made in the former directory",
                               errno);
    const bool placed = fillAndSeal(chosen.file.get(), created.get(), chosen.record) &&
                        linkIntoPlace(created.get(), dir.get(), leaf, stand);
    if (!placed) {
        const int error = errno;
        if (!stand.isEmpty())
            ::unlinkat(dir.get(), stand.constData(), 0);
        if (error == EEXIST)
            return QStringLiteral("restore refused, something already stands at");
        return fdwalk::failure("restore failed", error);
    }
    if (!records.markRestored(chosen.record.id))
        return QStringLiteral("file insert/delete failed: %1 - restored, but still listed:")
            .arg(records.lastError());
    return QString();
}

} // namespace snx

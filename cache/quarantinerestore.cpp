#include "cache/quarantinerestore.h"

#include "app/fsidentity.h"
#include "cache/fdwalk.h"
#include "cache/filedigest.h"
#include "cache/isolationrecords.h"

#include <QDir>
#include <QFile>
#include <cerrno>
#include <fcntl.h>
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

QString createAsCaller(const ProblemFileChange &change, UniqueFd *dir, QByteArray *leaf,
                       UniqueFd *created)
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
    *created =
        UniqueFd(::openat(dir->get(), leaf->constData(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY, 0600));
    if (created->valid())
        return QString();
    if (errno == EEXIST)
        return QStringLiteral("restore refused, something already stands at");
    return fdwalk::failure("restore refused, cannot create the file", errno);
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
    UniqueFd created;
    refusal = createAsCaller(change, &dir, &leaf, &created);
    if (!refusal.isEmpty())
        return refusal;
    struct stat createdSt = {};
    if (::fstat(created.get(), &createdSt) != 0 ||
        !fillAndSeal(chosen.file.get(), created.get(), chosen.record)) {
        const int error = errno;
        // The half-written file goes, as its creator could take it away.
        FsIdentityScope scope(change.caller);
        if (scope.active() && fdwalk::stillNames(dir.get(), leaf, createdSt))
            ::unlinkat(dir.get(), leaf.constData(), 0);
        return fdwalk::failure("restore failed", error);
    }
    if (!records.remove(chosen.record.id))
        return QStringLiteral("file insert/delete failed: %1 - restored, but still listed:")
            .arg(records.lastError());
    return QString();
}

} // namespace snx

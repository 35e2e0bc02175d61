#include "cache/quarantineisolate.h"

#include "cache/fdwalk.h"
#include "cache/filedigest.h"
#include "cache/isolationrecords.h"
#include "core/fsidentity.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace snx {
namespace {

const QByteArray partialPrefix = QByteArrayLiteral(".partial-");
// Enough names for every MD5 collision anyone will hand us; beyond that, a name of its own.
constexpr int maxNamesPerDigest = 64;

// The file as the caller reached it: its directory and the open file, both pinned.
struct Source
{
    UniqueFd dir;
    QByteArray leaf;
    UniqueFd file;
    struct stat st = {};
};

QString openAsCaller(const ProblemFileChange &change, Source *source)
{
    FsIdentityScope scope(change.caller);
    if (!scope.active())
        return QStringLiteral("cannot act with the caller's identity:");
    source->dir = fdwalk::openParent(QFile::encodeName(change.path), &source->leaf);
    if (!source->dir.valid())
        return fdwalk::failure("no way to the file", errno);
    // Non-blocking: a FIFO put in the file's place must not hold the worker.
    source->file = UniqueFd(::openat(source->dir.get(), source->leaf.constData(),
                                     O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY));
    if (!source->file.valid())
        return fdwalk::failure("cannot open the file", errno);
    struct stat dirSt;
    if (::fstat(source->file.get(), &source->st) != 0 || ::fstat(source->dir.get(), &dirSt) != 0)
        return fdwalk::failure("cannot inspect the file", errno);
    if (!S_ISREG(source->st.st_mode))
        return QStringLiteral("not a regular file:");
    return fdwalk::refusalToMoveAway(change.caller.uid, source->dir.get(), dirSt, source->st);
}

// Left pending, the record is dropped at the next start, as no quarantine file carries its name.
void dropRecord(IsolationRecords &records, qint64 id)
{
    if (!records.remove(id))
        qWarning() << "isolation record left pending:" << records.lastError();
}

// Only a file that nobody but root can write may hold the bytes of other isolations: a linked
// file keeps its inode, and whoever opened it for writing before could change it in quarantine.
bool shareable(const struct stat &st)
{
    return st.st_uid == 0 && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

struct NameChoice
{
    QByteArray name;
    // A file of equal content is there and may be shared.
    bool shared = false;
    // A file of equal content is there but may not be shared: this one must be a copy, so that
    // the isolations after it can share that.
    bool equalButPrivate = false;
};

// The quarantine name for this content: the digest, or the digest with a suffix when another
// content with the same MD5, or equal content that may not be shared, holds it.
NameChoice quarantineNameFor(int quarantine, const FileDigest &digest)
{
    NameChoice choice;
    for (int i = 0; i < maxNamesPerDigest; ++i) {
        QByteArray name = digest.md5.toLatin1();
        if (i > 0)
            name += '-' + QByteArray::number(i);
        struct stat st;
        if (::fstatat(quarantine, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno == ENOENT)
                choice.name = name;
            return choice;
        }
        UniqueFd existing(
            ::openat(quarantine, name.constData(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        FileDigest held;
        if (existing.valid() && S_ISREG(st.st_mode) && digestAndCopy(existing.get(), -1, &held) &&
            held.md5 == digest.md5 && held.sha256 == digest.sha256) {
            if (shareable(st)) {
                choice.name = name;
                choice.shared = true;
                return choice;
            }
            choice.equalButPrivate = true;
        }
    }
    // Every numbered name is taken. A user can take them all with files of its own, linked in
    // and changed since through a descriptor kept open; refusing here would keep that content
    // out of quarantine for everyone. The record alone knows this name.
    choice.name = digest.md5.toLatin1() + "-r" +
                  QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    return choice;
}

// Bytes of root's own copies in the quarantine that the user's isolations hold. Files linked in
// still belong to their owner, whose disk quota they count against.
qint64 copiedBytesOf(IsolationRecords &records, int quarantine, uid_t user)
{
    qint64 bytes = 0;
    for (const QString &name : records.quarantineNamesBy(user)) {
        struct stat st;
        if (::fstatat(quarantine, QFile::encodeName(name).constData(), &st, AT_SYMLINK_NOFOLLOW) ==
                0 &&
            S_ISREG(st.st_mode) && st.st_uid == 0)
            bytes += st.st_size;
    }
    return bytes;
}

// Without a limit, a user who isolates one hard-linked file again and again makes root's
// file system hold a new copy each time. How many more bytes the caller's isolations may have
// copied into the quarantine; -1 for no limit.
qint64 copyAllowance(IsolationRecords &records, int quarantine, qint64 userQuota,
                     const ProblemFileChange &change)
{
    if (change.caller.isRoot() || userQuota < 0)
        return -1;
    return qMax<qint64>(0, userQuota - copiedBytesOf(records, quarantine, change.caller.uid));
}

QString overQuota(qint64 userQuota)
{
    return QStringLiteral("isolation refused, the user's copies in quarantine would exceed "
                          "%1 bytes:")
        .arg(userQuota);
}

// Copies the source into a new partial file in the quarantine, digesting what it writes.
QString copyIntoPartial(int source, int quarantine, qint64 allowance, qint64 userQuota,
                        QByteArray *partialName, FileDigest *digest)
{
    *partialName = partialPrefix + QByteArray::number(QRandomGenerator::system()->generate64(), 16);
    UniqueFd partial(::openat(quarantine, partialName->constData(),
                              O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!partial.valid()) {
        partialName->clear();
        return fdwalk::failure("isolation failed, cannot copy into quarantine", errno);
    }
    if (!digestAndCopy(source, partial.get(), digest, allowance) || ::fsync(partial.get()) != 0) {
        const int error = errno;
        ::unlinkat(quarantine, partialName->constData(), 0);
        partialName->clear();
        if (error == EFBIG && allowance >= 0)
            return overQuota(userQuota);
        return fdwalk::failure("isolation failed, cannot copy into quarantine", error);
    }
    return QString();
}

IsolationRecord recordOf(const ProblemFileChange &change, const FileDigest &digest,
                         const QByteArray &name, const struct stat &st)
{
    IsolationRecord r;
    r.path = change.path;
    r.md5 = digest.md5;
    r.time = change.time;
    r.quarantineName = QString::fromLatin1(name);
    r.sha256 = digest.sha256;
    r.uid = st.st_uid;
    r.gid = st.st_gid;
    r.mode = st.st_mode & 07777;
    r.atime = st.st_atim;
    r.mtime = st.st_mtim;
    r.byUid = change.caller.uid;
    return r;
}

// Takes the original away as the caller could, and only while its name still holds the inode
// that was hashed or copied.
bool removeOriginal(const ProblemFileChange &change, const Source &source)
{
    FsIdentityScope scope(change.caller);
    if (!scope.active() || !fdwalk::stillNames(source.dir.get(), source.leaf, source.st)) {
        errno = errno ? errno : ESTALE;
        return false;
    }
    return ::unlinkat(source.dir.get(), source.leaf.constData(), 0) == 0;
}

} // namespace

// Each step fails on its own terms, and a later one undoes what the earlier ones left.
// NOLINTNEXTLINE(readability-function-cognitive-complexity)
QString isolateIntoQuarantine(IsolationRecords &records, const QString &quarantineDir,
                              qint64 userQuota, const ProblemFileChange &change, QString *md5)
{
    Source source;
    QString refusal = openAsCaller(change, &source);
    if (!refusal.isEmpty())
        return refusal;

    // From here on as root: the quarantine is root's alone.
    const QByteArray quarantinePath = QFile::encodeName(QDir::cleanPath(quarantineDir));
    UniqueFd quarantine(
        ::open(quarantinePath.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    struct stat quarantineSt;
    if (!quarantine.valid() || ::fstat(quarantine.get(), &quarantineSt) != 0)
        return fdwalk::failure("isolation failed, no quarantine directory", errno);

    // A hard link into the quarantine pins the very inode that was hashed; another file system,
    // or a file with other names still writable elsewhere, gets a copy of its own instead.
    bool linkable = source.st.st_dev == quarantineSt.st_dev && source.st.st_nlink == 1;
    FileDigest digest;
    QByteArray partialName;
    auto dropPartial = [&] {
        if (!partialName.isEmpty())
            ::unlinkat(quarantine.get(), partialName.constData(), 0);
    };
    const qint64 allowance = copyAllowance(records, quarantine.get(), userQuota, change);
    if (linkable) {
        if (!digestAndCopy(source.file.get(), -1, &digest))
            return fdwalk::failure("isolation failed, cannot read the file", errno);
    } else {
        QString failed = copyIntoPartial(source.file.get(), quarantine.get(), allowance, userQuota,
                                         &partialName, &digest);
        if (!failed.isEmpty())
            return failed;
    }

    const NameChoice choice = quarantineNameFor(quarantine.get(), digest);
    if (choice.name.isEmpty()) {
        const int error = errno;
        dropPartial();
        return fdwalk::failure("isolation failed, no quarantine name", error);
    }
    if (linkable && !choice.shared && choice.equalButPrivate) {
        FileDigest copied;
        QString failed = copyIntoPartial(source.file.get(), quarantine.get(), allowance, userQuota,
                                         &partialName, &copied);
        if (!failed.isEmpty())
            return failed;
        if (copied.sha256 != digest.sha256) {
            dropPartial();
            return QStringLiteral("isolation failed, the file changed while it was read:");
        }
        linkable = false;
    }
    const QByteArray &name = choice.name;
    const bool shared = choice.shared;
    const qint64 id = records.addPending(recordOf(change, digest, name, source.st));
    if (id < 0) {
        dropPartial();
        return QStringLiteral("file insert/delete failed: %1 -").arg(records.lastError());
    }

    // Never over an existing file: link and RENAME_NOREPLACE fail on one.
    int placed = 0;
    if (!shared && linkable)
        placed = ::linkat(source.file.get(), "", quarantine.get(), name.constData(), AT_EMPTY_PATH);
    else if (!shared)
        placed = ::renameat2(quarantine.get(), partialName.constData(), quarantine.get(),
                             name.constData(), RENAME_NOREPLACE);
    if (placed != 0) {
        const int error = errno;
        dropRecord(records, id);
        dropPartial();
        return fdwalk::failure("isolation failed, cannot place the quarantine file", error);
    }
    if (shared)
        dropPartial();
    ::fsync(quarantine.get());

    errno = 0;
    if (!removeOriginal(change, source)) {
        const int error = errno;
        dropRecord(records, id);
        if (!shared)
            ::unlinkat(quarantine.get(), name.constData(), 0);
        return fdwalk::failure("isolation failed, the file changed or cannot be removed", error);
    }
    // Left pending, the record is settled at the next start, as the file is in quarantine.
    if (!records.markDone(id))
        qWarning() << "isolation record left pending:" << records.lastError();
    *md5 = digest.md5;
    return QString();
}

void removePartialCopies(const QString &quarantineDir)
{
    const QDir dir(quarantineDir);
    const QStringList partials =
        dir.entryList({QString::fromLatin1(partialPrefix) + QLatin1Char('*')},
                      QDir::Files | QDir::Hidden | QDir::System);
    for (const QString &name : partials)
        if (!QFile::remove(dir.filePath(name)))
            qWarning() << "partial quarantine copy not removed:" << dir.filePath(name);
}

} // namespace snx

#pragma once

#include <QString>

namespace snx {

// MD5 names the quarantine file; SHA-256 beside it tells equal content from an MD5 collision.
struct FileDigest
{
    QString md5;
    QString sha256;
};

// Reads `from` from its start to its end in blocks (its file offset is left alone), feeds every
// block to both digests and, unless `to` is -1, writes it at the same offset of `to`, a new empty
// file, so that a copy holds exactly the bytes digested. Holes are digested as the zeros they
// read as and stay holes in the copy. False with errno set when a read or write fails, and with
// EFBIG when the file holds more than `maxBytes` (when not -1), however much it grows while it is
// read.
bool digestAndCopy(int from, int to, FileDigest *digest, qint64 maxBytes = -1);

} // namespace snx

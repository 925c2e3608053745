// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/FileLookup.h"

#include "ipc/LongPath.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

namespace {
QString identityOf(const struct stat& info)
{
    return QStringLiteral("inode:%1:%2").arg(quint64(info.st_dev)).arg(quint64(info.st_ino));
}

// The path of something that does not exist: its folder's real path, which resolves the links on the
// way, and its name. Case is folded, so that two outputs never differ only in case.
QString identityOfPath(const QString& path)
{
    const QString clean = QDir::cleanPath(path);
    const qsizetype slash = clean.lastIndexOf(u'/');
    QString folder = slash < 0 ? QStringLiteral(".") : clean.left(std::max<qsizetype>(slash, 1));
    const QString canonical = QFileInfo(folder).canonicalFilePath();
    if (!canonical.isEmpty())
        folder = canonical;
    return QStringLiteral("path:") + (folder + u'/' + clean.mid(slash + 1)).toCaseFolded();
}
} // namespace

FileFacts lookUpFile(const QString& path)
{
    struct stat info {};
    if (LongPath::status(path, &info, true))
        return {true, S_ISDIR(info.st_mode), identityOf(info)};
    // A link that points nowhere still has its name in the folder.
    if (LongPath::status(path, &info, false))
        return {true, false, identityOfPath(path)};
    return {false, false, identityOfPath(path)};
}

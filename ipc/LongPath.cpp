// SPDX-License-Identifier: GPL-3.0-or-later
#include "ipc/LongPath.h"

#include <QFile>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace LongPath {
namespace {
// The folder to start from and the rest of the path relative to it. A short path needs no folder: the
// kernel takes it whole.
struct Start {
    Fd folder;
    QByteArray rest;
    int at() const { return folder.isValid() ? folder.get() : AT_FDCWD; }
};

// The bytes of the entry of folder that name stands for. Qt decodes a name that is not UTF-8
// ("\xff\xfe.png", from an old archive or another system) with U+FFFD in place of each bad byte and
// cannot encode it back: the name a dialog listed then reaches no file. Such a name is matched against
// the folder's entries as Qt shows them; it is kept as it is where it names a file itself, or where no
// entry or more than one matches.
QByteArray entryBytes(int folder, const QString& name)
{
    QByteArray bytes = encodeName(name);
    if (!name.contains(QChar::ReplacementCharacter))
        return bytes;
    struct stat info {};
    if (::fstatat(folder, bytes.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
        return bytes;
    const int listed = ::openat(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0)
            ::close(listed);
        return bytes;
    }
    QByteArray found;
    int matches = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (QFile::decodeName(entry->d_name) == name && ++matches == 1)
            found = entry->d_name;
    }
    ::closedir(dir);
    return matches == 1 ? found : bytes;
}

// Opens every folder of path but the last component; fails with errno set.
std::optional<Start> walkToParent(const QString& path)
{
    const QByteArray bytes = encodeName(path);
    if (bytes.isEmpty()) {
        errno = ENOENT;
        return std::nullopt;
    }
    const bool lossy = path.contains(QChar::ReplacementCharacter);
    if (bytes.size() < PATH_MAX && !lossy)
        return Start{Fd(), bytes};
    Fd folder(::open(bytes.startsWith('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid())
        return std::nullopt;
    QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    if (parts.isEmpty()) {
        errno = EISDIR;
        return std::nullopt;
    }
    const QString last = parts.takeLast();
    for (const QString& part : parts) {
        Fd next(::openat(folder.get(), entryBytes(folder.get(), part).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next.isValid())
            return std::nullopt;
        folder = std::move(next);
    }
    QByteArray name = entryBytes(folder.get(), last);
    return Start{std::move(folder), std::move(name)};
}
} // namespace

Fd& Fd::operator=(Fd&& other) noexcept
{
    if (this != &other) {
        Fd old(m_fd);
        m_fd = other.release();
    }
    return *this;
}

Fd::~Fd()
{
    if (m_fd >= 0) {
        const int saved = errno;
        ::close(m_fd);
        errno = saved;
    }
}

int Fd::release()
{
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

QByteArray encodeName(const QString& name)
{
    return QFile::encodeName(name);
}

Fd open(const QString& path, int flags, mode_t mode)
{
    const std::optional<Start> start = walkToParent(path);
    if (!start)
        return Fd();
    return Fd(::openat(start->at(), start->rest.constData(), flags | O_CLOEXEC, mode));
}

bool status(const QString& path, struct stat* info, bool followLinks)
{
    const std::optional<Start> start = walkToParent(path);
    if (!start)
        return false;
    return ::fstatat(start->at(), start->rest.constData(), info, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

QString temporaryName(const QString& finalName, quint64 tag)
{
    const QString suffix = QStringLiteral(".kalvorin-%1.part").arg(tag, 16, 16, QChar(u'0'));
    // A file name holds at most NAME_MAX bytes; a long name gives up characters from its end.
    QString name = finalName;
    while (!name.isEmpty() && encodeName(u'.' + name + suffix).size() > NAME_MAX) {
        name.chop(1);
        if (!name.isEmpty() && name.back().isHighSurrogate())
            name.chop(1);
    }
    return u'.' + name + suffix;
}

bool isTemporaryName(const QByteArray& name)
{
    static const QByteArray marker = ".kalvorin-";
    static const QByteArray end = ".part";
    constexpr qsizetype digits = 16;
    const qsizetype tagAt = name.size() - end.size() - digits;
    if (!name.startsWith('.') || !name.endsWith(end) || tagAt - marker.size() < 1 ||
        name.mid(tagAt - marker.size(), marker.size()) != marker)
        return false;
    const QByteArray tag = name.mid(tagAt, digits);
    return std::all_of(tag.begin(), tag.end(), [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

} // namespace LongPath

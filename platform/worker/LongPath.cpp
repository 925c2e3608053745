// SPDX-License-Identifier: GPL-3.0-or-later
#include "LongPath.h"

#include <QFile>

#include <cerrno>
#include <climits>
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

// Opens every folder of path but the last component; fails with errno set.
std::optional<Start> walkToParent(const QString& path)
{
    QByteArray bytes = encodeName(path);
    if (bytes.isEmpty()) {
        errno = ENOENT;
        return std::nullopt;
    }
    if (bytes.size() < PATH_MAX)
        return Start{Fd(), bytes};
    Fd folder(::open(bytes.startsWith('/') ? "/" : ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.isValid())
        return std::nullopt;
    QList<QByteArray> parts = bytes.split('/');
    parts.removeAll(QByteArray());
    if (parts.isEmpty()) {
        errno = EISDIR;
        return std::nullopt;
    }
    const QByteArray last = parts.takeLast();
    for (const QByteArray& part : parts) {
        Fd next(::openat(folder.get(), part.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        if (!next.isValid())
            return std::nullopt;
        folder = std::move(next);
    }
    return Start{std::move(folder), last};
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

Fd openFolder(const QString& path)
{
    return open(path, O_RDONLY | O_DIRECTORY);
}

bool status(const QString& path, struct stat* info, bool followLinks)
{
    const std::optional<Start> start = walkToParent(path);
    if (!start)
        return false;
    return ::fstatat(start->at(), start->rest.constData(), info, followLinks ? 0 : AT_SYMLINK_NOFOLLOW) == 0;
}

bool removeIn(const QString& folder, const QString& name)
{
    const Fd dir = openFolder(folder);
    if (!dir.isValid())
        return errno == ENOENT;
    return ::unlinkat(dir.get(), encodeName(name).constData(), 0) == 0 || errno == ENOENT;
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

} // namespace LongPath

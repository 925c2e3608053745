// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/OutputFolder.h"

#include "ipc/LongPath.h"

#include <QRandomGenerator>

#include <cerrno>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

std::shared_ptr<const OutputFolder> OutputFolder::open(const QString& path)
{
    // O_PATH: a folder the user may write in but not list (-wx) opens too, and the descriptor can do
    // nothing but name the folder to the *at() calls.
    LongPath::Fd folder = LongPath::open(path, O_PATH | O_DIRECTORY);
    if (!folder.isValid())
        return nullptr;
    return std::shared_ptr<const OutputFolder>(new OutputFolder(path, folder.release()));
}

OutputFolder::OutputFolder(QString path, int descriptor)
    : m_path(std::move(path))
    , m_descriptor(descriptor)
{
}

OutputFolder::~OutputFolder()
{
    ::close(m_descriptor);
}

bool OutputFolder::has(const QString& name) const
{
    struct stat info {};
    return ::fstatat(m_descriptor, LongPath::encodeName(name).constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
}

bool OutputFolder::remove(const QString& name) const
{
    return ::unlinkat(m_descriptor, LongPath::encodeName(name).constData(), 0) == 0 || errno == ENOENT;
}

bool OutputFolder::canCreateFiles() const
{
    const QByteArray name = LongPath::encodeName(
        LongPath::temporaryName(QStringLiteral("probe"), QRandomGenerator::global()->generate64()));
    const LongPath::Fd probe(
        ::openat(m_descriptor, name.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!probe.isValid())
        return false;
    ::unlinkat(m_descriptor, name.constData(), 0);
    return true;
}

void OutputFolder::removeAbandonedOutputs(qint64 olderThan) const
{
    const int listed = ::openat(m_descriptor, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* const dir = listed >= 0 ? ::fdopendir(listed) : nullptr;
    if (!dir) {
        if (listed >= 0)
            ::close(listed);
        return;
    }
    const qint64 now = qint64(std::time(nullptr));
    while (const dirent* entry = ::readdir(dir)) {
        if (!LongPath::isTemporaryName(QByteArray(entry->d_name)))
            continue;
        struct stat info {};
        if (::fstatat(m_descriptor, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
            info.st_uid == ::getuid() && now - qint64(info.st_mtime) > olderThan)
            ::unlinkat(m_descriptor, entry->d_name, 0);
    }
    ::closedir(dir);
}

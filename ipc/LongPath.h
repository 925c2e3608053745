// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

#include <sys/stat.h>

/// File operations on paths of any length, shared by the worker and the window's process.
///
/// The kernel refuses paths of PATH_MAX (4096) bytes or more; a folder tree can still hold files that
/// deep. Longer paths are opened one folder at a time. Folders along the way are followed through
/// links, as the user named them; the last component is treated as each function says.
namespace LongPath {

/// An open file descriptor, closed when it goes.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd)
        : m_fd(fd)
    {
    }
    Fd(Fd&& other) noexcept
        : m_fd(other.release())
    {
    }
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd();

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release();

private:
    int m_fd = -1;
};

/// Opens path with open(2) flags (O_CLOEXEC is added). Invalid with errno set on failure.
Fd open(const QString& path, int flags, mode_t mode = 0);

/// stat(2) of path, or lstat(2) when followLinks is false. False with errno set on failure.
bool status(const QString& path, struct stat* info, bool followLinks = true);

/// A hidden name for the temporary file a job writes before renaming it to finalName:
/// ".finalName.kalvorin-<tag>.part", with finalName shortened where needed so the whole stays a valid
/// file name.
QString temporaryName(const QString& finalName, quint64 tag);

/// True for a name temporaryName() makes, whatever the final name: ".", anything, ".kalvorin-", 16
/// lowercase hexadecimal digits, ".part".
bool isTemporaryName(const QByteArray& name);

/// The file name as the file system stores it.
QByteArray encodeName(const QString& name);

} // namespace LongPath

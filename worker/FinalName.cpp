// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/FinalName.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace FinalName {
namespace {
bool isTaken(int error)
{
    // A folder of the name says ENOTEMPTY or EISDIR rather than EEXIST.
    return error == EEXIST || error == ENOTEMPTY || error == EISDIR;
}

bool isUnsupported(int error)
{
    return error == EINVAL || error == ENOSYS || error == EOPNOTSUPP || error == EPERM;
}

Outcome outcomeOf(int result)
{
    if (result == 0)
        return Outcome::Moved;
    if (isTaken(errno))
        return Outcome::Taken;
    return isUnsupported(errno) ? Outcome::Unsupported : Outcome::Failed;
}
} // namespace

Outcome move(int folder, const QByteArray& from, const QByteArray& to, Way way)
{
    switch (way) {
    case Way::NoReplaceRename:
        return outcomeOf(::renameat2(folder, from.constData(), folder, to.constData(), RENAME_NOREPLACE));
    case Way::HardLink: {
        const Outcome linked = outcomeOf(::linkat(folder, from.constData(), folder, to.constData(), 0));
        // The output has its name either way; a temporary name left behind is removed by whoever
        // cleans up after the job.
        if (linked == Outcome::Moved)
            ::unlinkat(folder, from.constData(), 0);
        return linked;
    }
    case Way::LookFirst: {
        struct stat info {};
        if (::fstatat(folder, to.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0)
            return Outcome::Taken;
        if (errno != ENOENT)
            return Outcome::Failed;
        return outcomeOf(::renameat(folder, from.constData(), folder, to.constData()));
    }
    }
    errno = EINVAL;
    return Outcome::Failed;
}

Outcome place(int folder, const QByteArray& from, const QByteArray& to, bool replace)
{
    if (replace)
        return outcomeOf(::renameat(folder, from.constData(), folder, to.constData()));
    for (const Way way : {Way::NoReplaceRename, Way::HardLink, Way::LookFirst}) {
        const Outcome moved = move(folder, from, to, way);
        if (moved != Outcome::Unsupported)
            return moved;
    }
    return Outcome::Unsupported;
}

} // namespace FinalName

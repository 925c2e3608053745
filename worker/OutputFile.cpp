// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/OutputFile.h"

#include "core/Naming.h"
#include "worker/Failure.h"
#include "worker/FinalName.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

namespace {
// Held while an output's file is created, moved to its name or removed, and for good by a worker that
// ends on a signal: after abandonOutput() no job can create or name a file.
std::mutex g_placing;

// The temporary file the job is writing, for a worker that has to end in the middle.
struct Unfinished {
    int folder = -1;
    QByteArray name;
};

Unfinished g_unfinished;

// The numbered names tried when others took the output's name meanwhile; past them the job fails
// rather than search a folder without end.
constexpr int mostNumbers = 10'000;
} // namespace

OutputFile::OutputFile(const Protocol::ConvertRequest& request, const PictureJobs::Hooks& hooks)
    : m_request(request)
    , m_hooks(hooks)
    , m_temporary(LongPath::encodeName(request.temporaryName))
{
}

OutputFile::~OutputFile()
{
    discard();
}

void OutputFile::abandonAll()
{
    // Never unlocked: the worker is ending, and no job may create or name a file after this.
    g_placing.lock();
    if (g_unfinished.folder >= 0)
        ::unlinkat(g_unfinished.folder, g_unfinished.name.constData(), 0);
    g_unfinished = {};
}

void OutputFile::append(const char* data, size_t size)
{
    writeAt(m_end, data, size);
    m_end += size;
}

void OutputFile::overwrite(quint64 offset, const char* data, size_t size)
{
    writeAt(offset, data, size);
    m_end = std::max(m_end, offset + size);
}

void OutputFile::discard()
{
    if (!m_file.isValid())
        return;
    m_file = LongPath::Fd();
    removeTemporary();
    m_end = 0;
}

void OutputFile::commit()
{
    if (!m_file.isValid())
        open();
    if (::fsync(m_file.get()) != 0)
        throw writeFailure("fsync", errno);
    if (::close(m_file.release()) != 0) {
        const int error = errno;
        removeTemporary();
        throw writeFailure("close", error);
    }
    const QString name = moveToName();
    if (m_hooks.renamed)
        m_hooks.renamed(name);
}

void OutputFile::open()
{
    {
        const std::lock_guard placing(g_placing);
        m_file = LongPath::Fd(::openat(m_request.folder, m_temporary.constData(),
                                       O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (!m_file.isValid())
            throw writeFailure("create", errno);
        g_unfinished = {m_request.folder, m_temporary};
    }
    // A file replaced at the user's word keeps its permissions.
    struct stat replaced {};
    if (m_request.replace &&
        ::fstatat(m_request.folder, LongPath::encodeName(m_request.finalName).constData(), &replaced,
                  AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISREG(replaced.st_mode))
        ::fchmod(m_file.get(), replaced.st_mode & 0777);
}

QString OutputFile::moveToName()
{
    const std::lock_guard placing(g_placing);
    g_unfinished = {};
    QString name = m_request.finalName;
    bool replace = m_request.replace;
    for (int n = 2;; ++n) {
        const FinalName::Outcome moved =
            FinalName::place(m_request.folder, m_temporary, LongPath::encodeName(name), replace);
        if (moved == FinalName::Outcome::Moved)
            return name;
        if (moved != FinalName::Outcome::Taken || n > mostNumbers) {
            const int error = moved == FinalName::Outcome::Taken ? EEXIST : errno;
            ::unlinkat(m_request.folder, m_temporary.constData(), 0);
            throw writeFailure("rename", error);
        }
        name = numberedName(m_request.source, m_request.format, n);
        replace = false;
    }
}

void OutputFile::removeTemporary()
{
    const std::lock_guard placing(g_placing);
    ::unlinkat(m_request.folder, m_temporary.constData(), 0);
    g_unfinished = {};
}

void OutputFile::writeAt(quint64 offset, const char* data, size_t size)
{
    if (!m_file.isValid())
        open();
    // The first piece alone, so that the tests can stop a worker with part of a file written.
    constexpr size_t piece = size_t(8) << 20;
    size_t done = 0;
    while (done < size) {
        const ssize_t put = ::pwrite(m_file.get(), data + done, std::min(piece, size - done), off_t(offset + done));
        if (put < 0 && errno == EINTR)
            continue;
        if (put < 0)
            throw writeFailure("write", errno);
        // The disk starts on what is written while the rest is made, so that commit's sync waits
        // for little: without it, uncompressed files (BMP, TIFF) took a third longer on Debian's
        // wallpapers, the workers idle while the sync wrote them. It only starts the writing;
        // errors surface at the sync.
        ::sync_file_range(m_file.get(), off_t(offset + done), put, SYNC_FILE_RANGE_WRITE);
        done += size_t(put);
        if (!m_partTold && m_hooks.partWritten) {
            m_partTold = true;
            m_hooks.partWritten();
        }
    }
}

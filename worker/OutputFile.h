// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ipc/LongPath.h"
#include "ipc/Protocol.h"
#include "worker/JobHooks.h"
#include "worker/writers/Output.h"

#include <QByteArray>
#include <QString>

/// The output's temporary file in the output folder, created on the first write (never through a
/// link, never over a file), synced and moved to its final name by commit(), and removed unless
/// committed.
class OutputFile : public Output {
public:
    OutputFile(const Protocol::ConvertRequest& request, const PictureJobs::Hooks& hooks);
    ~OutputFile() override;
    OutputFile(const OutputFile&) = delete;
    OutputFile& operator=(const OutputFile&) = delete;

    void append(const char* data, size_t size) override;
    void overwrite(quint64 offset, const char* data, size_t size) override;

    /// Everything written so far goes, and the next write starts a new file.
    void discard();
    /// Moves the finished file to its name, and tells hooks.renamed which name that is: the final
    /// name, or the first free numbered one when something else has it now.
    void commit();

    /// For a worker that must end now, from any thread: removes the file being written, if any, and
    /// keeps every job from creating or naming a file from then on.
    static void abandonAll();

private:
    void open();
    QString moveToName();
    void removeTemporary();
    void writeAt(quint64 offset, const char* data, size_t size);

    const Protocol::ConvertRequest& m_request;
    const PictureJobs::Hooks& m_hooks;
    const QByteArray m_temporary;
    LongPath::Fd m_file;
    quint64 m_end = 0;
    bool m_partTold = false;
};

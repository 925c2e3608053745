// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

#include <memory>

/// The folder a batch writes into, opened once when it was chosen: every output is created, moved and
/// removed relative to this descriptor, so a folder renamed or a path component swapped for a link
/// afterwards cannot send a file anywhere else. Shared by the window, the engine and, through an
/// inherited descriptor, the workers.
class OutputFolder final {
public:
    /// Opens the folder at path, following links as the user named it. Nothing, with errno set, when it
    /// is not a folder that can be opened.
    static std::shared_ptr<const OutputFolder> open(const QString& path);

    ~OutputFolder();
    OutputFolder(const OutputFolder&) = delete;
    OutputFolder& operator=(const OutputFolder&) = delete;

    /// The path the folder was opened by, for messages and reports.
    const QString& path() const { return m_path; }
    /// An O_PATH descriptor of the folder, close-on-exec.
    int descriptor() const { return m_descriptor; }

    /// True when something, a link included, has name in the folder.
    bool has(const QString& name) const;
    /// Removes the file name from the folder, never following a link; a name already gone counts as
    /// removed.
    bool remove(const QString& name) const;
    /// True when a new file can be created in the folder: one is made and removed again.
    bool canCreateFiles() const;

    /// Removes the temporary files of outputs that were never finished and that nothing has written to
    /// for olderThan seconds: left by a Kalvorin that ended with its workers at once (power lost, a
    /// whole session killed). Only regular files of this user, named exactly as a job names its
    /// temporary file.
    void removeAbandonedOutputs(qint64 olderThan) const;

private:
    OutputFolder(QString path, int descriptor);

    QString m_path;
    int m_descriptor = -1;
};

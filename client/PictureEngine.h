// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Naming.h"

#include <QImage>
#include <QList>
#include <QSize>
#include <QString>

#include <functional>
#include <memory>

class OutputFolder;

/// A picture decoded for the preview, or why it could not be.
struct PreviewResult {
    /// Null for an empty picture (an empty path) and for a failure.
    QImage image;
    /// Why the picture could not be shown, in Chinese; empty when it could.
    QString error;
};

/// One picture of a batch: read source, write target in format.
struct ConvertJob {
    ConvertJob() = default;
    ConvertJob(QString source, QString target, OutputFormat::Index format, bool replace = false,
               std::shared_ptr<const OutputFolder> folder = {})
        : source(std::move(source))
        , target(std::move(target))
        , format(format)
        , replace(replace)
        , folder(std::move(folder))
    {
    }

    QString source;
    QString target;
    OutputFormat::Index format = OutputFormat::Jpg;
    /// The user agreed to replace the file that has the target's name. Without it nothing is ever
    /// replaced: a file that took the name meanwhile keeps it, and the output is numbered.
    bool replace = false;
    /// The target's folder, opened when it was chosen; the output goes there whatever its path leads
    /// to by then. Without it the engine opens the target's folder when the batch starts.
    std::shared_ptr<const OutputFolder> folder;
};

/// How one job of a batch ended.
struct JobOutcome {
    enum class Kind { Written, Failed, Cancelled };
    Kind kind = Kind::Written;
    /// Why it failed, in Chinese; empty when it did not.
    QString reason;
    /// The decoder's or the system's own words on the failure, when there are any.
    QString detail;
    /// Where the picture was written: the job's target, or a numbered name in its folder when a file
    /// took the target's name while the batch ran. Empty when nothing was written.
    QString target;

    bool written() const { return kind == Kind::Written; }
};

/// What a batch reports while it runs. Every callback runs on the thread that started the batch.
struct BatchCallbacks {
    /// The job at index was handed to a worker.
    std::function<void(int index)> started;
    /// The job at index ended.
    std::function<void(int index, const JobOutcome& outcome)> finished;
    /// How much of the running job at index is done, from 0 to 1, when the engine can tell: told
    /// now and then between started and finished, never going back.
    std::function<void(int index, double fraction)> progress;
    /// The batch is over: every job ended, or it was cancelled and the running ones were stopped.
    std::function<void()> done;
};

/// Decodes and encodes pictures away from the window's process.
class PictureEngine {
public:
    using PreviewDone = std::function<void(const PreviewResult&)>;

    virtual ~PictureEngine() = default;

    /// Decodes the picture at path, upright and scaled down to fit inside box, and calls done with it
    /// on the calling thread, later or at once. An empty path gives an empty picture. A request made
    /// while an earlier one still waits for its turn replaces it; the replaced one is never answered.
    virtual void preview(const QString& path, QSize box, PreviewDone done) = 0;

    /// Converts the jobs, several at once, and reports through callbacks. One batch at a time.
    virtual void convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks) = 0;

    /// Starts no further job of the running batch and stops the running ones at once: each ends as
    /// cancelled, with nothing of its output left behind, and done follows.
    virtual void cancelBatch() = 0;
};

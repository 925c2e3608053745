// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "client/PictureEngine.h"

#include <QHash>
#include <QStringList>

#include <optional>
#include <utility>

/// A picture engine for the window's tests: each known path has a plain picture, any other fails
/// with "文件不存在". Answers come at once, or on answerPending() when deferred is set. A batch ends at
/// once, or, when holdBatches is set, stays running until cancelBatch() after its first
/// finishedBeforeHolding jobs ended.
class FakePictureEngine final : public PictureEngine {
public:
    /// Adds a picture for path, filled with colour.
    void addPicture(const QString& path, const QColor& colour);

    bool deferred = false;
    QStringList previewRequests;
    QList<QList<ConvertJob>> batches;
    bool holdBatches = false;
    int finishedBeforeHolding = 0;
    int cancelCalls = 0;

    /// Answers the deferred requests, oldest first or, to mimic a slow older picture, newest first.
    void answerPending(bool newestFirst = false);

    void preview(const QString& path, QSize box, PreviewDone done) override;
    void convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks) override;
    void cancelBatch() override;

private:
    PreviewResult resultFor(const QString& path) const;

    QHash<QString, QImage> m_pictures;
    QList<std::pair<QString, PreviewDone>> m_pending;
    void finish(const ConvertJob& job, int index, const BatchCallbacks& callbacks) const;

    // The first and the end of the held jobs, and whom to tell.
    struct Held {
        int first = 0;
        int end = 0;
        BatchCallbacks callbacks;
    };
    std::optional<Held> m_held;
};

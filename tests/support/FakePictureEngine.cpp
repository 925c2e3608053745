// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/FakePictureEngine.h"

#include <algorithm>

void FakePictureEngine::addPicture(const QString& path, const QColor& colour)
{
    QImage picture(40, 30, QImage::Format_RGBA8888);
    picture.fill(colour);
    m_pictures.insert(path, picture);
}

PreviewResult FakePictureEngine::resultFor(const QString& path) const
{
    if (path.isEmpty())
        return {};
    const auto found = m_pictures.constFind(path);
    if (found == m_pictures.constEnd())
        return {{}, QStringLiteral("文件不存在")};
    return {*found, {}};
}

void FakePictureEngine::answerPending(bool newestFirst)
{
    auto pending = std::exchange(m_pending, {});
    if (newestFirst)
        std::reverse(pending.begin(), pending.end());
    for (const auto& [path, done] : pending)
        done(resultFor(path));
}

void FakePictureEngine::preview(const QString& path, QSize, PreviewDone done)
{
    previewRequests.append(path);
    if (deferred)
        m_pending.append({path, std::move(done)});
    else
        done(resultFor(path));
}

void FakePictureEngine::finish(const ConvertJob& job, int index, const BatchCallbacks& callbacks) const
{
    callbacks.started(index);
    if (m_pictures.contains(job.source))
        callbacks.finished(index, {JobOutcome::Kind::Written, {}, {}, job.target});
    else
        callbacks.finished(index, {JobOutcome::Kind::Failed, QStringLiteral("文件不存在"), {}, {}});
}

void FakePictureEngine::convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks)
{
    batches.append(jobs);
    const int count = int(jobs.size());
    const int finishing = holdBatches ? std::min(finishedBeforeHolding, count) : count;
    for (int i = 0; i < finishing; ++i)
        finish(jobs[i], i, callbacks);
    if (holdBatches) {
        for (int i = finishing; i < count; ++i)
            callbacks.started(i);
        m_held.emplace(Held{finishing, count, std::move(callbacks)});
        return;
    }
    callbacks.done();
}

void FakePictureEngine::cancelBatch()
{
    ++cancelCalls;
    if (!m_held)
        return;
    Held held = std::move(*m_held);
    m_held.reset();
    for (int i = held.first; i < held.end; ++i)
        held.callbacks.finished(i, {JobOutcome::Kind::Cancelled, {}, {}, {}});
    held.callbacks.done();
}

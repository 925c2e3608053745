// SPDX-License-Identifier: GPL-3.0-or-later
#include "FakePictureEngine.h"

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

void FakePictureEngine::convertBatch(const QList<ConvertJob>& jobs, BatchCallbacks callbacks)
{
    batches.append(jobs);
    if (holdBatches) {
        for (int i = 0; i < jobs.size(); ++i)
            callbacks.started(i);
        m_held.emplace(jobs.size(), std::move(callbacks));
        return;
    }
    for (int i = 0; i < jobs.size(); ++i) {
        callbacks.started(i);
        if (m_pictures.contains(jobs[i].source))
            callbacks.finished(i, {JobOutcome::Kind::Written, {}, {}, jobs[i].target});
        else
            callbacks.finished(i, {JobOutcome::Kind::Failed, QStringLiteral("文件不存在"), {}, {}});
    }
    callbacks.done();
}

void FakePictureEngine::cancelBatch()
{
    ++cancelCalls;
    if (!m_held)
        return;
    auto [count, callbacks] = std::move(*m_held);
    m_held.reset();
    for (int i = 0; i < count; ++i)
        callbacks.finished(i, {JobOutcome::Kind::Cancelled, {}, {}, {}});
    callbacks.done();
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/TestEngine.h"

#include <QElapsedTimer>
#include <QTest>

WorkerEngine::Options testEngineOptions()
{
    WorkerEngine::Options options;
    options.workerPath = QStringLiteral(KALVORIN_WORKER_PATH);
    return options;
}

BatchResult runBatch(PictureEngine& engine, const QList<ConvertJob>& jobs, const std::function<void(int)>& onStart)
{
    BatchResult result;
    result.errors = QStringList(jobs.size(), QStringLiteral("not run"));
    result.details = QStringList(jobs.size());
    result.targets = QStringList(jobs.size());
    BatchCallbacks callbacks;
    callbacks.started = [&](int index) {
        result.started.append(index);
        if (onStart)
            onStart(index);
    };
    callbacks.finished = [&](int index, const JobOutcome& outcome) {
        result.errors[index] = outcome.reason;
        result.details[index] = outcome.detail;
        result.targets[index] = outcome.target;
    };
    callbacks.done = [&] { result.done = true; };
    engine.convertBatch(jobs, callbacks);
    QElapsedTimer clock;
    clock.start();
    while (!result.done && clock.elapsed() < 120'000)
        QTest::qWait(5);
    return result;
}

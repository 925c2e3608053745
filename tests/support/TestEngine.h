// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "client/WorkerEngine.h"

/// Options for an engine on the tests' build of the worker. A source path containing "stall-here"
/// makes that worker's job never finish and show no sign of life; "stall-writing" stops it once its
/// output's temporary file is partly written; "stall-answering" once its output is complete, before it
/// answers; "slow-here" shows signs of life for a few seconds before the job starts. A worker gone
/// wrong: "answer-bad-status" answers with a status that does not exist, "answer-ok-without-writing" answers a
/// conversion Ok without doing it, "huge-progress" and "negative-progress" report such pixels first, "oversize-frame"
/// starts a frame longer than any reply.
WorkerEngine::Options testEngineOptions();

/// What a batch run by runBatch reported: each job's reason (empty when written) and detail, in the
/// jobs' order, and the order the jobs started in.
struct BatchResult {
    QStringList errors;
    QStringList details;
    /// Where each written picture went, as the engine reported it; empty for the others.
    QStringList targets;
    QList<int> started;
    bool done = false;
};

/// Runs a batch on engine and waits up to two minutes for it to end; onStart hears each job start.
BatchResult runBatch(PictureEngine& engine, const QList<ConvertJob>& jobs,
                     const std::function<void(int)>& onStart = {});

#pragma once

#include "WorkerEngine.h"

/// Options for an engine on the tests' build of the worker. A source path containing "stall-here"
/// makes that worker's job never finish and show no sign of life; "stall-writing" stops it once its
/// output's temporary file is partly written; "stall-answering" once its output is complete, before it
/// answers; "slow-here" shows signs of life for a few seconds before the job starts.
WorkerEngine::Options testEngineOptions();

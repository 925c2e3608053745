#pragma once

#include "WorkerEngine.h"

/// A path containing this never finishes in the tests' workers: for time limits and killed workers.
inline constexpr char16_t stallMarker[] = u"stall-here";

/// Options for an engine on the worker built beside the tests, which stalls on stallMarker.
WorkerEngine::Options testEngineOptions();

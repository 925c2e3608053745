#pragma once

#include "WorkerEngine.h"

/// Paths containing these make the tests' worker misbehave: a job never finishes and shows no sign of
/// life; a job stops once its output's temporary file is partly written; a job stops once its
/// output is complete, before it answers; a job shows signs of life for a few seconds before it starts.
inline constexpr char16_t stallMarker[] = u"stall-here";
inline constexpr char16_t stallWritingMarker[] = u"stall-writing";
inline constexpr char16_t stallAnsweringMarker[] = u"stall-answering";
inline constexpr char16_t slowMarker[] = u"slow-here";

/// Options for an engine on the tests' build of the worker, which honours the markers.
WorkerEngine::Options testEngineOptions();

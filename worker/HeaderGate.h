// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/OutputFormat.h"
#include "worker/Source.h"

#include <QSize>

#include <optional>

/// The least the picture is read at for an output that stores it small (an icon); an invalid size for
/// the picture as it is.
QSize hintFor(std::optional<OutputFormat::Index> format);

/// The one gate every picture passes before any of it is decoded: the sizes its header declares,
/// against the worker's limits. Returns the pixels the job will hold, for the window to admit it by;
/// throws a Failure for a picture beyond the limits or whose header cannot be read. format is the
/// output's, nothing for a preview.
qint64 gate(const Source& source, std::optional<OutputFormat::Index> format);

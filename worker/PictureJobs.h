// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Naming.h"
#include "ipc/Protocol.h"
#include "worker/JobHooks.h"
#include "worker/Source.h"

#include <QByteArray>
#include <QSize>
#include <QString>

/// The work kalvorin-worker does, one picture at a time. Only the worker links this.
namespace PictureJobs {

/// Sets ImageMagick's resource limits for this process: one thread, a bounded list of frames, and
/// pixelMemory bytes of pixels in memory (and as much mapped) before the rest goes to disk. Picture
/// sizes and the most memory any job may have come from the policy the worker was started with.
void limitResources(qint64 pixelMemory);

struct Preview {
    Protocol::Status status = Protocol::Status::Ok;
    QSize size;
    /// Rows of 8-bit RGBA, top to bottom.
    QByteArray rgba;
};

/// The first frame of the picture the window opened as file (path is its name), upright, in sRGB,
/// scaled down to fit inside box.
Preview preview(const OpenedSource& file, const QString& path, QSize box, const Hooks& hooks = {});

/// One picture to convert, as the wire carries it and its reader checked it.
using ConvertRequest = Protocol::ConvertRequest;

/// Converts the picture the window opened as file, the request's source. The temporary file is created here, in the
/// request's folder descriptor, never through a link and never over an existing file; it is synced and moved to
/// finalName, which it replaces only when the request says so (a link of that name is replaced, not followed). When
/// another file has that name the output takes the source's first free numbered name; hooks.renamed
/// hears which. On any failure the temporary file is removed again. detail receives the library's or
/// the system's own words.
Protocol::Status convert(const OpenedSource& file, const ConvertRequest& request, const Hooks& hooks, QString* detail);

/// For a worker that must end now, from any thread: removes the output being written, if any, and
/// keeps every job from creating or naming a file from then on. Returns at once when no file is being
/// created or moved.
void abandonOutput();

} // namespace PictureJobs

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "ipc/LongPath.h"

#include <QByteArray>
#include <QString>

/// A picture's bytes and the decoder they are for, judged by their content.
struct Source {
    QByteArray bytes;
    QByteArray coder;
};

/// A picture's file as the window opened it for the worker, or the error the opening met.
struct OpenedSource {
    LongPath::Fd file;
    int error = 0;
};

/// The file, read whole (never a pipe or a device, never more than a gibibyte) and sniffed; path is
/// its name, for the one format known by its name alone. Throws a Failure when it could not be opened
/// or read, or is no picture of an allowed format.
Source readSource(const OpenedSource& file, const QString& path);

/// The decoder for bytes, judged by their content (the name only for TGA, which has no signature), or
/// an empty string when they are not a picture of an allowed raster format.
QByteArray sniffCoder(const QByteArray& bytes, const QString& path);

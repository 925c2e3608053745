// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>

/// A picture's bytes and the decoder they are for, judged by their content.
struct Source {
    QByteArray bytes;
    QByteArray coder;
};

/// The file at path, read whole (never a pipe or a device, never more than a gibibyte) and sniffed;
/// throws a Failure when it cannot be read or is no picture of an allowed format.
Source readSource(const QString& path);

/// The decoder for bytes, judged by their content (the name only for TGA, which has no signature), or
/// an empty string when they are not a picture of an allowed raster format.
QByteArray sniffCoder(const QByteArray& bytes, const QString& path);

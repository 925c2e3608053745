#pragma once

#include "Protocol.h"

#include <QByteArray>
#include <QSize>
#include <QString>

/// The work kalvorin-worker does, one picture at a time. Only the worker links this.
namespace PictureJobs {

/// Sets ImageMagick's resource limits for this process: one thread, bounded memory and picture size.
void limitResources();

/// The decoder for bytes, judged by their content (the name only for TGA, which has no signature), or
/// an empty string when they are not a picture of an allowed raster format.
QByteArray sniffCoder(const QByteArray& bytes, const QString& path);

struct Preview {
    Protocol::Status status = Protocol::Status::Ok;
    QSize size;
    /// Rows of 8-bit RGBA, top to bottom.
    QByteArray rgba;
};

/// The first frame of the picture at path, upright, in sRGB, scaled down to fit inside box.
Preview preview(const QString& path, QSize box);

/// Writes the picture at source to target in the output format of formatIndex, through a temporary
/// file in target's folder. detail receives ImageMagick's own words on a failure.
Protocol::Status convert(const QString& source, const QString& target, int formatIndex, QString* detail);

} // namespace PictureJobs

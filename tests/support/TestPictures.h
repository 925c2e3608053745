// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <Magick++.h>

#include <QImage>
#include <QString>

#include <list>
#include <string>

/// Pictures made and checked for the tests, through ImageMagick but never through its file-name
/// parsing: bytes are read and written here.
namespace TestPictures {

void initialise();

/// A camera-like picture: smooth gradients with noise.
Magick::Image photo(size_t width, size_t height);
/// A picture split into a left and a right colour.
Magick::Image halves(size_t width, size_t height, const std::string& left, const std::string& right);
/// A square of colour with a fully transparent border of the given width around it.
Magick::Image framedByTransparency(size_t size, size_t border, const std::string& colour);

/// Encodes picture with coder (an ImageMagick format name) and writes the bytes to path.
void save(Magick::Image picture, const QString& path, const std::string& coder);
void saveFrames(std::list<Magick::Image> frames, const QString& path, const std::string& coder);
void saveBytes(const QString& path, const QByteArray& bytes);
QByteArray bytesOf(const QString& path);

/// A PNG whose header says width x height, with pixels for a few rows only, as small as a
/// decompression bomb and refused, when it is, before its pixels are read.
QByteArray pngOfSize(quint32 width, quint32 height);

/// What an EXIF block made for the tests says.
struct Exif {
    bool bigEndian = true;
    int orientation = 6;
    /// Both longer than four bytes, so that they stand after the directory.
    QByteArray make = "Kalvorin Test Camera";
    /// None when empty.
    QByteArray dateTimeOriginal = "2020:01:02 03:04:05";
    /// With a thumbnail directory after the first, as cameras write.
    bool thumbnail = false;
    /// The orientation as written: a SHORT (3) as the standard has it, or a LONG (4) or SLONG (9) as
    /// some cameras write it; count values of it.
    quint16 orientationType = 3;
    quint32 orientationCount = 1;
    /// Without it, the first directory (and the thumbnail's, when asked) only.
    bool exifDirectory = true;
    /// A GainControl entry of this type (the standard's is SHORT, 3; any other is written as a
    /// RATIONAL's eight bytes); none when 0.
    quint16 gainControlType = 0;
    /// Every entry exiftool's validation asks of a JPEG's or a TIFF's EXIF, and a real thumbnail.
    bool complete = false;
};

/// An EXIF block as a JPEG's APP1 segment holds it after "Exif\0\0": a TIFF header, the first
/// directory (make, orientation, EXIF directory), the EXIF directory (the time of the picture) and,
/// when asked, a thumbnail directory.
QByteArray exifBlock(const Exif& exif);
/// A JPEG's bytes with an APP1 segment of the given payload ("Exif\0\0..." or an XMP packet's).
QByteArray withApp1(const QByteArray& jpeg, const QByteArray& payload);
/// Adds an EXIF block saying "turn a quarter clockwise to show" (orientation 6) to a JPEG's bytes.
QByteArray withExifRotation(const QByteArray& jpeg);
/// A PNG's bytes with one more chunk right after its header chunk.
QByteArray withPngChunk(const QByteArray& png, const char* type, const QByteArray& data);

/// The frames of the picture at path, decoded from its bytes by their content.
std::list<Magick::Image> load(const QString& path);
/// ImageMagick's name for the format of the bytes at path ("PNG", "JPEG", "ICO", ...).
std::string formatOf(const QString& path);

/// Every page of the TIFF at path as libtiff's RGBA reader sees it, the way most programs read TIFFs,
/// with colour divided by alpha again; nothing when libtiff cannot read it.
QList<QImage> tiffPages(const QString& path);

/// The picture as 8-bit RGBA.
QImage toQImage(const Magick::Image& picture);
/// The largest difference of any channel of any pixel, 0 to 255.
int maxDifference(const QImage& a, const QImage& b);
/// The mean difference per channel, 0 to 255.
double meanDifference(const QImage& a, const QImage& b);

} // namespace TestPictures

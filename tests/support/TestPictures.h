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

/// Adds an EXIF block saying "turn a quarter clockwise to show" (orientation 6) to a JPEG's bytes.
QByteArray withExifRotation(const QByteArray& jpeg);

/// The frames of the picture at path, decoded from its bytes by their content.
std::list<Magick::Image> load(const QString& path);
/// ImageMagick's name for the format of the bytes at path ("PNG", "JPEG", "ICO", ...).
std::string formatOf(const QString& path);

/// The picture as 8-bit RGBA.
QImage toQImage(const Magick::Image& picture);
/// The largest difference of any channel of any pixel, 0 to 255.
int maxDifference(const QImage& a, const QImage& b);
/// The mean difference per channel, 0 to 255.
double meanDifference(const QImage& a, const QImage& b);

} // namespace TestPictures

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>

/// The seven output formats, indexed by the format button's member index.
namespace OutputFormat {
inline constexpr int Count = 7;
enum Index : int { Jpg = 0, Bmp = 1, Gif = 2, Pcx = 3, Png = 4, Ico = 5, Tiff = 6 };

/// ".jpg", ".bmp", ... for a valid index; empty otherwise.
QString extension(int index);
/// The format button's caption, "JPG保存路径" and so on.
QString caption(int index);
} // namespace OutputFormat

/// The file name of path without its last extension: "/p/scan.tiff" gives "scan", "README" stays
/// "README", ".hidden" stays ".hidden". Never fails.
QString Getfn(const QString& path);

/// Joins a folder and a file name with exactly one "/" ("/" + "x.gif" is "/x.gif").
QString joinPath(const QString& folder, const QString& fileName);

/// Where the entry lands in folder when converted with the format of index.
QString outputPath(const QString& folder, const QString& entry, OutputFormat::Index format);

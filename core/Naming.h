// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/OutputFormat.h"

#include <QString>

/// The file name of path without its last extension: "/p/scan.tiff" gives "scan", "README" stays
/// "README", ".hidden" stays ".hidden". Never fails.
QString Getfn(const QString& path);

/// Joins a folder and a file name with exactly one "/" ("/" + "x.gif" is "/x.gif").
QString joinPath(const QString& folder, const QString& fileName);

/// The most bytes a file name may hold (NAME_MAX of Linux's file systems).
inline constexpr qsizetype maxNameBytes = 255;

/// base + suffix as a file name of at most maxNameBytes bytes in the file system's encoding: base
/// gives up whole characters from its end where needed, suffix (" (2).png") stays whole.
QString fittedName(const QString& base, const QString& suffix);

/// Where the entry lands in folder when converted with the format of index; a name too long for the
/// file system is shortened, keeping its extension.
QString outputPath(const QString& folder, const QString& entry, OutputFormat::Index format);

/// The entry's numbered file name for format: "name (n).ext", shortened like outputPath's. An output
/// whose plain name is taken gets the first of these that is free.
QString numberedName(const QString& entry, OutputFormat::Index format, int n);

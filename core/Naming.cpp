// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Naming.h"

#include <QFile>

#include <array>

QString Getfn(const QString& path)
{
    const QString name = path.mid(path.lastIndexOf(u'/') + 1);
    // A dot in front is part of a hidden file's name, not an extension.
    const qsizetype dot = name.lastIndexOf(u'.');
    return dot > 0 ? name.left(dot) : name;
}

QString joinPath(const QString& folder, const QString& fileName)
{
    if (folder.endsWith(u'/'))
        return folder + fileName;
    return folder + u'/' + fileName;
}

QString fittedName(const QString& base, const QString& suffix)
{
    const qsizetype room = maxNameBytes - QFile::encodeName(suffix).size();
    if (QFile::encodeName(base).size() <= room)
        return base + suffix;
    // Code point by code point, so that a character outside the BMP never loses half its surrogate
    // pair (which the encoder would write as "?").
    qsizetype end = 0;
    qsizetype bytes = 0;
    while (end < base.size()) {
        const qsizetype next = end + (base[end].isHighSurrogate() && end + 1 < base.size() ? 2 : 1);
        const qsizetype width = QFile::encodeName(base.mid(end, next - end)).size();
        if (bytes + width > room)
            break;
        bytes += width;
        end = next;
    }
    return base.left(end) + suffix;
}

QString outputPath(const QString& folder, const QString& entry, OutputFormat::Index format)
{
    return joinPath(folder, fittedName(Getfn(entry), OutputFormat::extension(format)));
}

QString numberedName(const QString& entry, OutputFormat::Index format, int n)
{
    return fittedName(Getfn(entry), QStringLiteral(" (%1)%2").arg(QString::number(n), OutputFormat::extension(format)));
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/Parsefn.h"

QStringList Parsefn(const QString& result)
{
    QStringList parts = result.split(QChar(u'\0'));
    if (parts.size() > 1) {
        // A folder of several names ends in "/" only when it is a root ("/" or "C:/"). An empty folder
        // means the names are full paths already.
        if (!parts[0].isEmpty() && !parts[0].endsWith(u'/'))
            parts[0] += u'/';
        return parts;
    }
    const QString& path = parts[0];
    const qsizetype cut = path.lastIndexOf(u'/') + 1;
    return {path.left(cut), path.mid(cut)};
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QStringList>

/// Splits the open dialog's result into the folder and the picked file names.
///
/// The result is either one full path or the folder followed by each file name, all separated by
/// U+0000. Element 0 of the answer is the folder, ending in "/" unless it is empty; elements 1 and up
/// are the names in the order the dialog gave them. Any number of names is accepted.
QStringList Parsefn(const QString& result);

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/BatchPlan.h"

/// What the disk says of path: whether something has that name, and which file it is by device and
/// inode, so that a file reached through a symlinked folder, a hard link or a bind mount is known as
/// the same file. Paths of any length.
FileFacts lookUpFile(const QString& path);

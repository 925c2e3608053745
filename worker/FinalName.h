// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>

/// The last step of writing an output: its finished temporary file moved to the final name, in the
/// output folder's descriptor, without replacing a file nobody agreed to replace. Another program, or
/// a second window, may create that name at any moment; the kernel decides who has it.
namespace FinalName {

/// How a move keeps from replacing anything, best first: the kernel's RENAME_NOREPLACE; a hard link
/// made only where no name is, for file systems without it (NFS); a look before an ordinary rename,
/// for file systems without either, where another program can still create the name in between.
enum class Way { NoReplaceRename, HardLink, LookFirst };

enum class Outcome {
    Moved,
    /// Something has the name; from is left as it was.
    Taken,
    /// The file system cannot move this way; from is left as it was.
    Unsupported,
    /// errno says why; from is left as it was.
    Failed,
};

/// Moves from to to, both names in folder, in one way.
Outcome move(int folder, const QByteArray& from, const QByteArray& to, Way way);

/// Moves from to to in folder: over whatever has the name when replace says so (a link is replaced,
/// never followed), else in the best way the file system has.
Outcome place(int folder, const QByteArray& from, const QByteArray& to, bool replace);

} // namespace FinalName

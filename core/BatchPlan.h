// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "core/Naming.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

/// What the disk says of a path, as far as planning a batch needs it.
struct FileFacts {
    /// Something has this name: a file, a folder or a link, even one that points nowhere.
    bool exists = false;
    /// It is a folder (or a link to one), which no output may take the place of.
    bool isFolder = false;
    /// Equal for two paths that reach the same file, however they spell it: a symlinked folder, a hard
    /// link or a bind mount. For a path that reaches nothing, its folder's real path and its name.
    QString identity;
};

/// Looks a path up on the disk.
using FileLookup = std::function<FileFacts(const QString& path)>;

/// What to do with outputs whose plain name is taken by a file that was in the folder before the batch
/// and is none of its sources.
enum class ExistingFiles {
    /// The output replaces the file.
    Replace,
    /// The output gets a numbered name; the file stays.
    KeepBoth,
    /// The entry is not converted.
    Skip,
};

/// One list entry of a batch and the file it is written to.
struct PlannedOutput {
    /// Why the target is not the plain name.
    enum class Renamed {
        No,
        /// An earlier entry of the batch takes the plain name.
        SameNameAsAnotherEntry,
        /// The plain name is one of the batch's own sources, however it is reached.
        SameFileAsASource,
        /// A file that was in the folder before has the plain name (kept at the user's word).
        AlreadyInTheFolder,
        /// Not the plan's doing: a file of the planned name appeared while the batch ran, and the output
        /// took the next free number instead of replacing it.
        NameTakenWhileConverting,
    };

    QString source;
    QString target;
    Renamed renamed = Renamed::No;
    /// The plain name is taken by a file that was there before and is none of the sources: the output
    /// replaces it (ExistingFiles::Replace) or the entry is skipped (ExistingFiles::Skip).
    bool replacesExisting = false;
    /// The entry is not converted.
    bool skipped = false;
    /// The index of an earlier entry that is the same file, however it is reached, or -1. The entry is
    /// not converted: the earlier one's output is its output, and target is that output's planned path.
    int repeats = -1;
};

/// A lookup that knows nothing of the disk: nothing exists, and paths are the same file when their
/// text is the same but for case. For plans made without a disk, as in the tests.
FileFacts lookUpNothing(const QString& path);

/// Maps every entry, in order, to its output path in folder for format.
///
/// An entry that is the same file as an earlier one repeats it and is written once. No output of the
/// batch overwrites another one, nor any of the batch's sources, however they are reached: the later
/// entry gets "name (2).ext", "name (3).ext", ... A numbered name is never one that
/// exists. A file already in the folder under a plain name is handled as existing says. Names that
/// differ only in case are the same name, so nothing is lost on a case-insensitive disk.
QList<PlannedOutput> planBatch(const QStringList& entries, const QString& folder, OutputFormat::Index format,
                               const FileLookup& lookup = lookUpNothing,
                               ExistingFiles existing = ExistingFiles::Replace);

/// The entries of plan whose plain name is taken by a file already in the folder.
QList<PlannedOutput> replacedFiles(const QList<PlannedOutput>& plan);

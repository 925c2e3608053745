#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

/// One list entry of a batch and the file it is written to.
struct PlannedOutput {
    QString source;
    QString target;
    /// The target got a numbered name because its plain name was taken by another output of the batch
    /// or by one of the batch's own sources.
    bool renamed = false;
};

/// Maps every entry, in order, to its output path in folder for the format of formatIndex.
///
/// No output of the batch overwrites another one, nor any of the batch's sources: the later entry gets
/// "name (2).ext", "name (3).ext", ... A numbered name also skips files for which existsOnDisk answers
/// true, so only a plain name replaces a file already in the folder. Paths are compared without regard
/// to case, so nothing is lost on a case-insensitive disk.
QList<PlannedOutput> planBatch(const QStringList& entries, const QString& folder, int formatIndex,
                               const std::function<bool(const QString&)>& existsOnDisk = {});

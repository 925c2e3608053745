// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "client/Desktop.h"
#include "core/BatchPlan.h"

#include <QList>
#include <QString>

/// How a batch ended, as the completion message tells it.
struct ConversionReport {
    struct Failure {
        QString source;
        QString reason;
        /// The decoder's or the system's own words, when there are any.
        QString detail;
    };
    struct Rename {
        QString source;
        QString target;
        PlannedOutput::Renamed why = PlannedOutput::Renamed::No;
    };
    struct Skip {
        QString source;
        QString target;
    };
    /// An entry that is the same file as an earlier one, and was not converted again.
    struct Repeat {
        QString source;
        /// Where the earlier entry's picture was written; empty when it was not.
        QString target;
    };

    QString folder;
    /// The pictures the batch was to write: every entry but the skipped and repeated ones.
    int total = 0;
    int written = 0;
    bool cancelled = false;
    QList<Failure> failures;
    QList<Rename> renames;
    QList<Skip> skipped;
    QList<Repeat> repeats;

    /// The completion message: success only when every picture was written. A repeated entry is no
    /// failure: its file was written once, under the earlier entry's name.
    Message message() const;
};

#pragma once

#include "Desktop.h"

#include <QList>
#include <QString>

/// How a batch ended, as the completion message tells it.
struct ConversionReport {
    struct Failure {
        QString source;
        QString reason;
    };
    struct Rename {
        QString source;
        QString target;
    };

    QString folder;
    int total = 0;
    int written = 0;
    bool cancelled = false;
    QList<Failure> failures;
    QList<Rename> renames;

    /// The completion message: success only when every picture was written.
    Message message() const;
};

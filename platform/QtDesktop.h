#pragma once

#include "Desktop.h"

#include <memory>

class QFileDialog;

/// The desktop services through Qt's dialogs, QMessageBox and QDesktopServices.
class QtDesktop final : public Desktop {
public:
    std::optional<QString> openFiles(QWidget* parent, const FileFilter& filter) override;
    QString browseFolder(QWidget* parent, const QString& title) override;
    void showMessage(QWidget* parent, const Message& message) override;
    bool openFolder(const QString& folder) override;
};

/// The Qt name filter that shows description as it stands but filters by patterns without regard to
/// case ("*.jpg" shows IMG_0001.JPG). Exposed for the tests.
QString caseInsensitiveNameFilter(const FileFilter& filter);

/// The open dialog, set up for filter and several existing files, links returned as themselves.
/// Exposed for the tests.
std::unique_ptr<QFileDialog> makeOpenDialog(QWidget* parent, const FileFilter& filter);

/// Packs the dialog's picked paths into one result: the path itself for one file, otherwise the folder
/// and each name separated by U+0000. Exposed for the tests.
QString packDialogResult(const QStringList& paths);

#include "QtDesktop.h"

#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QUrl>

QString caseInsensitiveNameFilter(const FileFilter& filter)
{
    QStringList globs;
    for (const QString& pattern : filter.patterns) {
        QString glob;
        for (const QChar c : pattern) {
            if (c.isLetter() && c.toLower() != c.toUpper())
                glob += u'[' + QString(c.toLower()) + QString(c.toUpper()) + u']';
            else
                glob += c;
        }
        globs.append(glob);
    }
    // With HideNameFilterDetails the dialog shows the text before the last parenthesis, which is the
    // description exactly as given.
    return filter.description + QStringLiteral(" (") + globs.join(u' ') + u')';
}

QString packDialogResult(const QStringList& paths)
{
    if (paths.size() == 1)
        return paths.first();
    const QString folder = QFileInfo(paths.first()).absolutePath();
    QStringList parts{folder};
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.absolutePath() != folder) {
            // Names typed with their own folders can come from several places: an empty folder part
            // followed by full paths still gives one full path per name.
            return QString(QChar(u'\0')) + paths.join(QChar(u'\0'));
        }
        parts.append(info.fileName());
    }
    return parts.join(QChar(u'\0'));
}

std::unique_ptr<QFileDialog> makeOpenDialog(QWidget* parent, const FileFilter& filter)
{
    auto dialog = std::make_unique<QFileDialog>(parent);
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setOption(QFileDialog::DontResolveSymlinks);
    dialog->setOption(QFileDialog::HideNameFilterDetails);
    const QString pictures = caseInsensitiveNameFilter(filter);
    // The second filter lets WebP or HEIC photos be picked without typing their names.
    dialog->setNameFilters({pictures, QStringLiteral("所有文件 (*)")});
    dialog->selectNameFilter(pictures);
    return dialog;
}

std::optional<QString> QtDesktop::openFiles(QWidget* parent, const FileFilter& filter)
{
    const std::unique_ptr<QFileDialog> dialog = makeOpenDialog(parent, filter);
    if (dialog->exec() != QDialog::Accepted)
        return std::nullopt;
    const QStringList paths = dialog->selectedFiles();
    if (paths.isEmpty())
        return std::nullopt;
    return packDialogResult(paths);
}

QString QtDesktop::browseFolder(QWidget* parent, const QString& title)
{
    const QString folder = QFileDialog::getExistingDirectory(parent, title, QString(), QFileDialog::ShowDirsOnly);
    if (folder.isEmpty() || !QFileInfo(folder).isDir())
        return {};
    return QDir::cleanPath(folder);
}

void QtDesktop::showMessage(QWidget* parent, const Message& message)
{
    const auto icon = message.icon == Message::Icon::Warning ? QMessageBox::Warning : QMessageBox::Information;
    QMessageBox box(icon, message.title, message.text, QMessageBox::Ok, parent);
    if (!message.details.isEmpty())
        box.setDetailedText(message.details);
    box.exec();
}

bool QtDesktop::openFolder(const QString& folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

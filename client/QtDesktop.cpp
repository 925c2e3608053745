// SPDX-License-Identifier: GPL-3.0-or-later
#include "client/QtDesktop.h"

#include <QAbstractItemView>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileIconProvider>
#include <QFileInfo>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPushButton>
#include <QSettings>
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

QStringList typedNames(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (!trimmed.startsWith(u'"'))
        return trimmed.isEmpty() ? QStringList() : QStringList{trimmed};
    QStringList names;
    qsizetype at = 0;
    while (at < trimmed.size()) {
        const qsizetype open = trimmed.indexOf(u'"', at);
        if (open < 0)
            break;
        qsizetype close = trimmed.indexOf(u'"', open + 1);
        if (close < 0)
            close = trimmed.size();
        const QString name = trimmed.mid(open + 1, close - open - 1);
        if (!name.isEmpty())
            names.append(name);
        at = close + 1;
    }
    return names;
}

namespace {
// The dialog's "类型" column: Qt's own words for it are not translated ("Folder", "png File");
// the MIME database's descriptions are, in the program's language.
class ChineseTypes final : public QFileIconProvider {
public:
    QString type(const QFileInfo& info) const override
    {
        if (info.isDir())
            return QStringLiteral("文件夹");
        const QString comment = m_types.mimeTypeForFile(info).comment();
        return comment.isEmpty() ? QFileIconProvider::type(info) : comment;
    }

private:
    QMimeDatabase m_types;
};
} // namespace

OpenDialog::OpenDialog(QWidget* parent, const FileFilter& filter)
    : QFileDialog(parent)
    , m_types(std::make_unique<ChineseTypes>())
{
    // Qt's own dialog on every desktop: it speaks Chinese with the program, and it is the one whose
    // typed names are kept as typed.
    setOption(QFileDialog::DontUseNativeDialog);
    // Any file, so that a typed name of a missing file is taken; the views still pick several.
    setFileMode(QFileDialog::AnyFile);
    setAcceptMode(QFileDialog::AcceptOpen);
    setOption(QFileDialog::DontResolveSymlinks);
    setOption(QFileDialog::HideNameFilterDetails);
    setIconProvider(m_types.get());
    for (QAbstractItemView* view : findChildren<QAbstractItemView*>())
        view->setSelectionMode(QAbstractItemView::ExtendedSelection);
    const QString pictures = caseInsensitiveNameFilter(filter);
    // The second filter lets WebP or HEIC photos be picked without typing their names.
    setNameFilters({pictures, QStringLiteral("所有文件 (*)")});
    selectNameFilter(pictures);
}

OpenDialog::~OpenDialog() = default;

void OpenDialog::accept()
{
    auto* field = findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    const QStringList names = field ? typedNames(field->text()) : QStringList();
    if (names.isEmpty())
        return;
    QStringList paths;
    for (QString name : names) {
        if (name == u'~' || name.startsWith(QStringLiteral("~/")))
            name = QDir::homePath() + name.mid(1);
        paths.append(QDir::cleanPath(directory().absoluteFilePath(name)));
    }
    if (paths.size() == 1 && QFileInfo(paths.first()).isDir()) {
        setDirectory(paths.first());
        field->clear();
        return;
    }
    m_chosen = paths;
    QDialog::accept();
}

std::optional<QString> QtDesktop::openFiles(QWidget* parent, const FileFilter& filter, const QString& startFolder)
{
    OpenDialog dialog(parent, filter);
    if (!startFolder.isEmpty() && QFileInfo(startFolder).isDir())
        dialog.setDirectory(startFolder);
    if (dialog.exec() != QDialog::Accepted || dialog.chosenFiles().isEmpty())
        return std::nullopt;
    return packDialogResult(dialog.chosenFiles());
}

QString QtDesktop::browseFolder(QWidget* parent, const QString& title, const QString& startFolder)
{
    const QString start = QFileInfo(startFolder).isDir() ? startFolder : QString();
    const QString folder = QFileDialog::getExistingDirectory(parent, title, start, QFileDialog::ShowDirsOnly);
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

int QtDesktop::ask(QWidget* parent, const Question& question)
{
    QMessageBox box(QMessageBox::Question, question.title, question.text, QMessageBox::NoButton, parent);
    if (!question.details.isEmpty())
        box.setDetailedText(question.details);
    QList<QAbstractButton*> buttons;
    for (qsizetype i = 0; i < question.answers.size(); ++i) {
        // Roles only place the buttons; what each does is its index.
        const QMessageBox::ButtonRole role = i == question.escapeAnswer    ? QMessageBox::RejectRole
                                             : i == question.defaultAnswer ? QMessageBox::AcceptRole
                                                                           : QMessageBox::ActionRole;
        buttons.append(box.addButton(question.answers[i], role));
    }
    if (auto* preferred = qobject_cast<QPushButton*>(buttons.value(question.defaultAnswer)))
        box.setDefaultButton(preferred);
    box.setEscapeButton(buttons.value(question.escapeAnswer));
    box.exec();
    const qsizetype chosen = buttons.indexOf(box.clickedButton());
    return chosen >= 0 ? int(chosen) : question.escapeAnswer;
}

bool QtDesktop::openFolder(const QString& folder)
{
    return QDesktopServices::openUrl(QUrl::fromLocalFile(folder));
}

QString QtDesktop::remembered(const QString& key) const
{
    return QSettings().value(key).toString();
}

void QtDesktop::remember(const QString& key, const QString& value)
{
    QSettings().setValue(key, value);
}

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QString>
#include <QStringList>

#include <optional>

class QWidget;

/// A message for the modal message box.
struct Message {
    enum class Icon { Information, Warning };
    Icon icon = Icon::Information;
    QString title;
    QString text;
    /// Shown behind the box's "details" button when not empty.
    QString details;
};

/// A question for a modal message box with a button for each answer.
struct Question {
    QString title;
    QString text;
    /// Shown behind the box's "details" button when not empty.
    QString details;
    /// The buttons' captions, in the order they are shown.
    QStringList answers;
    /// The answer Enter gives.
    int defaultAnswer = 0;
    /// The answer Escape and closing the box give.
    int escapeAnswer = 0;
};

/// A filter of the open dialog: the description as shown and the patterns it filters by.
struct FileFilter {
    QString description;
    QStringList patterns;
};

/// The desktop services the window uses: its dialogs, the message box and the file manager.
class Desktop {
public:
    virtual ~Desktop() = default;

    /// Shows the modal multiple-selection open dialog. On OK returns one full path, or the folder
    /// followed by each picked name, all separated by U+0000: every name picked or typed, in the order
    /// typed, whether or not the filter shows it and whether or not it exists. Returns nothing on Cancel
    /// or when the dialog fails.
    /// The dialog starts in startFolder when it is not empty.
    virtual std::optional<QString> openFiles(QWidget* parent, const FileFilter& filter,
                                             const QString& startFolder = {}) = 0;

    /// Shows the modal folder browser (folders only), starting in startFolder when it is not empty.
    /// Returns the chosen folder, or an empty string on Cancel or when the chosen item is not a folder
    /// on disk.
    virtual QString browseFolder(QWidget* parent, const QString& title, const QString& startFolder = {}) = 0;

    /// A value kept across runs of the program under key; empty when none was kept.
    virtual QString remembered(const QString& key) const = 0;
    /// Keeps value under key for later runs.
    virtual void remember(const QString& key, const QString& value) = 0;

    /// Shows a modal message box and returns when it is closed.
    virtual void showMessage(QWidget* parent, const Message& message) = 0;

    /// Asks question in a modal message box and returns the index of the answer chosen.
    virtual int ask(QWidget* parent, const Question& question) = 0;

    /// Opens folder in the desktop's file manager without waiting. Returns false when that fails.
    virtual bool openFolder(const QString& folder) = 0;
};

// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "client/Desktop.h"

#include <QMap>

#include <QList>

/// Desktop services for the tests: queued answers for the dialogs, and a record of every call.
class FakeDesktop final : public Desktop {
public:
    /// The open dialog's next answers, oldest first; an empty entry, or none left, is Cancel.
    QList<std::optional<QString>> openAnswers;
    /// The folder browser's next answers; an empty string, or none left, is Cancel.
    QStringList folderAnswers;
    bool openFolderSucceeds = true;
    /// The answers to the next questions, by index; an empty entry, or none left, is Enter (the default
    /// answer).
    QList<std::optional<int>> questionAnswers;

    QList<FileFilter> openCalls;
    QStringList browseTitles;
    QList<Message> messages;
    QList<Question> questions;
    QStringList openedFolders;

    /// The folders the dialogs started in, one for each call.
    QStringList openStartFolders;
    QStringList browseStartFolders;
    /// What remember() kept, as the next run of the program would find it.
    QMap<QString, QString> memory;

    std::optional<QString> openFiles(QWidget* parent, const FileFilter& filter,
                                     const QString& startFolder = {}) override;
    QString browseFolder(QWidget* parent, const QString& title, const QString& startFolder = {}) override;
    QString remembered(const QString& key) const override { return memory.value(key); }
    void remember(const QString& key, const QString& value) override { memory.insert(key, value); }
    void showMessage(QWidget* parent, const Message& message) override;
    int ask(QWidget* parent, const Question& question) override;
    bool openFolder(const QString& folder) override;
};

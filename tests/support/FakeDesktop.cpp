// SPDX-License-Identifier: GPL-3.0-or-later
#include "tests/support/FakeDesktop.h"

std::optional<QString> FakeDesktop::openFiles(QWidget*, const FileFilter& filter, const QString& startFolder)
{
    openCalls.append(filter);
    openStartFolders.append(startFolder);
    return openAnswers.isEmpty() ? std::nullopt : openAnswers.takeFirst();
}

QString FakeDesktop::browseFolder(QWidget*, const QString& title, const QString& startFolder)
{
    browseTitles.append(title);
    browseStartFolders.append(startFolder);
    return folderAnswers.isEmpty() ? QString() : folderAnswers.takeFirst();
}

void FakeDesktop::showMessage(QWidget*, const Message& message)
{
    messages.append(message);
}

bool FakeDesktop::openFolder(const QString& folder)
{
    openedFolders.append(folder);
    return openFolderSucceeds;
}

int FakeDesktop::ask(QWidget*, const Question& question)
{
    questions.append(question);
    const std::optional<int> answer = questionAnswers.isEmpty() ? std::nullopt : questionAnswers.takeFirst();
    return answer.value_or(question.defaultAnswer);
}

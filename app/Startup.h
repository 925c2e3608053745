// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

/// What the program does before its window exists: its command line, whether a window can open at
/// all, and the locale its interface is read in.
namespace Startup {

/// The command line: kalvorin [--help | --version] [FILE...].
struct Arguments {
    bool help = false;
    bool version = false;
    /// The files and folders to list, as given; "--" ends the options, so "--x.png" can be a file.
    QStringList files;
    /// What is wrong with the command line, in Chinese; empty when nothing is.
    QString error;
};

/// Reads arguments, the program's name left out.
Arguments parse(const QStringList& arguments);

/// What --help prints.
QString usage();

/// Why no window can open without trying, in one Chinese line: no display is named in environment
/// (DISPLAY, WAYLAND_DISPLAY) and no platform is chosen (QT_QPA_PLATFORM). Nothing when one may open.
std::optional<QString> missingDisplay(const QStringList& environment);

/// Until finish(), a platform that cannot open its display (a DISPLAY nobody answers) ends the
/// program with one line and exit status 1, instead of Qt's abort.
void exitQuietlyIfNoDisplay();
void finish();

/// The interface is Chinese whatever the user's locale, Qt's own dialogs included: they take their
/// dates and sizes from the locale the process has when Qt first reads it. The constructor sets the
/// environment's LC_ALL to Chinese for that reading; settle(), called once the application exists,
/// has Qt read it and gives the user's own back, so that programs started from the window (the file
/// manager of 立即查看) get the user's locale.
class InterfaceLocale {
public:
    InterfaceLocale();
    ~InterfaceLocale();
    InterfaceLocale(const InterfaceLocale&) = delete;
    InterfaceLocale& operator=(const InterfaceLocale&) = delete;

    void settle();

private:
    std::optional<QByteArray> m_userValue;
    bool m_settled = false;
};

} // namespace Startup

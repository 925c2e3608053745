// SPDX-License-Identifier: GPL-3.0-or-later
#include "Form1.h"
#include "QtDesktop.h"
#include "QuitSignals.h"
#include "WorkerEngine.h"

#include <QApplication>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>

int main(int argc, char* argv[])
{
    // Qt's dialogs write dates and sizes the way the process's locale settings say, whatever
    // QLocale::setDefault says; they are Chinese too.
    qputenv("LC_ALL", "zh_CN.UTF-8");
    QApplication app(argc, argv);
    // The interface is Chinese whatever the system's language, Qt's own dialogs included: their words
    // from Qt's translation, their dates and sizes from the locale.
    const QLocale chinese(QLocale::Chinese, QLocale::China);
    QLocale::setDefault(chinese);
    QTranslator qtTranslator;
    if (qtTranslator.load(chinese, QStringLiteral("qtbase"), QStringLiteral("_"),
                          QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        QApplication::installTranslator(&qtTranslator);
    // Settings go to ~/.config/Kalvorin/Kalvorin.conf.
    QApplication::setOrganizationName(QStringLiteral("Kalvorin"));
    QApplication::setApplicationName(QStringLiteral("Kalvorin"));
    QApplication::setApplicationVersion(QStringLiteral(KALVORIN_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("org.kalvorin.Kalvorin"));
    QIcon icon;
    for (const int size : {16, 32, 48, 256})
        icon.addFile(QStringLiteral(":/icons/kalvorin-%1.png").arg(size));
    QApplication::setWindowIcon(icon);

    QtDesktop desktop;
    WorkerEngine::Options options;
    options.workerPath = WorkerEngine::installedWorkerPath();
    WorkerEngine engine(options);
    Form1 window(desktop, engine);
    window.setWindowIcon(icon);
    // Logout, Ctrl+C and a closed terminal end a batch as "取消并退出" does, not mid-file.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &window, &Form1::quitNow);
    window.show();
    return app.exec();
}

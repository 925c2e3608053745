// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/MainWindow.h"
#include "app/QuitSignals.h"
#include "app/Startup.h"
#include "client/QtDesktop.h"
#include "client/WorkerEngine.h"

#include <QApplication>
#include <QFile>
#include <QIcon>
#include <QLibraryInfo>
#include <QLocale>
#include <QProcessEnvironment>
#include <QTranslator>

#include <cstdio>

namespace {
void print(std::FILE* stream, const QString& text)
{
    std::fputs(text.toLocal8Bit().constData(), stream);
}
} // namespace

int main(int argc, char* argv[])
{
    // Read before Qt, which needs a display even to print a version.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments.append(QFile::decodeName(argv[i]));
    const Startup::Arguments parsed = Startup::parse(arguments);
    if (!parsed.error.isEmpty()) {
        print(stderr, parsed.error + u'\n' + Startup::usage());
        return 2;
    }
    if (parsed.help || parsed.version) {
        print(stdout, parsed.help ? Startup::usage() : QStringLiteral("Kalvorin " KALVORIN_VERSION "\n"));
        return 0;
    }
    if (const std::optional<QString> missing =
            Startup::missingDisplay(QProcessEnvironment::systemEnvironment().toStringList())) {
        print(stderr, *missing + u'\n');
        return 1;
    }

    Startup::InterfaceLocale interfaceLocale;
    Startup::exitQuietlyIfNoDisplay();
    // Only the program's own name: the files were read above, and Qt takes no options from them.
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    Startup::finish();
    interfaceLocale.settle();
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
    MainWindow window(desktop, engine);
    window.setWindowIcon(icon);
    // Logout, Ctrl+C and a closed terminal end a batch as "取消并退出" does, not mid-file.
    QuitSignals quitSignals;
    QObject::connect(&quitSignals, &QuitSignals::quitRequested, &window, &MainWindow::quitNow);
    // Files given on the command line, as "Open with" of a file manager gives them.
    window.addFiles(parsed.files);
    window.show();
    return app.exec();
}

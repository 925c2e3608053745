// SPDX-License-Identifier: GPL-3.0-or-later
// kalvorin-test-owner SOURCE FOLDER COUNT: owns an engine as the window does and converts SOURCE to
// COUNT TIFFs in FOLDER, on as many workers. SIGTERM, SIGINT and SIGHUP cancel the batch, as the
// window's 取消并退出 does, and the program ends once it has stopped. For the tests that end the
// window's process from outside.
#include "app/QuitSignals.h"
#include "tests/support/TestEngine.h"

#include <QCoreApplication>

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 4)
        return 2;
    QuitSignals quit;
    WorkerEngine::Options options = testEngineOptions();
    const int count = arguments[3].toInt();
    options.poolSize = count;
    WorkerEngine engine(options);
    QObject::connect(&quit, &QuitSignals::quitRequested, &app, [&engine] { engine.cancelBatch(); });
    QList<ConvertJob> jobs;
    for (int i = 0; i < count; ++i)
        jobs.append({arguments[1], arguments[2] + QStringLiteral("/out%1.tiff").arg(i), OutputFormat::Tiff});
    BatchCallbacks callbacks;
    callbacks.done = [] { QCoreApplication::quit(); };
    engine.convertBatch(jobs, callbacks);
    return app.exec();
}

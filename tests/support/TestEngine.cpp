#include "TestEngine.h"

WorkerEngine::Options testEngineOptions()
{
    WorkerEngine::Options options;
    options.workerPath = QStringLiteral(KALVORIN_WORKER_PATH);
    options.environment.insert(QStringLiteral("KALVORIN_WORKER_STALL_ON"), QString::fromUtf16(stallMarker));
    return options;
}

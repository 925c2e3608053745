#include "TestEngine.h"

WorkerEngine::Options testEngineOptions()
{
    WorkerEngine::Options options;
    options.workerPath = QStringLiteral(KALVORIN_WORKER_PATH);
    return options;
}

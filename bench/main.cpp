// SPDX-License-Identifier: GPL-3.0-or-later
// kalvorin-bench: converts a batch of photo-like 12-megapixel JPEGs to each of the seven formats
// through the engine the window uses, then with `mogrify -format X -path DIR`, and prints the
// throughput, the output sizes and the peak memory of both.

#include "Naming.h"
#include "WorkerEngine.h"

#include <Magick++.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <random>
#include <unistd.h>

namespace {
QTextStream out(stdout);

// Smooth light and shade like a scene, with sensor noise on top.
void writePhoto(const QString& path, size_t width, size_t height, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_real_distribution<double> phase(0.0, 6.28);
    std::normal_distribution<double> noise(0.0, 5.0);
    const double a = phase(random), b = phase(random), c = phase(random);
    std::vector<unsigned char> pixels(width * height * 3);
    for (size_t y = 0; y < height; ++y) {
        for (size_t x = 0; x < width; ++x) {
            const double u = double(x) / double(width), v = double(y) / double(height);
            const double light = 0.6 + 0.4 * std::sin(2.3 * u + a) * std::cos(1.7 * v + b);
            const double base[3] = {200 * light * (0.7 + 0.3 * u), 180 * light * (0.8 + 0.2 * std::sin(5 * v + c)),
                                    220 * light * (1.0 - 0.5 * v)};
            for (int ch = 0; ch < 3; ++ch)
                pixels[(y * width + x) * 3 + size_t(ch)] =
                    static_cast<unsigned char>(std::clamp(base[ch] + noise(random), 0.0, 255.0));
        }
    }
    Magick::Image image;
    image.read(width, height, "RGB", MagickCore::CharPixel, pixels.data());
    image.quality(92);
    Magick::Blob blob;
    image.write(&blob, "JPEG");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        qFatal("cannot write %s", qPrintable(path));
    file.write(static_cast<const char*>(blob.data()), qint64(blob.length()));
}

qint64 residentKiB(qint64 pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return 0;
    for (const QByteArray& line : status.readAll().split('\n')) {
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').first().toLongLong();
    }
    return 0;
}

qint64 folderBytes(const QString& path)
{
    qint64 total = 0;
    for (const QFileInfo& info : QDir(path).entryInfoList(QDir::Files))
        total += info.size();
    return total;
}

// Samples the summed resident memory of some processes while a run goes on.
class MemoryWatch {
public:
    explicit MemoryWatch(std::function<QList<qint64>()> pids)
        : m_pids(std::move(pids))
    {
        QObject::connect(&m_timer, &QTimer::timeout, [this] { sample(); });
        m_timer.start(20);
    }
    void sample()
    {
        qint64 sum = 0;
        for (const qint64 pid : m_pids())
            sum += residentKiB(pid);
        m_peak = std::max(m_peak, sum);
    }
    qint64 peakMiB() const { return m_peak / 1024; }

private:
    std::function<QList<qint64>()> m_pids;
    QTimer m_timer;
    qint64 m_peak = 0;
};

struct Run {
    double seconds = 0;
    qint64 bytes = 0;
    int failed = 0;
    qint64 peakMiB = 0;
};

Run runKalvorin(WorkerEngine& engine, const QStringList& sources, const QString& folder, OutputFormat::Index format)
{
    QList<ConvertJob> jobs;
    for (const QString& source : sources)
        jobs.append({source, outputPath(folder, source, format), format});
    Run run;
    MemoryWatch memory([&] { return engine.workerProcessIds() << QCoreApplication::applicationPid(); });
    QEventLoop loop;
    BatchCallbacks callbacks;
    callbacks.finished = [&](int, const JobOutcome& outcome) { run.failed += outcome.written() ? 0 : 1; };
    callbacks.done = [&] { loop.quit(); };
    QElapsedTimer clock;
    clock.start();
    engine.convertBatch(jobs, callbacks);
    loop.exec();
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    memory.sample();
    run.peakMiB = memory.peakMiB();
    run.bytes = folderBytes(folder);
    return run;
}

Run runMogrify(const QStringList& sources, const QString& folder, const QString& extension)
{
    Run run;
    QProcess mogrify;
    mogrify.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    mogrify.setStandardErrorFile(QProcess::nullDevice());
    MemoryWatch memory([&] { return QList<qint64>{mogrify.processId()}; });
    QElapsedTimer clock;
    clock.start();
    mogrify.start(QStringLiteral("mogrify"),
                  QStringList{u"-format"_qs, extension.mid(1), u"-path"_qs, folder} + sources);
    while (!mogrify.waitForFinished(20))
        QCoreApplication::processEvents();
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.peakMiB = memory.peakMiB();
    run.bytes = folderBytes(folder);
    // mogrify leaves an empty file where its encoder refused the picture.
    int written = 0;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files))
        written += info.size() > 0 ? 1 : 0;
    run.failed = int(sources.size()) - written;
    return run;
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kalvorin's conversion benchmark"));
    parser.addHelpOption();
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Pictures in the batch."),
                                         QStringLiteral("n"), QStringLiteral("12"));
    const QCommandLineOption noMogrify(QStringLiteral("no-mogrify"), QStringLiteral("Skip the comparison runs."));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Runs of each side, the fastest kept."), QStringLiteral("n"),
                                          QStringLiteral("3"));
    const QCommandLineOption workersOption(QStringLiteral("workers"),
                                           QStringLiteral("Workers in Kalvorin's pool (0: as the program chooses)."),
                                           QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption formatsOption(QStringLiteral("formats"),
                                           QStringLiteral("Comma-separated extensions to run (default: all seven)."),
                                           QStringLiteral("list"));
    parser.addOptions({countOption, roundsOption, workersOption, formatsOption, noMogrify});
    parser.process(app);
    const int count = std::max(1, parser.value(countOption).toInt());
    const int rounds = std::max(1, parser.value(roundsOption).toInt());
    const bool compare =
        !parser.isSet(noMogrify) && !QStandardPaths::findExecutable(QStringLiteral("mogrify")).isEmpty();

    Magick::InitializeMagick(argv[0]);
    QTemporaryDir work;
    if (!work.isValid())
        qFatal("no temporary folder");
    const QDir root(work.path());
    root.mkdir(QStringLiteral("in"));
    QStringList sources;
    out << "Generating " << count << " photo-like 4000x3000 JPEGs..." << Qt::endl;
    for (int i = 0; i < count; ++i) {
        const QString path = root.filePath(QStringLiteral("in/photo-%1.jpg").arg(i, 2, 10, QChar(u'0')));
        writePhoto(path, 4000, 3000, unsigned(i + 1));
        sources.append(path);
    }

    WorkerEngine::Options options;
    options.workerPath = QStringLiteral(KALVORIN_WORKER_PATH);
    options.poolSize = parser.value(workersOption).toInt();
    WorkerEngine engine(options);
    const QStringList formats = parser.value(formatsOption).split(u',', Qt::SkipEmptyParts);
    out << "Workers: " << (options.poolSize > 0 ? QString::number(options.poolSize) : u"as the program chooses"_qs)
        << ", cores: " << QThread::idealThreadCount() << Qt::endl
        << Qt::endl;
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
               .arg(u"format"_qs, -7)
               .arg(u"kalvorin/s"_qs, 11)
               .arg(u"mogrify/s"_qs, 10)
               .arg(u"ratio"_qs, 7)
               .arg(u"kalvorin MB"_qs, 12)
               .arg(u"mogrify MB"_qs, 11)
               .arg(u"size"_qs, 6)
               .arg(u"peak MiB k/m"_qs, 13)
        << Qt::endl;
    qint64 peak = 0;
    for (int format = 0; format < OutputFormat::Count; ++format) {
        const QString extension = OutputFormat::extension(format);
        if (!formats.isEmpty() && !formats.contains(extension.mid(1)))
            continue;
        const QString ourFolder = root.filePath(QStringLiteral("k") + extension.mid(1));
        const QString theirFolder = root.filePath(QStringLiteral("m") + extension.mid(1));
        root.mkdir(ourFolder.section(u'/', -1));
        root.mkdir(theirFolder.section(u'/', -1));
        // Each side runs `rounds` times, alternating, and keeps its fastest run. The disk is synced
        // before each run, so that neither pays for writing back the other's files.
        Run k;
        Run m;
        for (int round = 0; round < rounds; ++round) {
            ::sync();
            const Run ours = runKalvorin(engine, sources, ourFolder, OutputFormat::Index(format));
            if (round == 0 || ours.seconds < k.seconds)
                k = ours;
            peak = std::max(peak, ours.peakMiB);
            if (compare) {
                ::sync();
                const Run theirs = runMogrify(sources, theirFolder, extension);
                if (round == 0 || theirs.seconds < m.seconds)
                    m = theirs;
            }
        }
        const bool mogrifyWrote = compare && m.failed == 0;
        const double kRate = (count - k.failed) / k.seconds;
        const double mRate = mogrifyWrote ? count / m.seconds : 0;
        out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
                   .arg(extension.mid(1), -7)
                   .arg(kRate, 11, 'f', 2)
                   .arg(mogrifyWrote ? QString::number(mRate, 'f', 2) : u"fails"_qs, 10)
                   .arg(mogrifyWrote ? QString::number(kRate / mRate, 'f', 2) : u"-"_qs, 7)
                   .arg(double(k.bytes) / 1e6, 12, 'f', 1)
                   .arg(mogrifyWrote ? QString::number(double(m.bytes) / 1e6, 'f', 1) : u"-"_qs, 11)
                   .arg(mogrifyWrote ? QString::number(double(k.bytes) / double(m.bytes), 'f', 3) : u"-"_qs, 6)
                   .arg(QStringLiteral("%1/%2").arg(k.peakMiB).arg(compare ? QString::number(m.peakMiB) : u"-"_qs), 13)
            << Qt::endl;
        if (k.failed > 0)
            out << "  " << k.failed << " pictures failed in Kalvorin's run" << Qt::endl;
        QDir(ourFolder).removeRecursively();
        QDir(theirFolder).removeRecursively();
    }
    out << Qt::endl << "Peak memory of Kalvorin's runs (program and workers): " << peak << " MiB" << Qt::endl;
    return 0;
}

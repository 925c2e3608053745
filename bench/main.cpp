// SPDX-License-Identifier: GPL-3.0-or-later
// kalvorin-bench: converts a batch of pictures (a folder of real ones with --input, or generated
// photo-like 12-megapixel JPEGs) to each of the seven formats through the engine the window uses,
// and in the same run, round for round, with the tools a person would try instead: mogrify,
// `xargs -P<cores> convert` (one process a picture) and `vips copy` (one process a picture, where
// vips writes the format). Prints time, pictures per second, ratios, output sizes and the peak
// memory of every side. With --preview it times the window's preview instead.

#include "client/WorkerEngine.h"
#include "core/Naming.h"

#include <Magick++.h>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QMultiHash>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <cstdio>
#include <optional>
#include <random>
#include <unistd.h>

namespace {
QTextStream out(stdout);

// Smooth light and shade like a scene, with sensor noise on top.
void writePhoto(const QString& path, size_t width, size_t height, unsigned seed, const std::string& coder = "JPEG")
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
    image.write(&blob, coder);
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

// The process and everything it started, as /proc tells them now.
QList<qint64> withDescendants(qint64 root)
{
    QMultiHash<qint64, qint64> children;
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool isPid = false;
        const qint64 pid = entry.toLongLong(&isPid);
        if (!isPid)
            continue;
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            continue;
        const QByteArray line = stat.readAll();
        const qsizetype end = line.lastIndexOf(')');
        const QList<QByteArray> fields = line.mid(end + 2).split(' ');
        if (fields.size() > 1)
            children.insert(fields[1].toLongLong(), pid);
    }
    QList<qint64> all{root};
    for (qsizetype i = 0; i < all.size(); ++i)
        all.append(children.values(all[i]));
    return all;
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

// Runs a peer's command line to completion, with the paths of the pictures on its standard input
// when asked, and measures it with everything it started.
Run runCommand(const QString& program, const QStringList& arguments, const QByteArray& input, int pictures,
               const QString& folder)
{
    Run run;
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
    process.setStandardErrorFile(QProcess::nullDevice());
    MemoryWatch memory([&] { return process.processId() ? withDescendants(process.processId()) : QList<qint64>{}; });
    QElapsedTimer clock;
    clock.start();
    process.start(program, arguments);
    process.write(input);
    process.closeWriteChannel();
    // waitForFinished() is false once the events below have seen the end, so the state decides.
    while (process.state() != QProcess::NotRunning) {
        process.waitForFinished(20);
        QCoreApplication::processEvents();
    }
    run.seconds = double(clock.nsecsElapsed()) / 1e9;
    run.peakMiB = memory.peakMiB();
    run.bytes = folderBytes(folder);
    // mogrify leaves an empty file where its encoder refused the picture.
    int written = 0;
    for (const QFileInfo& info : QDir(folder).entryInfoList(QDir::Files))
        written += info.size() > 0 ? 1 : 0;
    run.failed = pictures - written;
    return run;
}

// A tool a person would use instead, and how it converts the pictures into a folder.
struct Peer {
    QString name;
    // Empty when the tool does not write the format of extension (".gif"), or is not installed.
    std::function<Run(const QStringList& sources, const QString& folder, const QString& extension)> run;
    std::function<bool(const QString& extension)> writes;
};

QByteArray nulSeparated(const QStringList& paths)
{
    QByteArray list;
    for (const QString& path : paths)
        list += QFile::encodeName(path) + '\0';
    return list;
}

// One process a picture, as many at once as there are cores: `xargs -0 -P<cores>`, each picture's
// output named after it in folder.
Run runEach(const QString& command, const QStringList& sources, const QString& folder, const QString& extension)
{
    // xargs gives each picture to sh as $1; its output is named after it in folder.
    const QStringList fixed{
        u"-0"_qs,
        u"-P"_qs,
        QString::number(QThread::idealThreadCount()),
        u"-n"_qs,
        u"1"_qs,
        u"sh"_qs,
        u"-c"_qs,
        QStringLiteral("b=${1##*/}; exec %1 \"$1\" \"%2/${b%.*}%3\"").arg(command, folder, extension),
        u"sh"_qs};
    return runCommand(u"xargs"_qs, fixed, nulSeparated(sources), int(sources.size()), folder);
}

QList<Peer> peers()
{
    QList<Peer> all;
    if (!QStandardPaths::findExecutable(u"mogrify"_qs).isEmpty()) {
        all.append({u"mogrify"_qs,
                    [](const QStringList& sources, const QString& folder, const QString& extension) {
                        return runCommand(u"mogrify"_qs,
                                          QStringList{u"-format"_qs, extension.mid(1), u"-path"_qs, folder} + sources,
                                          {}, int(sources.size()), folder);
                    },
                    [](const QString&) { return true; }});
        all.append({u"xargs convert"_qs,
                    [](const QStringList& sources, const QString& folder, const QString& extension) {
                        return runEach(u"convert"_qs, sources, folder, extension);
                    },
                    [](const QString&) { return true; }});
    }
    if (!QStandardPaths::findExecutable(u"vips"_qs).isEmpty()) {
        all.append({u"vips"_qs,
                    [](const QStringList& sources, const QString& folder, const QString& extension) {
                        // At Kalvorin's JPEG quality, so that neither side wins by writing less.
                        const QString options = extension == u".jpg"_qs ? u"[Q=90]"_qs : QString();
                        return runEach(u"vips copy"_qs, sources, folder, extension + options);
                    },
                    [](const QString& extension) {
                        return QStringList{u".jpg"_qs, u".png"_qs, u".gif"_qs, u".tiff"_qs}.contains(extension);
                    }});
    }
    return all;
}

// The pictures directly in folder that Kalvorin reads, by name.
QStringList picturesIn(const QString& folder)
{
    QStringList paths;
    const QDir dir(folder);
    for (const QString& name : dir.entryList({u"*.jpg"_qs, u"*.jpeg"_qs, u"*.png"_qs, u"*.gif"_qs, u"*.bmp"_qs,
                                              u"*.tif"_qs, u"*.tiff"_qs, u"*.webp"_qs, u"*.pcx"_qs, u"*.ico"_qs},
                                             QDir::Files, QDir::Name | QDir::IgnoreCase))
        paths.append(dir.filePath(name));
    return paths;
}

double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.isEmpty() ? 0 : values[values.size() / 2];
}

// Time from the request to the picture for the window's preview box, the median of runs, each
// after another picture was shown so that nothing is cached.
void benchPreview(const QDir& root, int runs)
{
    struct Case {
        QString name;
        size_t width;
        size_t height;
        std::string coder;
    };
    const QList<Case> cases{{u"12 MP JPEG"_qs, 4000, 3000, "JPEG"},
                            {u"24 MP JPEG"_qs, 6000, 4000, "JPEG"},
                            {u"48 MP PNG"_qs, 8000, 6000, "PNG"}};
    WorkerEngine::Options options;
    options.workerPath = QStringLiteral(KALVORIN_WORKER_PATH);
    WorkerEngine engine(options);
    const QSize box(417, 413);
    const auto show = [&](const QString& path) {
        QEventLoop loop;
        QElapsedTimer clock;
        clock.start();
        QString error;
        engine.preview(path, box, [&](const PreviewResult& result) {
            error = result.error;
            loop.quit();
        });
        loop.exec();
        if (!error.isEmpty())
            out << "  " << path << ": " << error << Qt::endl;
        return double(clock.nsecsElapsed()) / 1e6;
    };
    const QString other = root.filePath(u"other.jpg"_qs);
    writePhoto(other, 640, 480, 99);
    out << QStringLiteral("%1 %2").arg(u"preview"_qs, -12).arg(u"median ms"_qs, 10) << Qt::endl;
    for (const Case& c : cases) {
        const QString path =
            root.filePath(c.name.section(u' ', 0, 0) + u"mp."_qs + QString::fromStdString(c.coder).toLower());
        writePhoto(path, c.width, c.height, 7, c.coder);
        QList<double> times;
        show(path);
        for (int i = 0; i < runs; ++i) {
            show(other);
            times.append(show(path));
        }
        out << QStringLiteral("%1 %2").arg(c.name, -12).arg(median(times), 10, 'f', 0) << Qt::endl;
    }
}
} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication app(argc, argv);
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Kalvorin's conversion benchmark"));
    parser.addHelpOption();
    const QCommandLineOption inputOption(QStringLiteral("input"),
                                         QStringLiteral("A folder of real pictures to convert (default: generated)."),
                                         QStringLiteral("folder"));
    const QCommandLineOption countOption(QStringLiteral("count"), QStringLiteral("Generated pictures in the batch."),
                                         QStringLiteral("n"), QStringLiteral("12"));
    const QCommandLineOption noPeers(QStringLiteral("no-peers"), QStringLiteral("Skip the other tools."));
    const QCommandLineOption roundsOption(QStringLiteral("rounds"),
                                          QStringLiteral("Runs of each side, the fastest kept."), QStringLiteral("n"),
                                          QStringLiteral("3"));
    const QCommandLineOption workersOption(QStringLiteral("workers"),
                                           QStringLiteral("Workers in Kalvorin's pool (0: as the program chooses)."),
                                           QStringLiteral("n"), QStringLiteral("0"));
    const QCommandLineOption formatsOption(QStringLiteral("formats"),
                                           QStringLiteral("Comma-separated extensions to run (default: all seven)."),
                                           QStringLiteral("list"));
    const QCommandLineOption previewOption(QStringLiteral("preview"),
                                           QStringLiteral("Time the window's preview of 12, 24 and 48 megapixels."));
    const QCommandLineOption baselineOption(
        QStringLiteral("baseline"),
        QStringLiteral("Another build's kalvorin-worker, run as one more side: a change's before and after."),
        QStringLiteral("worker"));
    parser.addOptions(
        {inputOption, countOption, roundsOption, workersOption, formatsOption, noPeers, previewOption, baselineOption});
    parser.process(app);
    const int rounds = std::max(1, parser.value(roundsOption).toInt());

    Magick::InitializeMagick(argv[0]);
    QTemporaryDir work;
    if (!work.isValid())
        qFatal("no temporary folder");
    const QDir root(work.path());
    if (parser.isSet(previewOption)) {
        benchPreview(root, std::max(rounds, 5));
        return 0;
    }

    QStringList sources;
    if (parser.isSet(inputOption)) {
        sources = picturesIn(parser.value(inputOption));
        out << "Converting " << sources.size() << " pictures from " << parser.value(inputOption) << Qt::endl;
    } else {
        const int count = std::max(1, parser.value(countOption).toInt());
        root.mkdir(QStringLiteral("in"));
        out << "Generating " << count << " photo-like 4000x3000 JPEGs..." << Qt::endl;
        for (int i = 0; i < count; ++i) {
            const QString path = root.filePath(QStringLiteral("in/photo-%1.jpg").arg(i, 2, 10, QChar(u'0')));
            writePhoto(path, 4000, 3000, unsigned(i + 1));
            sources.append(path);
        }
    }
    if (sources.isEmpty())
        qFatal("no pictures");
    const int count = int(sources.size());
    QList<Peer> others = parser.isSet(noPeers) ? QList<Peer>{} : peers();

    WorkerEngine::Options options;
    options.workerPath = QStringLiteral(KALVORIN_WORKER_PATH);
    options.poolSize = parser.value(workersOption).toInt();
    WorkerEngine engine(options);
    // The same engine on the other build's worker (its policy.xml beside it), round for round with ours.
    std::optional<WorkerEngine> baseline;
    if (parser.isSet(baselineOption)) {
        WorkerEngine::Options before = options;
        before.workerPath = QFileInfo(parser.value(baselineOption)).absoluteFilePath();
        baseline.emplace(before);
        others.prepend({u"baseline"_qs,
                        [&baseline](const QStringList& sources, const QString& folder, const QString& extension) {
                            for (int format = 0; format < OutputFormat::Count; ++format) {
                                if (OutputFormat::extension(format) == extension)
                                    return runKalvorin(*baseline, sources, folder, OutputFormat::Index(format));
                            }
                            return Run{};
                        },
                        [](const QString&) { return true; }});
    }
    const QStringList formats = parser.value(formatsOption).split(u',', Qt::SkipEmptyParts);
    out << "Workers: " << (options.poolSize > 0 ? QString::number(options.poolSize) : u"as the program chooses"_qs)
        << ", cores: " << QThread::idealThreadCount() << ", rounds: " << rounds << " (fastest kept)" << Qt::endl
        << Qt::endl;
    out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
               .arg(u"format"_qs, -7)
               .arg(u"side"_qs, -14)
               .arg(u"seconds"_qs, 8)
               .arg(u"pictures/s"_qs, 11)
               .arg(u"Kalvorin x"_qs, 11)
               .arg(u"MB"_qs, 9)
               .arg(u"size k/x"_qs, 9)
               .arg(u"peak MiB"_qs, 9)
        << Qt::endl;
    qint64 peak = 0;
    for (int format = 0; format < OutputFormat::Count; ++format) {
        const QString extension = OutputFormat::extension(format);
        if (!formats.isEmpty() && !formats.contains(extension.mid(1)))
            continue;
        QList<Peer> sides;
        for (const Peer& peer : others) {
            if (peer.writes(extension))
                sides.append(peer);
        }
        // Every side runs `rounds` times, in turn, and keeps its fastest run. The disk is synced
        // before each run, so that no side pays for writing back another's files. Kalvorin goes first
        // in even rounds and last in odd ones: the side that follows the removal of the last run's
        // files was measured 4% slower on uncompressed formats (the same worker on both sides).
        Run k;
        QList<Run> best(sides.size());
        for (int round = 0; round < rounds; ++round) {
            const auto runOurs = [&] {
                const QString ourFolder = root.filePath(QStringLiteral("k%1").arg(round));
                root.mkdir(ourFolder.section(u'/', -1));
                ::sync();
                const Run ours = runKalvorin(engine, sources, ourFolder, OutputFormat::Index(format));
                if (round == 0 || ours.seconds < k.seconds)
                    k = ours;
                peak = std::max(peak, ours.peakMiB);
                QDir(ourFolder).removeRecursively();
            };
            if (round % 2 == 0)
                runOurs();
            for (qsizetype i = 0; i < sides.size(); ++i) {
                const QString theirFolder = root.filePath(QStringLiteral("p%1-%2").arg(i).arg(round));
                root.mkdir(theirFolder.section(u'/', -1));
                ::sync();
                const Run theirs = sides[i].run(sources, theirFolder, extension);
                if (round == 0 || theirs.seconds < best[i].seconds)
                    best[i] = theirs;
                QDir(theirFolder).removeRecursively();
            }
            if (round % 2 == 1)
                runOurs();
        }
        const double kRate = (count - k.failed) / k.seconds;
        const auto line = [&](const QString& side, const Run& run, bool ours) {
            const bool wrote = run.failed == 0;
            const double rate = (count - run.failed) / run.seconds;
            out << QStringLiteral("%1 %2 %3 %4 %5 %6 %7 %8")
                       .arg(ours ? extension.mid(1) : QString(), -7)
                       .arg(side, -14)
                       .arg(run.seconds, 8, 'f', 2)
                       .arg(rate, 11, 'f', 2)
                       .arg(ours    ? u"-"_qs
                            : wrote ? QString::number(kRate / rate, 'f', 2)
                                    : u"fails"_qs,
                            11)
                       .arg(double(run.bytes) / 1e6, 9, 'f', 1)
                       .arg(ours || !wrote ? u"-"_qs : QString::number(double(k.bytes) / double(run.bytes), 'f', 3), 9)
                       .arg(run.peakMiB, 9)
                << Qt::endl;
            if (run.failed > 0)
                out << "        " << run.failed << " pictures failed" << Qt::endl;
        };
        line(u"Kalvorin"_qs, k, true);
        for (qsizetype i = 0; i < sides.size(); ++i)
            line(sides[i].name, best[i], false);
    }
    out << Qt::endl << "Peak memory of Kalvorin's runs (program and workers): " << peak << " MiB" << Qt::endl;
    return 0;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// A job's output is a function of its picture and format alone: the same pictures converted in two
// orders on one worker give the same bytes, whatever that worker did before.
#include "tests/support/TestEngine.h"
#include "tests/support/TestPictures.h"

#include <QDir>
#include <QTemporaryDir>
#include <QTest>

using namespace Qt::StringLiterals;

namespace {
using namespace OutputFormat;

// Pictures of the kinds that take different roads through the worker.
void makePictures(const QDir& folder)
{
    using TestPictures::save;
    // A large photograph first leaves the worker's memory full of its pixels.
    save(TestPictures::photo(2560, 1600), folder.filePath(u"photo.jpg"_s), "JPEG");
    Magick::Image palette = TestPictures::photo(201, 138);
    palette.quantizeColors(200);
    palette.quantize();
    palette.type(MagickCore::PaletteType);
    save(palette, folder.filePath(u"palette.bmp"_s), "BMP3");
    Magick::Image bilevel = TestPictures::halves(201, 138, "black", "white");
    bilevel.type(MagickCore::BilevelType);
    save(bilevel, folder.filePath(u"bilevel.bmp"_s), "BMP3");
    save(TestPictures::framedByTransparency(96, 20, "red"), folder.filePath(u"framed.png"_s), "PNG");
    Magick::Image deep = TestPictures::photo(160, 100);
    deep.depth(16);
    save(deep, folder.filePath(u"deep.png"_s), "PNG");
    Magick::Image grey = TestPictures::photo(150, 90);
    grey.type(MagickCore::GrayscaleType);
    save(grey, folder.filePath(u"grey.png"_s), "PNG");
    save(TestPictures::photo(120, 80), folder.filePath(u"photo.webp"_s), "WEBP");
    save(TestPictures::photo(120, 80), folder.filePath(u"photo.tga"_s), "TGA");
    std::list<Magick::Image> frames{TestPictures::halves(64, 48, "red", "blue"),
                                    TestPictures::halves(64, 48, "green", "yellow")};
    for (Magick::Image& frame : frames)
        frame.animationDelay(20);
    TestPictures::saveFrames(frames, folder.filePath(u"animation.gif"_s), "GIF");
    TestPictures::saveFrames({TestPictures::photo(100, 70), TestPictures::halves(100, 70, "white", "navy")},
                             folder.filePath(u"pages.tif"_s), "TIFF");
}

} // namespace

class TestDeterminism : public QObject {
    Q_OBJECT

private slots:
    void sameBytesInEitherOrder();
};

void TestDeterminism::sameBytesInEitherOrder()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir root(dir.path());
    for (const QString& name : {u"in"_s, u"forward"_s, u"backward"_s})
        QVERIFY(root.mkdir(name));
    const QDir in(root.filePath(u"in"_s));
    makePictures(in);
    const QStringList pictures = in.entryList(QDir::Files, QDir::Name);
    QCOMPARE(pictures.size(), 10);

    // Every picture into every format, as one batch on one worker.
    const auto jobsInto = [&](const QString& folder) {
        QList<ConvertJob> jobs;
        for (const QString& picture : pictures) {
            for (int format = 0; format < Count; ++format) {
                const QString target = root.filePath(u"%1/%2%3"_s.arg(folder, picture, extension(format)));
                jobs.append({in.filePath(picture), target, Index(format)});
            }
        }
        return jobs;
    };
    WorkerEngine::Options options = testEngineOptions();
    options.poolSize = 1;
    const QList<ConvertJob> forward = jobsInto(u"forward"_s);
    QList<ConvertJob> backward = jobsInto(u"backward"_s);
    std::reverse(backward.begin(), backward.end());
    for (const QList<ConvertJob>& jobs : {forward, backward}) {
        WorkerEngine engine(options);
        const BatchResult result = runBatch(engine, jobs);
        QVERIFY(result.done);
        QCOMPARE(result.errors, QStringList(jobs.size(), QString()));
    }
    for (const ConvertJob& job : forward) {
        const QString name = QFileInfo(job.target).fileName();
        const QByteArray one = TestPictures::bytesOf(job.target);
        QVERIFY2(!one.isEmpty(), qPrintable(name));
        QVERIFY2(one == TestPictures::bytesOf(root.filePath(u"backward/"_s + name)), qPrintable(name));
    }
}

QTEST_MAIN(TestDeterminism)
#include "tst_determinism.moc"

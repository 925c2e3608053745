// SPDX-License-Identifier: GPL-3.0-or-later
#include "ipc/Protocol.h"

#include <QTest>
#include <QtEndian>

#include <algorithm>
#include <limits>

using namespace Qt::StringLiterals;

namespace {
using Protocol::Status;

QByteArray framed(const QByteArray& payload)
{
    return Protocol::frame(payload);
}

// A frame's length alone, as a sender would start a frame of that length.
QByteArray lengthOf(quint32 length)
{
    QByteArray out(4, '\0');
    qToBigEndian(length, out.data());
    return out;
}

// Bytes as a worker of any kind might send them.
template <typename... Values> QByteArray bytesOf(const Values&... values)
{
    QByteArray out;
    QDataStream stream(&out, QIODevice::WriteOnly);
    Protocol::pin(stream);
    (stream << ... << values);
    return out;
}

Protocol::ConvertRequest plainRequest()
{
    return {u"/pictures/a.png"_s, 5, u"a.jpg"_s, u".a.jpg.kalvorin-1.part"_s, OutputFormat::Jpg, false};
}
} // namespace

class TestProtocol : public QObject {
    Q_OBJECT

private slots:
    void framing_data();
    void framing();
    void blockingReads_data();
    void blockingReads();
    void readerHoldsOneFrame();
    void greeting_data();
    void greeting();
    void requests_data();
    void requests();
    void replies_data();
    void replies();
    void answers_data();
    void answers();
};

// Bytes arrive from a pipe in pieces of any size; each row feeds them piece by piece and says which
// payloads come out, and what is left waiting.
void TestProtocol::framing_data()
{
    QTest::addColumn<QList<QByteArray>>("pieces");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<qsizetype>("left");
    QTest::addColumn<quint32>("limit");
    const QByteArray one = framed("hello"_ba);
    const QByteArray two = framed("world!"_ba);
    QTest::newRow("whole") << QList<QByteArray>{one} << QList<QByteArray>{"hello"_ba} << qsizetype(0)
                           << Protocol::maxReplyFrame;
    QTest::newRow("split header") << QList<QByteArray>{one.left(2), one.mid(2)} << QList<QByteArray>{"hello"_ba}
                                  << qsizetype(0) << Protocol::maxReplyFrame;
    QTest::newRow("split payload") << QList<QByteArray>{one.left(6), one.mid(6)} << QList<QByteArray>{"hello"_ba}
                                   << qsizetype(0) << Protocol::maxReplyFrame;
    QTest::newRow("two in one read") << QList<QByteArray>{one + two} << QList<QByteArray>{"hello"_ba, "world!"_ba}
                                     << qsizetype(0) << Protocol::maxReplyFrame;
    QTest::newRow("one and a half") << QList<QByteArray>{one + two.left(5)} << QList<QByteArray>{"hello"_ba}
                                    << qsizetype(5) << Protocol::maxReplyFrame;
    QTest::newRow("byte by byte") <<
        [&] {
            QList<QByteArray> bytes;
            for (const char byte : one + two)
                bytes.append(QByteArray(1, byte));
            return bytes;
        }() << QList<QByteArray>{"hello"_ba, "world!"_ba}
                                  << qsizetype(0) << Protocol::maxReplyFrame;
    // A zero length is a frame with nothing in it, which no message is: the reader treats it as
    // broken.
    QTest::newRow("zero length") << QList<QByteArray>{QByteArray(4, '\0')} << QList<QByteArray>{QByteArray()}
                                 << qsizetype(0) << Protocol::maxReplyFrame;
    // Beyond the largest frame: the stream is broken, everything buffered goes.
    QTest::newRow("oversize") << QList<QByteArray>{"\x7f\xff\xff\xff and more"_ba} << QList<QByteArray>{QByteArray()}
                              << qsizetype(0) << Protocol::maxReplyFrame;
    QTest::newRow("garbage") << QList<QByteArray>{"GIF89a, not a frame at all"_ba} << QList<QByteArray>{QByteArray()}
                             << qsizetype(0) << Protocol::maxReplyFrame;
    QTest::newRow("too short to tell") << QList<QByteArray>{"\0\0"_ba} << QList<QByteArray>{} << qsizetype(2)
                                       << Protocol::maxReplyFrame;
    // Each side takes no more than the other may send: a request's frame is small, a reply's at most
    // the largest preview.
    QTest::newRow("request beyond its cap")
        << QList<QByteArray>{lengthOf(Protocol::maxRequestFrame + 1)} << QList<QByteArray>{QByteArray()} << qsizetype(0)
        << Protocol::maxRequestFrame;
    QTest::newRow("largest request waits") << QList<QByteArray>{lengthOf(Protocol::maxRequestFrame)}
                                           << QList<QByteArray>{} << qsizetype(4) << Protocol::maxRequestFrame;
    QTest::newRow("reply beyond its cap") << QList<QByteArray>{lengthOf(Protocol::maxReplyFrame + 1)}
                                          << QList<QByteArray>{QByteArray()} << qsizetype(0) << Protocol::maxReplyFrame;
}

void TestProtocol::framing()
{
    QFETCH(QList<QByteArray>, pieces);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(qsizetype, left);
    QFETCH(quint32, limit);
    QByteArray buffer;
    QList<QByteArray> out;
    for (const QByteArray& piece : pieces) {
        buffer += piece;
        while (const std::optional<QByteArray> payload = Protocol::takeFrame(buffer, limit)) {
            out.append(*payload);
            if (payload->isEmpty())
                break;
        }
    }
    QCOMPARE(out, payloads);
    QCOMPARE(buffer.size(), left);
}

// The worker reads its frames from a pipe that blocks; each row is what the window sent before the
// pipe closed, and the payloads the worker takes from it before it stops.
void TestProtocol::blockingReads_data()
{
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QList<QByteArray>>("payloads");
    QTest::addColumn<qsizetype>("unread");
    QTest::newRow("two frames") << framed("hello"_ba) + framed("world!"_ba)
                                << QList<QByteArray>{"hello"_ba, "world!"_ba} << qsizetype(0);
    QTest::newRow("zero length") << lengthOf(0) + framed("x"_ba) << QList<QByteArray>{QByteArray(), "x"_ba}
                                 << qsizetype(0);
    QTest::newRow("ends in a length") << framed("a"_ba) + "\0\0"_ba << QList<QByteArray>{"a"_ba} << qsizetype(0);
    QTest::newRow("ends in a payload") << framed("hello"_ba).chopped(1) << QList<QByteArray>{} << qsizetype(0);
    // Refused on its length: nothing behind it is read, nor memory taken for it.
    QTest::newRow("beyond the cap") << lengthOf(Protocol::maxRequestFrame + 1) + "more"_ba << QList<QByteArray>{}
                                    << qsizetype(4);
    QTest::newRow("largest") << framed(QByteArray(Protocol::maxRequestFrame, 'r'))
                             << QList<QByteArray>{QByteArray(Protocol::maxRequestFrame, 'r')} << qsizetype(0);
}

void TestProtocol::blockingReads()
{
    QFETCH(QByteArray, sent);
    QFETCH(QList<QByteArray>, payloads);
    QFETCH(qsizetype, unread);
    qsizetype at = 0;
    const auto readExactly = [&](char* data, qsizetype size) {
        // As a pipe: what there is is read, and then the end is found.
        if (size > sent.size() - at) {
            at = sent.size();
            return false;
        }
        std::copy_n(sent.constData() + at, size, data);
        at += size;
        return true;
    };
    QList<QByteArray> out;
    while (const std::optional<QByteArray> payload = Protocol::readFrame(readExactly, Protocol::maxRequestFrame))
        out.append(*payload);
    QCOMPARE(out, payloads);
    QCOMPARE(sent.size() - at, unread);
}

// The window takes no more from a worker's pipe than completes the largest frame it may send.
void TestProtocol::readerHoldsOneFrame()
{
    Protocol::FrameReader reader(10);
    QCOMPARE(reader.room(), qint64(14));
    reader.append(framed("abc"_ba) + lengthOf(10) + "12"_ba);
    QCOMPARE(reader.room(), qint64(1));
    QCOMPARE(reader.next(), std::optional<QByteArray>("abc"_ba));
    QCOMPARE(reader.next(), std::nullopt);
    QCOMPARE(reader.room(), qint64(8));
    reader.append("3456789ab"_ba);
    QCOMPARE(reader.room(), qint64(0));
    QCOMPARE(reader.next(), std::optional<QByteArray>("123456789a"_ba));
    reader.append(lengthOf(11));
    QCOMPARE(reader.next(), std::optional<QByteArray>(QByteArray()));
    QCOMPARE(reader.room(), qint64(14));
}

// The first frame says which worker this is.
void TestProtocol::greeting_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<Status>("status");
    const auto hello = [](quint32 version) { return Protocol::encodeHello(version); };
    QTest::newRow("this version") << hello(Protocol::version) << Status::Ok;
    QTest::newRow("an older one") << hello(Protocol::version - 1) << Status::WrongWorker;
    QTest::newRow("a newer one") << hello(Protocol::version + 1) << Status::WrongWorker;
    QTest::newRow("progress first") << Protocol::encodeProgress(0) << Status::ProtocolError;
    QTest::newRow("answer first") << Protocol::encode(Protocol::ConvertAnswer{}) << Status::ProtocolError;
}

void TestProtocol::greeting()
{
    QFETCH(QByteArray, payload);
    QFETCH(Status, status);
    const std::optional<Protocol::ReplyFrame> first = Protocol::decodeReply(payload);
    QVERIFY(first);
    QCOMPARE(Protocol::greeting(*first), status);
    // The layers of the worker's sandbox come with its version.
    QCOMPARE(Protocol::decodeReply(Protocol::encodeHello(Protocol::version, 13))->layers, 13u);
}

// The worker reads every field before it acts; a request that could write outside the folder, or
// ask for a preview larger than any reply may carry, is refused whole.
void TestProtocol::requests_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");
    const auto convert = [](auto change) {
        Protocol::ConvertRequest request = plainRequest();
        change(request);
        return Protocol::encode(request);
    };
    const auto preview = [](const QString& path, QSize box) { return Protocol::encode({path, box}); };
    const QString nul(QChar(0));
    QTest::newRow("conversion") << Protocol::encode(plainRequest()) << true;
    for (const QString& name :
         {u"../x.png"_s, u"a/b.png"_s, QString(), u"."_s, u".."_s, u"x.png"_s + nul + u"/../y"_s, QString(256, u'x')}) {
        QTest::addRow("final name %s", qPrintable(name)) << convert([&](auto& r) { r.finalName = name; }) << false;
        QTest::addRow("temporary name %s", qPrintable(name))
            << convert([&](auto& r) { r.temporaryName = name; }) << false;
    }
    QTest::newRow("same two names") << convert([](auto& r) { r.temporaryName = r.finalName; }) << false;
    QTest::newRow("no folder") << convert([](auto& r) { r.folder = -1; }) << false;
    QTest::newRow("replacing") << convert([](auto& r) { r.replace = true; }) << true;
    QTest::newRow("source with NUL") << convert([&](auto& r) { r.source += nul; }) << false;
    QTest::newRow("relative source") << convert([](auto& r) { r.source = u"a.png"_s; }) << false;
    QTest::newRow("longest path") << convert([](auto& r) { r.source = u'/' + QString(32766, u'x'); }) << true;
    QTest::newRow("longer path") << convert([](auto& r) { r.source = u'/' + QString(32767, u'x'); }) << false;
    QTest::newRow("format below") << convert([](auto& r) { r.format = OutputFormat::Index(-1); }) << false;
    QTest::newRow("format beyond") << convert([](auto& r) { r.format = OutputFormat::Index(OutputFormat::Count); })
                                   << false;
    QTest::newRow("cut short") << Protocol::encode(plainRequest()).chopped(1) << false;
    QTest::newRow("left over") << Protocol::encode(plainRequest()) + '\0' << false;
    QTest::newRow("unknown kind") << bytesOf(quint8(9)) << false;
    QTest::newRow("preview") << preview(u"/a.png"_s, QSize(417, 413)) << true;
    QTest::newRow("largest box") << preview(u"/a.png"_s, QSize(2048, 2048)) << true;
    QTest::newRow("empty box") << preview(u"/a.png"_s, QSize(0, 0)) << false;
    QTest::newRow("no box") << preview(u"/a.png"_s, QSize()) << false;
    QTest::newRow("box beyond") << preview(u"/a.png"_s, QSize(2049, 10)) << false;
    QTest::newRow("huge box") << preview(u"/a.png"_s, QSize(65535, 65535)) << false;
    QTest::newRow("relative preview") << preview(u"a.png"_s, QSize(417, 413)) << false;
    QTest::newRow("preview with NUL") << preview(u"/a.png"_s + nul, QSize(417, 413)) << false;
}

void TestProtocol::requests()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, accepted);
    QVERIFY(quint64(payload.size()) <= Protocol::maxRequestFrame);
    const Protocol::Request request = Protocol::decodeRequest(payload);
    QCOMPARE(request.error.isEmpty(), accepted);
}

// What the window takes from a reply frame: pixel counts come capped and never negative, the
// thousandths of a picture done lie in 0..1000, and a frame of no known kind or with bytes left over
// is refused.
void TestProtocol::replies_data()
{
    QTest::addColumn<QByteArray>("payload");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<qint64>("value");
    QTest::addColumn<int>("done");
    const auto progress = [](qint64 pixels, qint16 done = 0) {
        return bytesOf(quint8(Protocol::Reply::Progress), pixels, done);
    };
    const auto measured = [](qint64 pixels) { return bytesOf(quint8(Protocol::Reply::Measured), pixels); };
    QTest::newRow("progress") << progress(12'000'000) << true << qint64(12'000'000) << 0;
    QTest::newRow("progress 2^53") << progress(qint64(1) << 53) << true << Protocol::maxPixels << 0;
    QTest::newRow("progress INT64_MAX") << progress(std::numeric_limits<qint64>::max()) << true << Protocol::maxPixels
                                        << 0;
    QTest::newRow("progress negative") << progress(-1) << false << qint64(0) << 0;
    QTest::newRow("progress INT64_MIN") << progress(std::numeric_limits<qint64>::min()) << false << qint64(0) << 0;
    QTest::newRow("measured INT64_MAX") << measured(std::numeric_limits<qint64>::max()) << true << Protocol::maxPixels
                                        << 0;
    QTest::newRow("measured negative") << measured(-5) << false << qint64(0) << 0;
    QTest::newRow("progress cut short") << progress(1).chopped(1) << false << qint64(0) << 0;
    QTest::newRow("progress left over") << progress(1) + 'x' << false << qint64(0) << 0;
    QTest::newRow("progress pixels only")
        << bytesOf(quint8(Protocol::Reply::Progress), qint64(1)) << false << qint64(0) << 0;
    QTest::newRow("progress half done") << progress(1'000, 500) << true << qint64(1'000) << 500;
    QTest::newRow("progress all done") << progress(1'000, 1'000) << true << qint64(1'000) << 1'000;
    QTest::newRow("progress beyond done") << progress(1'000, 1'001) << false << qint64(0) << 0;
    QTest::newRow("progress done negative") << progress(1'000, -1) << false << qint64(0) << 0;
    QTest::newRow("progress done INT16_MAX")
        << progress(0, std::numeric_limits<qint16>::max()) << false << qint64(0) << 0;
    QTest::newRow("hello") << bytesOf(quint8(Protocol::Reply::Hello), Protocol::version, quint32(15)) << true
                           << qint64(Protocol::version) << 0;
    // An older worker's, which said its version alone: still heard, to be told it is of another build.
    QTest::newRow("hello of version 4") << bytesOf(quint8(Protocol::Reply::Hello), quint32(4)) << true << qint64(4)
                                        << 0;
    QTest::newRow("hello with more") << bytesOf(quint8(Protocol::Reply::Hello), Protocol::version, quint32(15),
                                                quint8(0))
                                     << false << qint64(0) << 0;
    QTest::newRow("kind 0") << bytesOf(quint8(0), qint64(1)) << false << qint64(0) << 0;
    const auto written = [](const QString& name) { return bytesOf(quint8(Protocol::Reply::Written), name); };
    QTest::newRow("written") << written(u"a (2).png"_s) << true << qint64(0) << 0;
    for (const QString& name : {QString(), u".."_s, u"../a.png"_s, u"sub/a.png"_s, u"a.png"_s + QChar(0)})
        QTest::addRow("written %s", qPrintable(name)) << written(name) << false << qint64(0) << 0;
    QTest::newRow("written left over") << written(u"a.png"_s) + 'x' << false << qint64(0) << 0;
    QTest::newRow("kind 6") << bytesOf(quint8(6), qint64(1)) << false << qint64(0) << 0;
    QTest::newRow("kind 255") << bytesOf(quint8(255)) << false << qint64(0) << 0;
    QTest::newRow("empty") << QByteArray() << false << qint64(0) << 0;
}

void TestProtocol::replies()
{
    QFETCH(QByteArray, payload);
    QFETCH(bool, accepted);
    QFETCH(qint64, value);
    QFETCH(int, done);
    const std::optional<Protocol::ReplyFrame> reply = Protocol::decodeReply(payload);
    QCOMPARE(reply.has_value(), accepted);
    if (reply)
        QCOMPARE(reply->value, value);
    if (reply)
        QCOMPARE(int(reply->done), done);
    if (reply && reply->kind == Protocol::Reply::Written)
        QCOMPARE(reply->name, u"a (2).png"_s);
}

// The answers: a status the worker cannot report, pixels that do not match their size, a size beyond
// the largest box or anything left over make the answer a protocol error.
void TestProtocol::answers_data()
{
    QTest::addColumn<bool>("preview");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<bool>("accepted");
    const auto pixels = [](qint32 width, qint32 height, qsizetype bytes, quint8 status = 0) {
        return bytesOf(status, width, height, QByteArray(bytes, '\x7f'));
    };
    QTest::newRow("preview") << true << pixels(2, 1, 8) << true;
    QTest::newRow("preview short of pixels") << true << pixels(2, 1, 7) << false;
    QTest::newRow("preview beyond the box") << true << pixels(2049, 1, 2049 * 4) << false;
    QTest::newRow("preview of no size") << true << pixels(0, 0, 0) << false;
    QTest::newRow("preview negative") << true << pixels(-1, -1, 4) << false;
    QTest::newRow("preview sides overflow") << true << pixels(65536, 65536, 0) << false;
    QTest::newRow("preview refused") << true << pixels(0, 0, 0, quint8(Status::Corrupt)) << true;
    QTest::newRow("refused with pixels") << true << pixels(2, 1, 8, quint8(Status::Corrupt)) << false;
    QTest::newRow("preview status timeout") << true << pixels(0, 0, 0, quint8(Status::Timeout)) << false;
    QTest::newRow("preview status 200") << true << pixels(2, 1, 8, 200) << false;
    QTest::newRow("pixels longer than the frame")
        << true << bytesOf(quint8(0), qint32(2), qint32(1)) + "\xff\xff\xff\xf0" + QByteArray(8, 'x') << false;
    QTest::newRow("preview left over") << true << pixels(2, 1, 8) + 'x' << false;
    QTest::newRow("conversion") << false << bytesOf(quint8(Status::Ok), QString()) << true;
    QTest::newRow("conversion failed") << false << bytesOf(quint8(Status::DiskFull), u"write: No space"_s) << true;
    QTest::newRow("worker refused it") << false << bytesOf(quint8(Status::ProtocolError), u"bad name"_s) << true;
    QTest::newRow("status crashed") << false << bytesOf(quint8(Status::Crashed), QString()) << false;
    QTest::newRow("status 99") << false << bytesOf(quint8(99), QString()) << false;
    QTest::newRow("longest detail") << false << bytesOf(quint8(Status::Corrupt), QString(4096, u'x')) << true;
    QTest::newRow("longer detail") << false << bytesOf(quint8(Status::Corrupt), QString(4097, u'x')) << false;
    QTest::newRow("detail cut short") << false << bytesOf(quint8(Status::Corrupt), u"words"_s).chopped(1) << false;
    QTest::newRow("nothing") << false << QByteArray() << false;
}

void TestProtocol::answers()
{
    QFETCH(bool, preview);
    QFETCH(QByteArray, answer);
    QFETCH(bool, accepted);
    if (preview) {
        const std::optional<Protocol::PreviewAnswer> read = Protocol::decodePreviewAnswer(answer);
        QCOMPARE(read.has_value(), accepted);
        if (read && read->status == Status::Ok)
            QCOMPARE(read->rgba.size(), qsizetype(read->size.width()) * read->size.height() * 4);
    } else {
        QCOMPARE(Protocol::decodeConvertAnswer(answer).has_value(), accepted);
    }
}

QTEST_GUILESS_MAIN(TestProtocol)
#include "tst_protocol.moc"

// SPDX-License-Identifier: GPL-3.0-or-later
#include "ipc/Protocol.h"

#include <QIODevice>
#include <QtEndian>

#include <algorithm>
#include <type_traits>

using namespace Qt::StringLiterals;

QString Protocol::reason(Status status)
{
    switch (status) {
    case Status::Ok:
        return {};
    case Status::Missing:
        return QStringLiteral("文件不存在");
    case Status::Unreadable:
        return QStringLiteral("无法读取");
    case Status::Unsupported:
        return QStringLiteral("不是图片或格式不支持");
    case Status::Corrupt:
        return QStringLiteral("图片已损坏");
    case Status::TooLarge:
        return QStringLiteral("图片太大");
    case Status::NotWritable:
        return QStringLiteral("无法写入");
    case Status::DiskFull:
        return QStringLiteral("磁盘空间不足");
    case Status::Timeout:
        return QStringLiteral("处理超时");
    case Status::Crashed:
        return QStringLiteral("处理图片时出错");
    case Status::NoWorker:
        return QStringLiteral("无法启动图片处理程序");
    case Status::Cancelled:
        return QStringLiteral("已取消");
    case Status::ProtocolError:
        return QStringLiteral("图片处理程序通信出错");
    case Status::WrongWorker:
        return QStringLiteral("图片处理程序版本不符");
    case Status::Sandboxed:
        return QStringLiteral("处理图片时出错");
    }
    return QStringLiteral("处理图片时出错");
}

void Protocol::pin(QDataStream& stream)
{
    stream.setVersion(QDataStream::Qt_6_0);
}

bool Protocol::isResourceFailure(Status status)
{
    return status == Status::TooLarge || status == Status::DiskFull;
}

QByteArray Protocol::frameStart(quint32 length)
{
    QByteArray out(lengthSize, '\0');
    qToBigEndian(length, out.data());
    return out;
}

QByteArray Protocol::frame(const QByteArray& payload)
{
    return frameStart(quint32(payload.size())) + payload;
}

std::optional<QByteArray> Protocol::takeFrame(QByteArray& buffer, quint32 maxLength)
{
    if (buffer.size() < lengthSize)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    if (length > maxLength) {
        buffer.clear();
        return QByteArray();
    }
    if (quint64(buffer.size()) < lengthSize + quint64(length))
        return std::nullopt;
    QByteArray payload = buffer.mid(lengthSize, length);
    buffer.remove(0, lengthSize + length);
    return payload;
}

qint64 Protocol::FrameReader::room() const
{
    return std::max<qint64>(0, qint64(m_maxLength) + lengthSize - m_buffer.size());
}

std::optional<QByteArray> Protocol::readFrame(const std::function<bool(char*, qsizetype)>& readExactly,
                                              quint32 maxLength)
{
    QByteArray buffer(lengthSize, '\0');
    if (!readExactly(buffer.data(), lengthSize))
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    // Refused before anything is allocated for it.
    if (length > maxLength)
        return std::nullopt;
    buffer.resize(lengthSize + qsizetype(length));
    if (length > 0 && !readExactly(buffer.data() + lengthSize, qsizetype(length)))
        return std::nullopt;
    return buffer.sliced(lengthSize);
}

namespace {
using namespace Protocol;

static_assert(maxReplyFrame >= 1 + 1 + 4 + 2 * maxDetailLength, "a conversion's answer fits a reply frame");

// A stream over a payload being read: every field, then nothing left over.
class Reader {
public:
    explicit Reader(const QByteArray& payload)
        : m_stream(payload)
    {
        pin(m_stream);
    }
    template <typename Value> Reader& operator>>(Value& value)
    {
        if constexpr (std::is_same_v<Value, QString> || std::is_same_v<Value, QByteArray>) {
            if (!lengthFits())
                return *this;
        }
        m_stream >> value;
        return *this;
    }
    bool ok() const { return m_stream.status() == QDataStream::Ok; }
    bool whole() const { return ok() && m_stream.atEnd(); }

private:
    // Qt allocates a string's length in steps of a megabyte before it finds the bytes missing: four
    // bytes of a hostile frame would cost two MiB each. A length beyond what is left is refused first.
    bool lengthFits()
    {
        QIODevice* const device = m_stream.device();
        const QByteArray prefix = device->peek(4);
        if (!ok() || prefix.size() < 4)
            return true;
        const quint32 length = qFromBigEndian<quint32>(prefix.constData());
        if (length == 0xffffffffu || qint64(length) <= device->bytesAvailable() - 4)
            return true;
        m_stream.setStatus(QDataStream::ReadPastEnd);
        return false;
    }

    QDataStream m_stream;
};

class Writer {
public:
    Writer() { pin(m_stream); }
    template <typename Value> Writer& operator<<(const Value& value)
    {
        m_stream << value;
        return *this;
    }
    QByteArray bytes() const { return m_bytes; }

private:
    QByteArray m_bytes;
    QDataStream m_stream{&m_bytes, QIODevice::WriteOnly};
};

template <typename Value> QByteArray replyOf(Reply kind, Value value)
{
    return (Writer() << quint8(kind) << value).bytes();
}

// A pixel count a reply carries: never negative; beyond maxPixels it is maxPixels.
std::optional<qint64> pixelsIn(Reader& reader)
{
    qint64 pixels = -1;
    reader >> pixels;
    if (!reader.whole() || pixels < 0)
        return std::nullopt;
    return std::min(pixels, maxPixels);
}
} // namespace

bool Protocol::isSafePath(const QString& path)
{
    return path.startsWith(u'/') && path.size() <= maxPathLength && !path.contains(QChar(0));
}

bool Protocol::isPlainName(const QString& name)
{
    return !name.isEmpty() && name != u"."_s && name != u".."_s && name.size() <= maxNameLength &&
           !name.contains(u'/') && !name.contains(QChar(0));
}

QString Protocol::problemWith(const PreviewRequest& request)
{
    if (!isSafePath(request.path))
        return u"not an absolute path"_s;
    if (request.box.width() < 1 || request.box.height() < 1 || request.box.width() > maxPreviewSide ||
        request.box.height() > maxPreviewSide)
        return u"box out of range"_s;
    return {};
}

QString Protocol::problemWith(const ConvertRequest& request)
{
    if (!isSafePath(request.source))
        return u"source not an absolute path"_s;
    if (request.folder < 0)
        return u"no output folder"_s;
    // The worker writes relative to the folder it opened: a name with a "/" or a ".." would reach
    // outside it, and a NUL would end the name early.
    if (!isPlainName(request.finalName) || !isPlainName(request.temporaryName) ||
        request.finalName == request.temporaryName)
        return u"not a plain file name"_s;
    if (request.format < 0 || request.format >= OutputFormat::Count)
        return u"unknown format"_s;
    return {};
}

QByteArray Protocol::encode(const PreviewRequest& request)
{
    return (Writer() << quint8(Kind::Preview) << request.path << qint32(request.box.width())
                     << qint32(request.box.height()))
        .bytes();
}

QByteArray Protocol::encode(const ConvertRequest& request)
{
    return (Writer() << quint8(Kind::Convert) << request.source << request.folder << request.finalName
                     << request.temporaryName << qint32(request.format) << request.replace)
        .bytes();
}

QByteArray Protocol::encodeProceed(qint64 memory)
{
    return (Writer() << quint8(Kind::Proceed) << memory).bytes();
}

Protocol::Request Protocol::decodeRequest(const QByteArray& payload)
{
    Request request;
    Reader reader(payload);
    quint8 kind = 0;
    reader >> kind;
    if (kind == quint8(Kind::Preview)) {
        request.kind = Kind::Preview;
        qint32 width = 0;
        qint32 height = 0;
        reader >> request.preview.path >> width >> height;
        request.preview.box = QSize(width, height);
        request.error = reader.whole() ? problemWith(request.preview) : u"malformed request"_s;
    } else if (kind == quint8(Kind::Convert)) {
        request.kind = Kind::Convert;
        qint32 format = -1;
        reader >> request.convert.source >> request.convert.folder >> request.convert.finalName >>
            request.convert.temporaryName >> format >> request.convert.replace;
        if (!reader.whole() || format < 0 || format >= OutputFormat::Count) {
            request.error = u"malformed request"_s;
        } else {
            request.convert.format = OutputFormat::Index(format);
            request.error = problemWith(request.convert);
        }
    } else {
        request.error = u"unknown request"_s;
    }
    return request;
}

std::optional<qint64> Protocol::decodeProceed(const QByteArray& payload)
{
    Reader reader(payload);
    quint8 kind = 0;
    qint64 memory = -1;
    reader >> kind >> memory;
    if (!reader.whole() || kind != quint8(Kind::Proceed) || memory < 0)
        return std::nullopt;
    return memory;
}

bool Protocol::isWorkerStatus(Status status)
{
    return status <= Status::DiskFull || status == Status::ProtocolError || status == Status::Sandboxed;
}

QByteArray Protocol::encode(const PreviewAnswer& answer)
{
    Writer writer;
    writer << quint8(Reply::Answer) << quint8(answer.status);
    if (answer.status == Status::Ok)
        writer << qint32(answer.size.width()) << qint32(answer.size.height()) << answer.rgba;
    else
        writer << qint32(0) << qint32(0) << QByteArray();
    return writer.bytes();
}

QByteArray Protocol::encode(const ConvertAnswer& answer)
{
    return (Writer() << quint8(Reply::Answer) << quint8(answer.status) << answer.detail.left(maxDetailLength)).bytes();
}

QByteArray Protocol::encodeProgress(qint64 pixels, qint16 done)
{
    return (Writer() << quint8(Reply::Progress) << pixels << done).bytes();
}

QByteArray Protocol::encodeMeasured(qint64 pixels)
{
    return replyOf(Reply::Measured, pixels);
}

QByteArray Protocol::encodeHello(quint32 version, quint32 layers)
{
    return (Writer() << quint8(Reply::Hello) << version << layers).bytes();
}

QByteArray Protocol::encodeWritten(const QString& name)
{
    return replyOf(Reply::Written, name);
}

std::optional<Protocol::ReplyFrame> Protocol::decodeReply(const QByteArray& payload)
{
    if (payload.isEmpty())
        return std::nullopt;
    ReplyFrame reply;
    reply.kind = Reply(quint8(payload.front()));
    Reader reader(payload.sliced(1));
    switch (reply.kind) {
    case Reply::Progress: {
        qint64 pixels = -1;
        reader >> pixels >> reply.done;
        if (!reader.whole() || pixels < 0 || reply.done < 0 || reply.done > perMille)
            return std::nullopt;
        reply.value = std::min(pixels, maxPixels);
        return reply;
    }
    case Reply::Measured: {
        const std::optional<qint64> pixels = pixelsIn(reader);
        if (!pixels)
            return std::nullopt;
        reply.value = *pixels;
        return reply;
    }
    case Reply::Hello: {
        quint32 version = 0;
        reader >> version;
        // A worker of version 4 or older says no more; it is told apart by its version.
        if (reader.ok() && !reader.whole())
            reader >> reply.layers;
        if (!reader.whole())
            return std::nullopt;
        reply.value = version;
        return reply;
    }
    case Reply::Written:
        reader >> reply.name;
        if (!reader.whole() || !isPlainName(reply.name))
            return std::nullopt;
        return reply;
    case Reply::Answer:
        reply.answer = payload.sliced(1);
        return reply;
    }
    return std::nullopt;
}

Protocol::Status Protocol::greeting(const ReplyFrame& first)
{
    if (first.kind != Reply::Hello)
        return Status::ProtocolError;
    return first.value == version ? Status::Ok : Status::WrongWorker;
}

std::optional<Protocol::PreviewAnswer> Protocol::decodePreviewAnswer(const QByteArray& bytes)
{
    Reader reader(bytes);
    quint8 code = 0;
    qint32 width = 0;
    qint32 height = 0;
    PreviewAnswer answer;
    reader >> code >> width >> height >> answer.rgba;
    answer.status = Status(code);
    if (!reader.whole() || !isWorkerStatus(answer.status))
        return std::nullopt;
    if (answer.status != Status::Ok)
        return width == 0 && height == 0 && answer.rgba.isEmpty() ? std::optional(answer) : std::nullopt;
    if (width < 1 || height < 1 || width > maxPreviewSide || height > maxPreviewSide ||
        answer.rgba.size() != qsizetype(width) * height * 4)
        return std::nullopt;
    answer.size = QSize(width, height);
    return answer;
}

std::optional<Protocol::ConvertAnswer> Protocol::decodeConvertAnswer(const QByteArray& bytes)
{
    Reader reader(bytes);
    quint8 code = 0;
    ConvertAnswer answer;
    reader >> code >> answer.detail;
    answer.status = Status(code);
    if (!reader.whole() || !isWorkerStatus(answer.status) || answer.detail.size() > maxDetailLength)
        return std::nullopt;
    return answer;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "Protocol.h"

#include <QtEndian>

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

QByteArray Protocol::frame(const QByteArray& payload)
{
    QByteArray out(4, '\0');
    qToBigEndian(quint32(payload.size()), out.data());
    out += payload;
    return out;
}

std::optional<QByteArray> Protocol::takeFrame(QByteArray& buffer)
{
    if (buffer.size() < 4)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(buffer.constData());
    if (length > maxFrame) {
        buffer.clear();
        return QByteArray();
    }
    if (quint64(buffer.size()) < 4 + quint64(length))
        return std::nullopt;
    QByteArray payload = buffer.mid(4, length);
    buffer.remove(0, 4 + length);
    return payload;
}

// SPDX-License-Identifier: GPL-3.0-or-later
// The wire between the window and its workers, from bytes either side may send: the frames, the
// worker's reading of a request and the window's reading of a reply. Whatever a reader accepts must
// hold the promises the other side relies on, and be written back as the same thing.
#include "ipc/Protocol.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace {
void require(bool condition)
{
    if (!condition)
        std::abort();
}

void readRequest(const QByteArray& payload)
{
    const Protocol::Request request = Protocol::decodeRequest(payload);
    if (request.error.isEmpty()) {
        require(request.kind.has_value());
        if (*request.kind == Protocol::Kind::Preview) {
            require(Protocol::problemWith(request.preview).isEmpty());
            require(Protocol::decodeRequest(Protocol::encode(request.preview)).preview.path == request.preview.path);
        } else {
            const Protocol::ConvertRequest& convert = request.convert;
            require(*request.kind == Protocol::Kind::Convert);
            require(Protocol::isPlainName(convert.finalName) && Protocol::isPlainName(convert.temporaryName));
            require(!convert.finalName.contains(u'/') && convert.folder >= 0);
            const Protocol::Request again = Protocol::decodeRequest(Protocol::encode(convert));
            require(again.error.isEmpty() && again.convert.finalName == convert.finalName &&
                    again.convert.folder == convert.folder && again.convert.format == convert.format &&
                    again.convert.replace == convert.replace);
        }
    }
    if (const std::optional<qint64> memory = Protocol::decodeProceed(payload))
        require(*memory >= 0);
}

void readReply(const QByteArray& payload)
{
    const std::optional<Protocol::ReplyFrame> reply = Protocol::decodeReply(payload);
    if (!reply)
        return;
    if (reply->kind == Protocol::Reply::Progress || reply->kind == Protocol::Reply::Measured)
        require(reply->value >= 0 && reply->value <= Protocol::maxPixels);
    require(reply->done >= 0 && reply->done <= Protocol::perMille);
    if (reply->kind == Protocol::Reply::Progress) {
        const std::optional<Protocol::ReplyFrame> again =
            Protocol::decodeReply(Protocol::encodeProgress(reply->value, reply->done));
        require(again && again->value == reply->value && again->done == reply->done);
    }
    // A name the window joins to the output folder's path: one plain name, never a path.
    if (reply->kind == Protocol::Reply::Written) {
        require(Protocol::isPlainName(reply->name));
        const std::optional<Protocol::ReplyFrame> again = Protocol::decodeReply(Protocol::encodeWritten(reply->name));
        require(again && again->name == reply->name);
    }
    if (reply->kind != Protocol::Reply::Answer)
        return;
    if (const std::optional<Protocol::PreviewAnswer> preview = Protocol::decodePreviewAnswer(reply->answer)) {
        require(Protocol::isWorkerStatus(preview->status));
        if (preview->status == Protocol::Status::Ok)
            require(preview->rgba.size() == qsizetype(preview->size.width()) * preview->size.height() * 4);
        else
            require(preview->rgba.isEmpty());
        require(preview->size.width() <= Protocol::maxPreviewSide &&
                preview->size.height() <= Protocol::maxPreviewSide);
        const std::optional<Protocol::PreviewAnswer> again =
            Protocol::decodePreviewAnswer(Protocol::encode(*preview).sliced(1));
        require(again && again->status == preview->status && again->rgba == preview->rgba);
    }
    if (const std::optional<Protocol::ConvertAnswer> convert = Protocol::decodeConvertAnswer(reply->answer)) {
        require(Protocol::isWorkerStatus(convert->status) && convert->detail.size() <= Protocol::maxDetailLength);
        const std::optional<Protocol::ConvertAnswer> again =
            Protocol::decodeConvertAnswer(Protocol::encode(*convert).sliced(1));
        require(again && again->status == convert->status && again->detail == convert->detail);
    }
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    // Each side's frames, as its reader cuts them.
    for (const quint32 limit : {Protocol::maxRequestFrame, Protocol::maxReplyFrame}) {
        QByteArray buffer = bytes;
        while (const std::optional<QByteArray> payload = Protocol::takeFrame(buffer, limit)) {
            require(quint64(payload->size()) <= limit);
            if (payload->isEmpty())
                break;
            if (limit == Protocol::maxRequestFrame)
                readRequest(*payload);
            else
                readReply(*payload);
        }
    }
    // The worker's blocking reader cuts the same frames as the window's, and stops where a frame is
    // longer than allowed.
    {
        QByteArray buffer = bytes;
        qsizetype at = 0;
        const auto readExactly = [&](char* data, qsizetype size) {
            if (size > bytes.size() - at)
                return false;
            std::memcpy(data, bytes.constData() + at, size_t(size));
            at += size;
            return true;
        };
        while (const std::optional<QByteArray> payload = Protocol::readFrame(readExactly, Protocol::maxRequestFrame)) {
            const std::optional<QByteArray> cut = Protocol::takeFrame(buffer, Protocol::maxRequestFrame);
            require(cut && *cut == *payload);
        }
    }
    // And the payload alone, without having to find a length that fits.
    readRequest(bytes);
    readReply(bytes);
    return 0;
}

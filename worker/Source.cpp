// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/Source.h"

#include "ipc/LongPath.h"
#include "worker/Failure.h"
#include "worker/TgaFiles.h"

#include <QByteArrayView>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {
using Protocol::Status;

constexpr qint64 maxSourceBytes = 1024LL * 1024 * 1024;

// A view, not mid(): mid() copies the rest of the file, which for a HEIC meant the whole file once a
// brand tried.
bool startsWith(const QByteArray& bytes, const char* prefix, qsizetype at = 0)
{
    return at <= bytes.size() && QByteArrayView(bytes).sliced(at).startsWith(prefix);
}
} // namespace

Source readSource(const OpenedSource& opened, const QString& path)
{
    const LongPath::Fd& file = opened.file;
    if (!file.isValid()) {
        const int error = opened.error;
        throw Failure{error == ENOENT || error == ENOTDIR ? Status::Missing : Status::Unreadable,
                      systemWords("open", error)};
    }
    struct stat info {};
    if (::fstat(file.get(), &info) != 0)
        throw Failure{Status::Unreadable, systemWords("fstat", errno)};
    if (!S_ISREG(info.st_mode))
        throw Failure{Status::Unreadable, "not a file"};
    if (info.st_size > maxSourceBytes)
        throw Failure{Status::TooLarge, "file too large"};
    Source source;
    source.bytes.resize(qsizetype(info.st_size));
    qsizetype got = 0;
    while (got < source.bytes.size()) {
        // From the start, whatever was read of the file before: the window opened it afresh.
        const ssize_t n = ::pread(file.get(), source.bytes.data() + got, size_t(source.bytes.size() - got), got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            throw Failure{Status::Unreadable, systemWords("read", errno)};
        if (n == 0)
            break;
        got += n;
    }
    // A file that shrank while it was read is judged by what it still holds.
    source.bytes.truncate(got);
    source.coder = sniffCoder(source.bytes, path);
    if (source.coder.isEmpty())
        throw Failure{Status::Unsupported, {}};
    if (source.coder == "TGA")
        source.bytes = TgaFiles::forImageMagick(source.bytes);
    return source;
}

QByteArray sniffCoder(const QByteArray& bytes, const QString& path)
{
    const auto byte = [&](qsizetype i) { return i < bytes.size() ? quint8(bytes[i]) : quint8(0); };
    if (byte(0) == 0xFF && byte(1) == 0xD8 && byte(2) == 0xFF)
        return "JPEG";
    if (startsWith(bytes, "\x89PNG\r\n\x1a\n"))
        return "PNG";
    if (startsWith(bytes, "GIF87a") || startsWith(bytes, "GIF89a"))
        return "GIF";
    if (startsWith(bytes, "BM") && bytes.size() >= 26)
        return "BMP";
    if (startsWith(bytes, "II*") || startsWith(bytes, "II+") ||
        (startsWith(bytes, "MM") && byte(2) == 0 && (byte(3) == '*' || byte(3) == '+')))
        return "TIFF";
    if (byte(0) == 0 && byte(1) == 0 && byte(2) == 1 && byte(3) == 0 && (byte(4) | byte(5)) != 0)
        return "ICO";
    if (startsWith(bytes, "RIFF") && startsWith(bytes, "WEBP", 8))
        return "WEBP";
    if (startsWith(bytes, "ftyp", 4)) {
        static const std::array<const char*, 10> brands{"heic", "heix", "hevc", "hevx", "heim",
                                                        "heis", "mif1", "msf1", "avif", "avis"};
        for (const char* brand : brands) {
            if (startsWith(bytes, brand, 8))
                return "HEIC";
        }
    }
    if (byte(0) == 0x0A && byte(1) <= 5 && byte(1) != 1 && byte(2) <= 1 &&
        (byte(3) == 1 || byte(3) == 2 || byte(3) == 4 || byte(3) == 8) && bytes.size() > 128)
        return "PCX";
    if (byte(0) == 'P' && byte(1) >= '1' && byte(1) <= '7' &&
        (byte(2) == ' ' || byte(2) == '\n' || byte(2) == '\r' || byte(2) == '\t'))
        return "PNM";
    if (path.endsWith(QStringLiteral(".tga"), Qt::CaseInsensitive) && TgaFiles::isPlausible(bytes))
        return "TGA";
    return {};
}

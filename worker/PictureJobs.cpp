// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/PictureJobs.h"

#include "worker/Failure.h"
#include "worker/HeaderGate.h"
#include "worker/MagickImages.h"
#include "worker/MagickRoute.h"
#include "worker/OutputFile.h"
#include "worker/PhotoRoute.h"
#include "worker/SignsOfLife.h"
#include "worker/Source.h"

#include <Magick++.h>

#include <list>
#include <new>
#include <vector>

namespace {
using Protocol::Status;
using namespace MagickImages;
} // namespace

void PictureJobs::abandonOutput()
{
    OutputFile::abandonAll();
}

void PictureJobs::limitResources(qint64 pixelMemory)
{
    Magick::ResourceLimits::thread(1);
    Magick::ResourceLimits::listLength(10000);
    if (pixelMemory > 0) {
        Magick::ResourceLimits::memory(MagickCore::MagickSizeType(pixelMemory));
        Magick::ResourceLimits::map(MagickCore::MagickSizeType(pixelMemory));
    }
}

PictureJobs::Preview PictureJobs::preview(const OpenedSource& file, const QString& path, QSize box, const Hooks& hooks)
{
    SignsOfLife life(hooks);
    Preview answer;
    try {
        const Source source = readSource(file, path);
        gate(source, std::nullopt);
        Magick::Image image = MagickRoute::picture(source, box, life);
        answer.size = QSize(int(image.columns()), int(image.rows()));
        const std::vector<quint8> rgba = rgbaOf(image);
        answer.rgba = QByteArray(reinterpret_cast<const char*>(rgba.data()), qsizetype(rgba.size()));
    } catch (const Failure& failure) {
        answer = {failure.status, {}, {}};
    } catch (const Magick::Exception& error) {
        answer = {failureOf(error).status, {}, {}};
    } catch (const std::bad_alloc&) {
        answer = {Status::TooLarge, {}, {}};
    }
    return answer;
}

Protocol::Status PictureJobs::convert(const OpenedSource& file, const ConvertRequest& request, const Hooks& hooks,
                                      QString* detail)
{
    SignsOfLife life(hooks);
    const auto fail = [&](const Failure& failure) {
        if (detail)
            *detail = QString::fromStdString(failure.detail);
        return failure.status;
    };
    try {
        const Source input = readSource(file, request.source);
        const OutputFormat::Index formatIndex = request.format;
        const qint64 pixels = gate(input, formatIndex);
        if (hooks.admit)
            hooks.admit(pixels);
        OutputFile file(request, hooks);
        if (input.coder == "JPEG") {
            const auto known = [&](qint64 pixels) { life.pixelsKnown(pixels); };
            const auto done = [&](qint16 done) { life.doneSoFar(done); };
            if (PhotoRoute::convert(input.bytes, formatIndex, file, known, done)) {
                file.commit();
                return Status::Ok;
            }
            file.discard();
            life.doneSoFar(0);
        }
        const Magick::Blob blob = MagickRoute::convert(input, formatIndex, life);
        file.append(static_cast<const char*>(blob.data()), blob.length());
        file.commit();
        return Status::Ok;
    } catch (const Failure& failure) {
        return fail(failure);
    } catch (const Magick::Exception& error) {
        return fail(failureOf(error));
    } catch (const std::bad_alloc&) {
        return fail({Status::TooLarge, "out of memory"});
    }
}

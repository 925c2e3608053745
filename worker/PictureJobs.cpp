// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/PictureJobs.h"

#include "worker/Failure.h"
#include "worker/HeaderGate.h"
#include "worker/JpegPhotos.h"
#include "worker/MagickImages.h"
#include "worker/MagickRead.h"
#include "worker/MagickRoute.h"
#include "worker/MagickWriters.h"
#include "worker/OutputFile.h"
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

PictureJobs::Preview PictureJobs::preview(const QString& path, QSize box, const Hooks& hooks)
{
    SignsOfLife life(hooks);
    Preview answer;
    try {
        const Source source = readSource(path);
        gate(source, std::nullopt);
        // The JPEG decoder scales by eighths to no less than the hint, and the thumbnail averages the
        // rest down to the box, which keeps it sharp. A hint of twice the box cost a 24-megapixel
        // photo 217 ms instead of 105 (kalvorin-bench --preview). The box may turn by a quarter when
        // the picture is rotated upright, so the hint is square.
        const int side = std::max(box.width(), box.height());
        std::list<Magick::Image> frames = readPicture(source, false, QSize(side, side));
        // As a screen shows it: the first frame whole, in sRGB.
        settleCanvas(frames, source.coder, false);
        Magick::Image& image = frames.front();
        life.pixelsKnown(qint64(image.columns()) * qint64(image.rows()));
        turnUpright(image, source.coder);
        settleColour(image, false);
        if (box.isValid()) {
            Magick::Geometry fit(size_t(box.width()), size_t(box.height()));
            fit.greater(true);
            image.thumbnail(fit);
        }
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

Protocol::Status PictureJobs::convert(const ConvertRequest& request, const Hooks& hooks, QString* detail)
{
    SignsOfLife life(hooks);
    const auto fail = [&](const Failure& failure) {
        if (detail)
            *detail = QString::fromStdString(failure.detail);
        return failure.status;
    };
    try {
        const Source input = readSource(request.source);
        const OutputFormat::Index formatIndex = request.format;
        const qint64 pixels = gate(input, formatIndex);
        if (hooks.admit)
            hooks.admit(pixels);
        OutputFile file(request, hooks);
        if (input.coder == "JPEG") {
            const auto known = [&](qint64 pixels) { life.pixelsKnown(pixels); };
            const auto done = [&](qint16 done) { life.doneSoFar(done); };
            if (JpegPhotos::convert(input.bytes, formatIndex, file, known, done)) {
                file.commit();
                return Status::Ok;
            }
            file.discard();
            life.doneSoFar(0);
        }
        const OutputFormat::Traits& output = OutputFormat::traits(formatIndex);
        std::list<Magick::Image> frames = readPicture(input, output.everyFrame, hintFor(formatIndex));
        life.pixelsKnown(pixelsOf(frames));
        for (Magick::Image& frame : frames) {
            turnUpright(frame, input.coder);
            dropProperties(frame, "exif:");
            settleColour(frame, output.keepsProfile);
        }
        settleCanvas(frames, input.coder, output.framesAsStored);
        // Camera pictures: noise everywhere, few long runs of equal bytes.
        const bool photographic = input.coder == "JPEG" || input.coder == "HEIC";
        const Magick::Blob blob = encode(frames, formatIndex, photographic);
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

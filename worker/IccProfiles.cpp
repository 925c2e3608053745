// SPDX-License-Identifier: GPL-3.0-or-later
#include "worker/IccProfiles.h"

#include <QFile>

#include <lcms2.h>

#include <array>
#include <memory>

namespace {
struct ProfileCloser {
    void operator()(void* profile) const { cmsCloseProfile(profile); }
};
using Profile = std::unique_ptr<void, ProfileCloser>;

Profile open(const QByteArray& bytes)
{
    if (bytes.isEmpty())
        return Profile();
    return Profile(cmsOpenProfileFromMem(bytes.constData(), cmsUInt32Number(bytes.size())));
}

QByteArray saved(cmsHPROFILE profile)
{
    cmsUInt32Number size = 0;
    if (!profile || !cmsSaveProfileToMem(profile, nullptr, &size) || size == 0)
        return {};
    QByteArray bytes(qsizetype(size), '\0');
    if (!cmsSaveProfileToMem(profile, bytes.data(), &size))
        return {};
    return bytes;
}
} // namespace

IccProfiles::Space IccProfiles::spaceOf(const QByteArray& profile)
{
    const Profile opened = open(profile);
    if (!opened)
        return Space::Unusable;
    switch (cmsGetColorSpace(opened.get())) {
    case cmsSigRgbData:
        return Space::Rgb;
    case cmsSigGrayData:
        return Space::Grey;
    case cmsSigCmykData:
        return Space::Cmyk;
    default:
        return Space::Other;
    }
}

bool IccProfiles::isSrgb(const QByteArray& profile)
{
    const Profile opened = open(profile);
    if (!opened || cmsGetColorSpace(opened.get()) != cmsSigRgbData)
        return false;
    // Cameras and editors name it "sRGB IEC61966-2.1", "sRGB built-in", "sRGB v4 ICC preference" and
    // the like; every wide-gamut profile has a name of its own.
    std::array<char, 256> name{};
    cmsGetProfileInfoASCII(opened.get(), cmsInfoDescription, "en", "US", name.data(), cmsUInt32Number(name.size()));
    return QByteArray(name.data()).contains("sRGB");
}

const QByteArray& IccProfiles::srgb()
{
    static const QByteArray profile = [] {
        const Profile built(cmsCreate_sRGBProfile());
        return saved(built.get());
    }();
    return profile;
}

const QByteArray& IccProfiles::defaultCmyk()
{
    // Ghostscript's default CMYK profile (SWOP-like coated paper), which Debian installs with
    // ImageMagick's PostScript support.
    static const QByteArray profile = [] {
        for (const char* path :
             {"/usr/share/color/icc/ghostscript/default_cmyk.icc", "/usr/share/color/icc/ghostscript/ps_cmyk.icc"}) {
            QFile file(QString::fromLatin1(path));
            if (file.open(QIODevice::ReadOnly)) {
                const QByteArray bytes = file.readAll();
                if (spaceOf(bytes) == Space::Cmyk)
                    return bytes;
            }
        }
        return QByteArray();
    }();
    return profile;
}

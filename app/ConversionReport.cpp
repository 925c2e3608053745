// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/ConversionReport.h"

#include <QDir>

namespace {
QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}

QString why(PlannedOutput::Renamed renamed)
{
    switch (renamed) {
    case PlannedOutput::Renamed::SameNameAsAnotherEntry:
        return QStringLiteral("与同一批中的另一张图片同名");
    case PlannedOutput::Renamed::SameFileAsASource:
        return QStringLiteral("原名是本批的一张原图");
    case PlannedOutput::Renamed::AlreadyInTheFolder:
        return QStringLiteral("保存路径中已有同名文件");
    case PlannedOutput::Renamed::NameTakenWhileConverting:
        return QStringLiteral("转换时出现了同名文件");
    case PlannedOutput::Renamed::No:
        break;
    }
    return {};
}
} // namespace

Message ConversionReport::message() const
{
    const QString folderShown = native(folder);
    const QDir out(folder);
    QStringList details;
    const auto section = [&](const QString& heading) {
        if (!details.isEmpty())
            details.append(QString());
        details.append(heading);
    };
    if (!failures.isEmpty()) {
        section(QStringLiteral("未能转换的图片："));
        for (const Failure& failure : failures) {
            QString line = native(failure.source) + QStringLiteral("：") + failure.reason;
            if (!failure.detail.isEmpty())
                line += QStringLiteral("（") + failure.detail + QStringLiteral("）");
            details.append(line);
        }
    }
    if (!renames.isEmpty()) {
        section(QStringLiteral("以下图片另存为带编号的新名字："));
        for (const Rename& rename : renames)
            details.append(native(rename.source) + QStringLiteral(" → ") + out.relativeFilePath(rename.target) +
                           QStringLiteral("（") + why(rename.why) + QStringLiteral("）"));
    }
    if (!skipped.isEmpty()) {
        section(QStringLiteral("以下图片已跳过，保存路径中的同名文件保持原样："));
        for (const Skip& skip : skipped)
            details.append(native(skip.source) + QStringLiteral(" → ") + out.relativeFilePath(skip.target));
    }
    if (!repeats.isEmpty()) {
        section(QStringLiteral("以下条目与前面的条目是同一个文件，没有重复转换："));
        for (const Repeat& repeat : repeats) {
            details.append(native(repeat.source) + (repeat.target.isEmpty()
                                                        ? QStringLiteral("（未转换）")
                                                        : QStringLiteral(" → ") + out.relativeFilePath(repeat.target)));
        }
    }

    Message message;
    message.details = details.join(u'\n');
    const int notWritten = total - written;
    if (cancelled && notWritten > 0) {
        message.icon = Message::Icon::Warning;
        message.title = QStringLiteral("转换已取消");
        message.text = QStringLiteral("转换已取消。已转换 %1 张图片，%2 张未转换。\n保存路径：%3")
                           .arg(QString::number(written), QString::number(notWritten), folderShown);
    } else if (notWritten > 0) {
        message.icon = Message::Icon::Warning;
        message.title = QStringLiteral("转换完毕");
        message.text = QStringLiteral("有 %1 张图片未能转换（原因见详情）。其余 %2 张图片已保存到：%3")
                           .arg(QString::number(notWritten), QString::number(written), folderShown);
    } else {
        message.icon = Message::Icon::Information;
        message.title = QStringLiteral("转换完毕");
        message.text = QStringLiteral("图片转换完毕！图片已经被输出保存路径到") + folderShown;
    }
    if (!renames.isEmpty())
        message.text += QStringLiteral("\n其中 %1 张图片另存为带编号的新名字（见详情）。").arg(renames.size());
    if (!skipped.isEmpty())
        message.text += QStringLiteral("\n已跳过 %1 张图片：保存路径中已有同名文件。").arg(skipped.size());
    if (!repeats.isEmpty())
        message.text +=
            QStringLiteral("\n另有 %1 个条目与前面的条目是同一个文件，没有重复转换（见详情）。").arg(repeats.size());
    return message;
}

#include "ConversionReport.h"

#include <QDir>

namespace {
QString native(const QString& path)
{
    return QDir::toNativeSeparators(path);
}
} // namespace

Message ConversionReport::message() const
{
    const QString folderShown = native(folder);
    QStringList details;
    if (!failures.isEmpty()) {
        details.append(QStringLiteral("未能转换的图片："));
        for (const Failure& failure : failures)
            details.append(native(failure.source) + QStringLiteral("：") + failure.reason);
    }
    if (!renames.isEmpty()) {
        if (!details.isEmpty())
            details.append(QString());
        details.append(QStringLiteral("以下图片与同一批中的其他文件同名，已另存为新名字："));
        for (const Rename& rename : renames)
            details.append(native(rename.source) + QStringLiteral(" → ") +
                           QDir(folder).relativeFilePath(rename.target));
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
    return message;
}

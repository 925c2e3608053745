// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/Startup.h"

#include <QList>
#include <QLocale>
#include <QtGlobal>

#include <cstdio>
#include <cstdlib>
#include <utility>

namespace Startup {

Arguments parse(const QStringList& arguments)
{
    Arguments parsed;
    bool options = true;
    for (const QString& argument : arguments) {
        if (options && argument == QStringLiteral("--")) {
            options = false;
        } else if (options && (argument == QStringLiteral("--help") || argument == QStringLiteral("-h"))) {
            parsed.help = true;
        } else if (options && (argument == QStringLiteral("--version") || argument == QStringLiteral("-v"))) {
            parsed.version = true;
        } else if (options && argument.startsWith(u'-') && argument.size() > 1) {
            // Qt's own options (-platform, -style, ...) are not the program's; one that is unknown is
            // refused rather than read as a file.
            parsed.error = QStringLiteral("未知的选项：%1").arg(argument);
            return parsed;
        } else if (!argument.isEmpty()) {
            parsed.files.append(argument);
        }
    }
    return parsed;
}

QString usage()
{
    return QStringLiteral("用法：kalvorin [选项] [文件或文件夹…]\n"
                          "打开批量转换图片格式的窗口，列出所给的图片（文件夹则列出其中的图片）。\n"
                          "\n"
                          "选项：\n"
                          "  -h, --help     显示此帮助并退出\n"
                          "  -v, --version  显示版本并退出\n");
}

std::optional<QString> missingDisplay(const QStringList& environment)
{
    const auto has = [&](const QString& name) {
        for (const QString& entry : environment) {
            if (entry.startsWith(name + u'=') && entry.size() > name.size() + 1)
                return true;
        }
        return false;
    };
    if (has(QStringLiteral("DISPLAY")) || has(QStringLiteral("WAYLAND_DISPLAY")) ||
        has(QStringLiteral("QT_QPA_PLATFORM")))
        return std::nullopt;
    return QStringLiteral("kalvorin：没有图形显示（DISPLAY 和 WAYLAND_DISPLAY 都未设置），无法打开窗口。");
}

namespace {
QtMessageHandler g_previous = nullptr;
// What Qt said while it opened the display: kept, and told only if it then opened it.
struct Held {
    QtMsgType type;
    QString message;
};
QList<Held> g_held;

void holdUntilOpen(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type != QtFatalMsg) {
        g_held.append({type, message});
        return;
    }
    // The first thing Qt said names the cause ("could not connect to display :1"); the fatal message
    // only that no platform could start.
    const QString cause = g_held.isEmpty() ? message : g_held.front().message;
    const QByteArray line = (QStringLiteral("kalvorin：无法打开窗口：") + cause.section(u'\n', 0, 0)).toLocal8Bit();
    std::fprintf(stderr, "%s\n", line.constData());
    std::fflush(stderr);
    std::_Exit(1);
}
} // namespace

void exitQuietlyIfNoDisplay()
{
    g_previous = qInstallMessageHandler(holdUntilOpen);
}

void finish()
{
    qInstallMessageHandler(g_previous);
    for (const Held& held : std::exchange(g_held, {}))
        qt_message_output(held.type, QMessageLogContext(), held.message);
}

InterfaceLocale::InterfaceLocale()
{
    if (qEnvironmentVariableIsSet("LC_ALL"))
        m_userValue = qgetenv("LC_ALL");
    qputenv("LC_ALL", "zh_CN.UTF-8");
}

InterfaceLocale::~InterfaceLocale()
{
    settle();
}

void InterfaceLocale::settle()
{
    if (m_settled)
        return;
    m_settled = true;
    // Read now and kept: Qt reads the environment's locale once, at the first use.
    (void)QLocale::system().name();
    if (m_userValue)
        qputenv("LC_ALL", *m_userValue);
    else
        qunsetenv("LC_ALL");
}

} // namespace Startup

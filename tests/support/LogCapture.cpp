#include "LogCapture.h"

#include <mutex>

namespace {

std::mutex g_mutex;
QStringList g_lines;
QtMessageHandler g_installedOver = nullptr;

const QString kReset = QStringLiteral("\x1b[0m");

QString origin(const QString& label)
{
    return QStringLiteral("]->") + label + QStringLiteral(": ");
}

} // namespace

LogCapture::LogCapture()
{
    clear();
    m_previous = qInstallMessageHandler(&LogCapture::handler);
}

LogCapture::~LogCapture()
{
    qInstallMessageHandler(m_previous);
}

void LogCapture::install()
{
    g_installedOver = qInstallMessageHandler(&LogCapture::handler);
}

void LogCapture::uninstall()
{
    qInstallMessageHandler(g_installedOver);
}

void LogCapture::handler(QtMsgType, const QMessageLogContext&, const QString& message)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.append(message);
}

QStringList LogCapture::lines()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_lines;
}

int LogCapture::countContaining(const QString& part)
{
    int n = 0;
    for (const QString& line : lines())
        n += line.contains(part) ? 1 : 0;
    return n;
}

QStringList LogCapture::linesOf(const QString& label)
{
    const QString tag = origin(label);
    QStringList found;
    for (const QString& line : lines())
        if (line.contains(tag))
            found << line;
    return found;
}

QStringList LogCapture::messages(bool error, const QString& label)
{
    const QString prefix = error ? QStringLiteral("\x1b[31mERROR[") : QStringLiteral("STATUS[");
    const QString tag = origin(label);
    QStringList found;
    for (const QString& line : lines()) {
        const int at = line.indexOf(tag);
        if (!line.startsWith(prefix) || at < 0)
            continue;
        QString message = line.mid(at + tag.size());
        if (error && message.endsWith(kReset))
            message.chop(kReset.size());
        found << message;
    }
    return found;
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_lines.clear();
}

QString statusLine(const QString& label, const QString& message)
{
    return QStringLiteral("STATUS[\x1b[32mZidiVevuro\x1b[0m") + origin(label) + message;
}

QString errorLine(const QString& label, const QString& message)
{
    return QStringLiteral("\x1b[31mERROR[\x1b[32mZidiVevuro\x1b[31m") + origin(label) + message + kReset;
}

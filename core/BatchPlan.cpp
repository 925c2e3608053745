#include "BatchPlan.h"

#include "Naming.h"

#include <QDir>
#include <QSet>

namespace {
QString pathKey(const QString& path)
{
    return QDir::cleanPath(path).toCaseFolded();
}
} // namespace

QList<PlannedOutput> planBatch(const QStringList& entries, const QString& folder, int formatIndex,
                               const std::function<bool(const QString&)>& existsOnDisk)
{
    QSet<QString> sources;
    for (const QString& entry : entries)
        sources.insert(pathKey(entry));

    QSet<QString> taken;
    QList<PlannedOutput> plan;
    plan.reserve(entries.size());
    const QString extension = OutputFormat::extension(formatIndex);
    for (const QString& entry : entries) {
        PlannedOutput out{entry, outputPath(folder, entry, formatIndex)};
        const auto clashes = [&](const QString& path) {
            const QString key = pathKey(path);
            return taken.contains(key) || sources.contains(key);
        };
        if (clashes(out.target)) {
            const QString base = Getfn(entry);
            for (int n = 2;; ++n) {
                const QString candidate =
                    joinPath(folder, QStringLiteral("%1 (%2)%3").arg(base, QString::number(n), extension));
                if (!clashes(candidate) && !(existsOnDisk && existsOnDisk(candidate))) {
                    out.target = candidate;
                    break;
                }
            }
            out.renamed = true;
        }
        taken.insert(pathKey(out.target));
        plan.append(out);
    }
    return plan;
}

// SPDX-License-Identifier: GPL-3.0-or-later
#include "core/BatchPlan.h"

#include "core/Naming.h"

#include <QDir>
#include <QHash>
#include <QSet>

FileFacts lookUpNothing(const QString& path)
{
    return {false, false, QDir::cleanPath(path).toCaseFolded()};
}

QList<PlannedOutput> planBatch(const QStringList& entries, const QString& folder, OutputFormat::Index format,
                               const FileLookup& lookup, ExistingFiles existing)
{
    using Renamed = PlannedOutput::Renamed;
    // Each source's identity and the first entry that reaches it.
    QHash<QString, int> sources;
    QList<int> firstOfSource;
    firstOfSource.reserve(entries.size());
    for (const QString& entry : entries) {
        const QString identity = lookup(entry).identity;
        if (!sources.contains(identity))
            sources.insert(identity, int(firstOfSource.size()));
        firstOfSource.append(sources.value(identity));
    }

    // The identities the batch writes to, or set aside for skipped entries.
    QSet<QString> taken;
    QList<PlannedOutput> plan;
    plan.reserve(entries.size());
    for (const QString& entry : entries) {
        const int first = firstOfSource[plan.size()];
        if (first < plan.size()) {
            // Two outputs of one file would be the same picture twice under two names.
            PlannedOutput out{entry, plan[first].target};
            out.repeats = first;
            plan.append(out);
            continue;
        }
        PlannedOutput out{entry, outputPath(folder, entry, format)};
        const FileFacts facts = lookup(out.target);
        if (taken.contains(facts.identity)) {
            out.renamed = Renamed::SameNameAsAnotherEntry;
        } else if (sources.contains(facts.identity)) {
            out.renamed = Renamed::SameFileAsASource;
        } else if (facts.isFolder) {
            out.renamed = Renamed::AlreadyInTheFolder;
        } else if (facts.exists) {
            out.replacesExisting = true;
            if (existing == ExistingFiles::KeepBoth)
                out.renamed = Renamed::AlreadyInTheFolder;
            else if (existing == ExistingFiles::Skip)
                out.skipped = true;
        }
        if (out.renamed != Renamed::No) {
            out.replacesExisting = false;
            for (int n = 2;; ++n) {
                const QString candidate = joinPath(folder, numberedName(entry, format, n));
                const FileFacts candidateFacts = lookup(candidate);
                if (!candidateFacts.exists && !taken.contains(candidateFacts.identity) &&
                    !sources.contains(candidateFacts.identity)) {
                    out.target = candidate;
                    taken.insert(candidateFacts.identity);
                    break;
                }
            }
        } else {
            // A skipped entry keeps its name to itself: a later entry of that name is numbered, as it
            // would have been had the file been replaced.
            taken.insert(facts.identity);
        }
        plan.append(out);
    }
    return plan;
}

QList<PlannedOutput> replacedFiles(const QList<PlannedOutput>& plan)
{
    QList<PlannedOutput> replaced;
    for (const PlannedOutput& output : plan) {
        if (output.replacesExisting)
            replaced.append(output);
    }
    return replaced;
}

#ifndef TIVAKO_IPC_INSTANCELOCK_H
#define TIVAKO_IPC_INSTANCELOCK_H

// Lock files that tell whether the process that marked itself in the shared
// block is still alive. The block's own flag survives a crash (on Linux the
// block outlives its processes), a lock file held by a process does not:
// QLockFile recognises a file whose owner has died as stale.
//
// The files sit beside the shared-memory facility's own key files (the
// temporary folder), named after the block's key, so every program that
// reaches the block finds the same lock.

#include <QString>

enum class InstanceLockState {
    Free,    // nobody holds it, or only a process that has died
    Held,    // a live process holds it
    Unknown, // the lock file cannot be examined
};

// The two roles that hold a lock: every program names them through these.
constexpr char kLoaderLockRole[] = "loader";
constexpr char kMonitorLockRole[] = "monitor";

// role: kLoaderLockRole or kMonitorLockRole.
QString instanceLockPath(const QString& key, const QString& role);

// Looks whether a live process holds the lock, without keeping it.
InstanceLockState probeInstanceLock(const QString& key, const QString& role);

#endif

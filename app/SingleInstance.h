#pragma once
// One operator window per station. The first window on a station holds a lock
// file named after the station; a second window on the same station finds it held
// and is refused (the running instance is kept: ending it would cut a run short).
// A lock left by a process that died is taken over.
#include <QLockFile>
#include <QString>
#include <memory>

namespace app {

class CSingleInstance {
public:
    // `station`: the station choice ("emu:DIR", "linux"); `lockFolder`: where the
    // lock files live (the system's temporary folder by default).
    explicit CSingleInstance(const QString& station, const QString& lockFolder = {});
    // True when this instance holds the station; false when another one does.
    bool bAcquire();
    QString LockPath() const { return m_Path; }

private:
    QString m_Path;
    std::unique_ptr<QLockFile> m_pLock;
};

// The station choice made absolute, so "emu:st" and "emu:./st" name one station.
QString strCanonicalStation(const QString& station);

}  // namespace app

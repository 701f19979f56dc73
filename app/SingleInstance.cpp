#include "app/SingleInstance.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

namespace app {

QString strCanonicalStation(const QString& station)
{
    if (station.startsWith(QLatin1String("emu:")))
        return QStringLiteral("emu:") + QDir::cleanPath(QFileInfo(station.mid(4)).absoluteFilePath());
    return station;
}

CSingleInstance::CSingleInstance(const QString& station, const QString& lockFolder)
{
    const QString folder = lockFolder.isEmpty() ? QDir::tempPath() : lockFolder;
    const QByteArray key =
        QCryptographicHash::hash(strCanonicalStation(station).toUtf8(), QCryptographicHash::Sha1).toHex().left(16);
    m_Path = QDir(folder).filePath(QStringLiteral("DEVeda-%1.lock").arg(QString::fromLatin1(key)));
    m_pLock = std::make_unique<QLockFile>(m_Path);
    m_pLock->setStaleLockTime(0);  // only a dead owner makes the lock stale, never its age
}

bool CSingleInstance::bAcquire() { return m_pLock->isLocked() || m_pLock->tryLock(0); }

}  // namespace app

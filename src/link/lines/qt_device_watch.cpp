#include "link/lines/qt_device_watch.h"

#include <sys/stat.h>

#include <QFile>
#include <QStringList>

namespace mero::link {
namespace {

QByteArray NearestExistingFolder(QByteArray path) {
  while (true) {
    const qsizetype slash = path.lastIndexOf('/');
    if (slash <= 0) return QByteArrayLiteral("/");
    path.truncate(slash);
    struct stat info {};
    if (::stat(path.constData(), &info) == 0 && S_ISDIR(info.st_mode)) return path;
  }
}

}  // namespace

bool PathExists(const QByteArray& path) {
  struct stat info {};
  return !path.isEmpty() && ::stat(path.constData(), &info) == 0;
}

DeviceWatch::DeviceWatch(QObject* parent) : QObject(parent) {
  connect(&watcher_, &QFileSystemWatcher::directoryChanged, this, [this] {
    if (paths_.empty()) return;
    // A folder on the way may have appeared or gone: watch the nearest ones again.
    follow();
    if (onChange) onChange();
  });
}

void DeviceWatch::watch(std::vector<QByteArray> paths) {
  std::erase_if(paths, [](const QByteArray& path) { return path.isEmpty(); });
  paths_ = std::move(paths);
  follow();
}

void DeviceWatch::stop() {
  paths_.clear();
  const QStringList watched = watcher_.directories();
  if (!watched.isEmpty()) watcher_.removePaths(watched);
}

void DeviceWatch::follow() {
  QStringList wanted;
  for (const QByteArray& path : paths_) {
    const QString folder = QFile::decodeName(NearestExistingFolder(path));
    if (!wanted.contains(folder)) wanted.push_back(folder);
  }
  const QStringList watched = watcher_.directories();
  for (const QString& folder : watched) {
    if (!wanted.contains(folder)) watcher_.removePath(folder);
  }
  for (const QString& folder : wanted) {
    if (!watched.contains(folder)) watcher_.addPath(folder);
  }
}

}  // namespace mero::link

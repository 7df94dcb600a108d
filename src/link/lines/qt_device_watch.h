#pragma once

#include <QByteArray>
#include <QFileSystemWatcher>
#include <QObject>
#include <functional>
#include <vector>

namespace mero::link {

// Tells when one of some paths may have appeared, through file-system notification on the
// folders that hold them (or the nearest folder above that exists, for folders that come and
// go such as /dev/serial/by-id). Costs nothing while nothing changes: no polling.
class DeviceWatch : public QObject {
  Q_OBJECT
 public:
  explicit DeviceWatch(QObject* parent = nullptr);

  void watch(std::vector<QByteArray> paths);
  void stop();
  bool isWatching() const { return !paths_.empty(); }

  // Raised on every change in a watched folder.
  std::function<void()> onChange;

 private:
  void follow();

  QFileSystemWatcher watcher_;
  std::vector<QByteArray> paths_;
};

// Whether something exists at the path (a link is followed).
bool PathExists(const QByteArray& path);

}  // namespace mero::link

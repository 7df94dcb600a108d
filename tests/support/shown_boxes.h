#pragma once

#include <QApplication>
#include <QEvent>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

namespace mero::test {

// The boxes as the operator meets them, for a panel that shows its boxes rather than records
// them: each notice window shown, and the most of them on the screen at once. A modal warning
// box would hold everything in its own event loop, so it is noted and closed as soon as it
// shows. Watches the whole application from construction to destruction.
class ShownBoxes : public QObject {
 public:
  ShownBoxes() { qApp->installEventFilter(this); }
  ~ShownBoxes() override { qApp->removeEventFilter(this); }
  ShownBoxes(const ShownBoxes&) = delete;
  ShownBoxes& operator=(const ShownBoxes&) = delete;

  // Distinct notice windows shown so far.
  std::size_t noticeWindows() const { return shown_.size(); }
  std::size_t mostAtOnce() const { return mostAtOnce_; }
  // The texts of the modal boxes, in order.
  const std::vector<std::string>& warnings() const { return warnings_; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    auto* box = qobject_cast<QMessageBox*>(watched);
    if (box == nullptr || event->type() != QEvent::Show) return false;
    if (box->windowModality() != Qt::NonModal) {
      warnings_.push_back(box->text().toStdString());
      QMetaObject::invokeMethod(
          box, [box] { box->done(QMessageBox::Ok); }, Qt::QueuedConnection);
      return false;
    }
    const auto known = [box](const QPointer<QMessageBox>& seen) { return seen == box; };
    if (std::none_of(shown_.begin(), shown_.end(), known)) shown_.emplace_back(box);
    std::size_t visible = 1;  // this one, about to show
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* other = qobject_cast<QMessageBox*>(top);
      visible += static_cast<std::size_t>(other != nullptr && other != box && other->isVisible());
    }
    mostAtOnce_ = std::max(mostAtOnce_, visible);
    return false;
  }

 private:
  // Guarded: a box deleted and another made at its address are two windows.
  std::vector<QPointer<QMessageBox>> shown_;
  std::size_t mostAtOnce_ = 0;
  std::vector<std::string> warnings_;
};

}  // namespace mero::test

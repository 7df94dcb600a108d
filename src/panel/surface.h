#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace mero::panel {

// How a notice looks: a fault the operator should see to, or news that needs nothing done.
enum class Notice { Warning, Information };

// The window as the form logic sees it. Controls are named as in the control table
// ("Label11", "Command34", "Frame8" ...). Captions are UTF-8. Geometry is in twips; window
// heights are outer heights, title bar and borders included.
class Surface {
 public:
  virtual ~Surface() = default;

  virtual void setCaption(std::string_view control, const std::string& text) = 0;
  virtual std::string caption(std::string_view control) const = 0;
  // Changes a caption as AppendAndDrop changes a text, at a cost in proportion to the change
  // rather than to the caption: for a long caption that grows and loses its front a little at
  // a time.
  virtual void appendCaption(std::string_view control, std::string_view appended,
                             std::size_t dropFrom, std::size_t dropCount) = 0;
  virtual void setVisible(std::string_view control, bool visible) = 0;
  virtual bool isVisible(std::string_view control) const = 0;
  // Marks an option button (and so unmarks the others of its group); raises no handler.
  virtual void mark(std::string_view option) = 0;
  virtual bool isMarked(std::string_view option) const = 0;

  // The command entry box: its text as line bytes, and clearing it.
  virtual std::string entryBytes() const = 0;
  virtual void clearEntry() = 0;

  virtual int windowWidth() const = 0;
  virtual int windowHeight() const = 0;
  virtual void setWindowHeight(int twips) = 0;
  virtual void setWindowPosition(int left, int top) = 0;
  virtual int screenWidth() const = 0;
  virtual int screenHeight() const = 0;

  // A modal warning box with only an OK button; returns once it is closed.
  virtual void warn(const std::string& text) = 0;
  // A notice that does not stop the panel (the operator closes it when convenient). There is
  // one notice at a time: a newer one takes the place of the one shown.
  virtual void notify(const std::string& text, Notice kind = Notice::Warning) = 0;
  // Closes the window and ends the program.
  virtual void quit() = 0;
};

// `appended` added at the end of `text`, then `dropCount` bytes (as many as there are) taken
// out from `dropFrom`.
inline void AppendAndDrop(std::string& text, std::string_view appended, std::size_t dropFrom,
                          std::size_t dropCount) {
  text += appended;
  text.erase(std::min(dropFrom, text.size()), dropCount);
}

}  // namespace mero::panel

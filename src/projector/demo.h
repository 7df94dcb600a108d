#pragma once

#include <memory>
#include <string>

#include "projector/pty_server.h"

namespace mero::vp {

// The built-in virtual projector that --demo puts behind COM1, served for the program's life.
class Demo {
 public:
  // Null, with the reason in `error`, when no pseudo-terminal could be had: the caller says so
  // and stops, rather than dying on an exception from deep in start-up.
  static std::unique_ptr<Demo> Start(std::string* error);

  std::string Device() const { return server_.DevicePath(); }

 private:
  Demo() = default;
  PtyServer server_;
};

}  // namespace mero::vp

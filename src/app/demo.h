#pragma once

#include <memory>
#include <string>
#include <system_error>

#include "virtual_projector/pty_server.h"

namespace mero::app {

// The built-in virtual projector that --demo puts behind COM1, served for the program's life.
class Demo {
 public:
  static std::unique_ptr<Demo> start(std::string* error) {
    try {
      return std::unique_ptr<Demo>(new Demo());
    } catch (const std::system_error& e) {
      *error = e.what();
      return nullptr;
    }
  }

  std::string device() const { return server_.DevicePath(); }

 private:
  Demo() = default;
  vp::PtyServer server_;
};

}  // namespace mero::app

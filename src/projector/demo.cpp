#include "projector/demo.h"

#include <system_error>

namespace mero::vp {

std::unique_ptr<Demo> Demo::Start(std::string* error) {
  try {
    // Not make_unique: the constructor is private.
    return std::unique_ptr<Demo>(new Demo());
  } catch (const std::system_error& e) {
    *error = e.what();
    return nullptr;
  }
}

}  // namespace mero::vp

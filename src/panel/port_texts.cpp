#include "panel/port_texts.h"

namespace mero::panel {

using link::LineFailure;

std::string PortLabel(int portNumber, const std::string& shownPath) {
  return "COM" + std::to_string(portNumber) + " (" + shownPath + ")";
}

std::string DescribeOpenFailure(const LineFailure& failure, int portNumber,
                                const std::string& shownPath) {
  const std::string label = PortLabel(portNumber, shownPath);
  switch (failure.kind) {
    case LineFailure::Kind::Absent:
      return label + " does not exist. Check that the cable or USB serial adapter is plugged " +
             "in, or name the device with --com" + std::to_string(portNumber) +
             " when starting the program.";
    case LineFailure::Kind::Busy: {
      const std::string who =
          failure.holder.empty() ? "another program" : "another program (" + failure.holder + ")";
      return label + " is in use by " + who + ". Close that program, then choose the port again.";
    }
    case LineFailure::Kind::NoPermission:
      if (failure.group.empty()) {
        return "No permission to use " + label +
               ". Ask the administrator for read and write access to the device.";
      }
      return "No permission to use " + label + ". The device belongs to the group \"" +
             failure.group + "\": add your user to that group (then log in again) to get access.";
    case LineFailure::Kind::Unreachable:
      return label + " could not be reached: " + failure.detail +
             ". It will be tried again until it answers.";
    case LineFailure::Kind::Invalid:
      return label + " " + failure.detail;
    case LineFailure::Kind::Lost:
      return DescribeLostPort(portNumber, shownPath);
    case LineFailure::Kind::Other:
      break;
  }
  return label + " could not be opened: " +
         (failure.detail.empty() ? std::string("unknown error") : failure.detail) + ".";
}

std::string DescribeNoPortFound(int portNumber, const std::string& shownPath) {
  const std::string com = "COM" + std::to_string(portNumber);
  return "No serial port was found on this machine, and " + shownPath + ", which " + com +
         " uses when there is none, does not exist. Plug in the USB serial " +
         "adapter: it is opened as soon as it appears. Or name the device when starting the " +
         "program: mero-control --com" + std::to_string(portNumber) +
         " DEVICE (for example /dev/ttyUSB0); mero-control --list-ports shows the ports found.";
}

std::string DescribeLostPort(int portNumber, const std::string& shownPath) {
  return PortLabel(portNumber, shownPath) +
         " was disconnected. It will be reopened when it comes back.";
}

std::string DescribeRestoredPort(int portNumber, const std::string& shownPath,
                                 const std::string& settings) {
  return PortLabel(portNumber, shownPath) + " is back and open again at " + settings + ".";
}

}  // namespace mero::panel

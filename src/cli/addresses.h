#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace mero::cli {

// An --addresses file may be anything (a device, a pipe, /dev/zero): it is read a piece at a
// time and refused at the first line or count past these, so that reading it takes bounded
// memory and time whatever it holds. No path or device server address comes near either.
inline constexpr std::size_t kLongestAddressLine = 1024;  // bytes, without the line feed
inline constexpr std::size_t kMostAddressLines = 10000;   // every line, comments included

// The addresses of a file, one a line: a # starts a comment wherever it stands, blanks and a
// CR around an address are dropped, and lines left empty are skipped. Fed in pieces of any
// size; after an error it takes nothing more.
class AddressReader {
 public:
  explicit AddressReader(std::string shownName) : shownName_(std::move(shownName)) {}

  void feed(std::string_view bytes);
  // The end of the file: a last line without a line feed counts.
  void finish();
  // The file cannot be used for `why`; nothing read from it counts.
  void refuse(const std::string& why);

  const std::vector<std::string>& addresses() const { return addresses_; }
  // Why the file cannot be used; empty when it can.
  const std::string& error() const { return error_; }

 private:
  void endLine();

  std::string shownName_;
  std::string line_;
  std::size_t lines_ = 0;
  std::vector<std::string> addresses_;
  std::string error_;
};

// Reads the file at `path` through an AddressReader; the error names the file.
AddressReader ReadAddressFile(const std::string& path);

// Why the text cannot name a projector at all, whatever is plugged in or listening: a scheme
// other than tcp:// and rfc2217://, or a network address that does not parse. Nothing when it
// may (a device is only known to be there or not when it is opened).
std::optional<std::string> AddressFormError(std::string_view address);

// The forms an address takes, for the texts that name a wrong one.
inline constexpr std::string_view kAddressForms =
    "a device such as /dev/ttyUSB0, tcp://HOST:PORT or rfc2217://HOST:PORT";

// Addresses that lead to the same projector: two paths to one device (a link and its target),
// or one device server written two ways (a host name in other capitals).
struct DistinctAddresses {
  std::vector<std::string> kept;   // the first of each, in the order given
  std::vector<std::string> notes;  // one for each address left out, naming the one kept
};
DistinctAddresses Distinct(const std::vector<std::string>& addresses);

}  // namespace mero::cli

#include "cli/addresses.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>

#include "link/port/network_address.h"
#include "link/port/port_discovery.h"

namespace mero::cli {
namespace {

constexpr char kComment = '#';
constexpr std::string_view kSchemeEnd = "://";
constexpr std::size_t kReadPiece = std::size_t{64} * 1024;

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r'; }

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  return text;
}

// What makes two addresses one projector: the device the path leads to, or the server's
// scheme, host (names are case-blind) and port.
std::string SameProjectorKey(const std::string& address) {
  if (const auto network = link::ParseNetworkAddress(address)) {
    std::string host = network->host;
    std::ranges::transform(host, host.begin(), [](unsigned char c) { return std::tolower(c); });
    const char* kind = network->kind == link::NetworkAddress::Kind::Rfc2217 ? "rfc2217" : "tcp";
    return std::string(kind) + '\n' + host + '\n' + std::to_string(network->port);
  }
  char* real = realpath(address.c_str(), nullptr);
  if (real == nullptr) return "path\n" + address;
  std::string key = std::string("device\n") + real;
  free(real);
  return key;
}

}  // namespace

void AddressReader::feed(std::string_view bytes) {
  while (error_.empty() && !bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (piece.find('\0') != std::string_view::npos) {
      refuse("line " + std::to_string(lines_ + 1) +
             " holds a zero byte: it is no list of "
             "addresses");
      return;
    }
    if (line_.size() + piece.size() > kLongestAddressLine) {
      refuse("line " + std::to_string(lines_ + 1) + " is longer than " +
             std::to_string(kLongestAddressLine) + " bytes");
      return;
    }
    line_ += piece;
    if (end == std::string_view::npos) return;
    endLine();
    bytes.remove_prefix(end + 1);
  }
}

void AddressReader::finish() {
  if (error_.empty() && !line_.empty()) endLine();
}

void AddressReader::endLine() {
  if (++lines_ > kMostAddressLines) {
    refuse("it has more than " + std::to_string(kMostAddressLines) + " lines");
    return;
  }
  const std::string_view address = Trimmed(std::string_view(line_).substr(0, line_.find(kComment)));
  if (!address.empty()) {
    if (const auto error = AddressFormError(address)) {
      refuse("line " + std::to_string(lines_) + ": " + *error);
      return;
    }
    addresses_.emplace_back(address);
  }
  line_.clear();
}

void AddressReader::refuse(const std::string& why) {
  error_ = "the addresses in " + shownName_ + ": " + why;
  addresses_.clear();
  line_.clear();
}

AddressReader ReadAddressFile(const std::string& path) {
  AddressReader reader(link::ShowPath(path));
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
  if (fd < 0) {
    reader.refuse(std::string("cannot be read: ") + std::strerror(errno));
    return reader;
  }
  std::array<char, kReadPiece> piece{};
  while (reader.error().empty()) {
    const ssize_t got = ::read(fd, piece.data(), piece.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) reader.refuse(std::string("cannot be read: ") + std::strerror(errno));
    if (got <= 0) break;
    reader.feed(std::string_view(piece.data(), static_cast<std::size_t>(got)));
  }
  ::close(fd);
  if (reader.error().empty()) reader.finish();
  return reader;
}

std::optional<std::string> AddressFormError(std::string_view address) {
  const std::size_t schemeEnd = address.find(kSchemeEnd);
  if (schemeEnd == std::string_view::npos) return std::nullopt;
  const std::string shown = link::ShowPath(std::string(address));
  if (link::LooksLikeNetworkAddress(address)) {
    if (link::ParseNetworkAddress(address)) return std::nullopt;
    return shown + " is not a valid address: a device server is named tcp://HOST:PORT or " +
           "rfc2217://HOST:PORT, an IPv6 HOST in brackets";
  }
  const std::string scheme = link::ShowPath(std::string(address.substr(0, schemeEnd + 3)));
  std::string error =
      shown + " has the unknown scheme " + scheme + ": an address is " + std::string(kAddressForms);
  if (scheme == "telnet://") error += " (telnet with the COM-PORT option is rfc2217://)";
  return error;
}

DistinctAddresses Distinct(const std::vector<std::string>& addresses) {
  DistinctAddresses distinct;
  std::map<std::string, std::size_t> seen;  // key: index in kept
  for (const std::string& address : addresses) {
    const auto [at, fresh] = seen.try_emplace(SameProjectorKey(address), distinct.kept.size());
    if (fresh) {
      distinct.kept.push_back(address);
      continue;
    }
    const std::string& kept = distinct.kept[at->second];
    distinct.notes.push_back(
        kept == address ? link::ShowPath(address) + " is named more than once: asked once"
                        : link::ShowPath(address) + " is the same projector as " +
                              link::ShowPath(kept) + ": asked once, as " + link::ShowPath(kept));
  }
  return distinct;
}

}  // namespace mero::cli

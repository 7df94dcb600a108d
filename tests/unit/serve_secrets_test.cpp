// Passwords kept out of the configuration: read from a file of their own or a systemd
// credential, refused where every user may read them, warned of where a group may.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <fstream>

#include "serve/config_secrets.h"
#include "serve/qt_config.h"

namespace mero::serve {
namespace {

struct Read {
  std::string password;  // or the mistake
  std::vector<std::string> warnings = {};
  friend bool operator==(const Read&, const Read&) = default;
};

void PrintTo(const Read& read, std::ostream* out) {
  *out << '"' << read.password << '"';
  for (const std::string& warning : read.warnings) *out << " / " << warning;
}

TEST(ServeSecrets, APasswordFileIsItsFirstLineWhenOnlyItsOwnerAndGroupMayOpenIt) {
  const QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const std::string path = folder + "/hall-a.password";
  const std::string fifo = folder + "/fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const std::string tooLong = path + " is larger than 4 KiB, which no password file is";
  const std::string notPassword =
      "the first line of " + path + " is not 1 to 32 bytes of printable ASCII (PJLink's password)";
  const std::string where = "serve.conf:3: password-file: ";
  struct Row {
    std::string content;
    mode_t mode;
    Read read;
  };
  const std::vector<Row> rows = {
      {"secret\n", 0600, {"secret", {}}},
      {"secret", 0400, {"secret", {}}},
      {"secret\r\nsecond line\n", 0600, {"secret", {}}},
      {std::string(32, 'p') + "\n", 0600, {std::string(32, 'p'), {}}},
      {"secret\n" + std::string(kLongestPasswordFile - 7, '#'), 0600, {"secret", {}}},
      {"secret\n",
       0640,
       {"secret",
        {where + path + " is open to its group, gid " + std::to_string(::getegid()) +
         " (mode 0640)"}}},
      {"secret\n",
       0644,
       {where + path + " is open to every user (mode 0644): chmod o-rwx " + path}},
      {"secret\n",
       0602,
       {where + path + " is open to every user (mode 0602): chmod o-rwx " + path}},
      {"secret\n" + std::string(kLongestPasswordFile - 6, '#'), 0600, {where + tooLong}},
      {std::string(33, 'p') + "\n", 0600, {where + notPassword}},
      {"\nsecret\n", 0600, {where + notPassword}},
      {"", 0600, {where + notPassword}},
      {"s\xc3\xa9\n", 0600, {where + notPassword}},
      {"sec\tret\n", 0600, {where + notPassword}},
  };
  for (const Row& row : rows) {
    std::ofstream(path, std::ios::trunc) << row.content;
    ASSERT_EQ(::chmod(path.c_str(), row.mode), 0);
    ServiceConfig config;
    config.projectors.push_back({.id = "a", .passwordFile = path, .secretLine = 3});
    const std::string error = ReadSecrets("serve.conf", 0644, {}, config);
    const Read read{error.empty() ? config.projectors[0].password : error, config.warnings};
    EXPECT_EQ(read, row.read) << row.content.substr(0, 40) << " mode " << std::oct << row.mode;
  }
  for (const std::string& other : {fifo, folder, folder + "/none"}) {
    ServiceConfig config;
    config.projectors.push_back({.id = "a", .passwordFile = other, .secretLine = 3});
    const std::string error = ReadSecrets("serve.conf", 0644, {}, config);
    EXPECT_TRUE(error.starts_with(where + other)) << error;
  }
}

TEST(ServeSecrets, ACredentialIsReadFromTheFolderSystemdGives) {
  const QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  std::ofstream(folder + "/hall-a") << "from systemd\n";
  ASSERT_EQ(::chmod((folder + "/hall-a").c_str(), 0400), 0);
  const auto read = [](const std::string& credentials, const std::string& name) {
    ServiceConfig config;
    config.projectors.push_back({.id = "a", .passwordCredential = name, .secretLine = 4});
    const std::string error = ReadSecrets("f", 0600, credentials, config);
    return error.empty() ? config.projectors[0].password : error;
  };
  EXPECT_EQ(read(folder, "hall-a"), "from systemd");
  EXPECT_EQ(read(folder, "hall-b"),
            "f:4: password-credential: " + folder + "/hall-b: No such file or directory");
  EXPECT_EQ(read("", "hall-a"),
            "f:4: password-credential: $CREDENTIALS_DIRECTORY is not set: systemd gives the "
            "service its credentials (LoadCredential= in its unit)");
}

// The web page's token comes the same ways, and must be long enough not to be guessed.
TEST(ServeSecrets, TheTokenForChangesIsReadAsAPasswordIsButLonger) {
  const QTemporaryDir dir;
  const std::string folder = dir.path().toStdString();
  const auto read = [&folder](const std::string& content, bool credential) {
    std::ofstream(folder + "/web.token", std::ios::trunc) << content;
    ::chmod((folder + "/web.token").c_str(), 0600);
    ServiceConfig config;
    (credential ? config.tokenCredential : config.tokenFile) =
        credential ? "web.token" : folder + "/web.token";
    config.tokenLine = 2;
    const std::string error = ReadSecrets("f", 0644, credential ? folder : "", config);
    return error.empty() ? config.token : error;
  };
  const std::string path = folder + "/web.token";
  const std::string notToken = "the first line of " + path +
                               " is not 16 to 128 bytes of printable ASCII (the token for changes)";
  EXPECT_EQ(read("0123456789abcdef\n", false), "0123456789abcdef");
  EXPECT_EQ(read("0123456789abcdef\n", true), "0123456789abcdef");
  EXPECT_EQ(read("0123456789abcde\n", false), "f:2: token-file: " + notToken);
  EXPECT_EQ(read(std::string(129, 't'), true), "f:2: token-credential: " + notToken);
  ServiceConfig none;
  EXPECT_EQ(ReadSecrets("f", 0644, "", none), "");
  EXPECT_EQ(none.token, "") << "no token named: changes are refused";
}

// A password in the configuration itself is warned of, once for all, when every user may read
// the file; a password file of its own replaces what the file says of the password.
TEST(ServeSecrets, AConfigurationThatEveryUserMayReadIsWarnedOfWhenItHoldsPasswords) {
  const QTemporaryDir dir;
  const std::string conf = dir.path().toStdString() + "/serve.conf";
  const std::string secret = dir.path().toStdString() + "/c.password";
  std::ofstream(secret) << "from its file\n";
  ASSERT_EQ(::chmod(secret.c_str(), 0600), 0);
  std::ofstream(conf) << "[a]\naddress = /dev/ttyS0\npassword = one\n"
                      << "[b]\naddress = /dev/ttyS1\npjlink = 4353\npassword = two\n"
                      << "[c]\naddress = /dev/ttyS2\npjlink = 4354\npassword-file = " << secret
                      << "\n";
  struct Row {
    mode_t mode;
    std::vector<std::string> warnings;
  };
  const std::vector<Row> rows = {
      {0644,
       {conf + " is readable by every user (mode 0644) and holds the password of [a], [b]: give "
               "it in password-file or password-credential"}},
      {0640, {}},
      {0600, {}},
  };
  for (const Row& row : rows) {
    ASSERT_EQ(::chmod(conf.c_str(), row.mode), 0);
    const ConfigResult read = ReadConfigFile(conf);
    ASSERT_TRUE(read.config) << read.error;
    EXPECT_EQ(read.config->warnings, row.warnings) << std::oct << row.mode;
    EXPECT_EQ(read.config->projectors[2].password, "from its file");
  }
}

}  // namespace
}  // namespace mero::serve

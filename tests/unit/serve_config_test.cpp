// The service's configuration file: what it may say, and how a mistake is told.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <fstream>

#include "serve/qt_config.h"

namespace mero::serve {
namespace {

class ServeConfig : public testing::Test {
 protected:
  ConfigResult read(const std::string& text) {
    std::ofstream(path_) << text;
    return ReadConfigFile(path_);
  }
  QTemporaryDir dir_;
  std::string path_ = dir_.filePath("serve.conf").toStdString();
};

TEST_F(ServeConfig, AFullFileAndItsDefaults) {
  const ConfigResult result = read(
      "; projectors of the hall\n"
      "[service]\n"
      "metrics = [::1]:9999\n"
      "poll-interval = 30\n"
      "\n"
      "[hall-a]\n"
      "# the one by the door\n"
      "address = /dev/ttyUSB0\n"
      "name = Hall A, left ; beside the screen\n"
      "speed = 9600\n"
      "pjlink = 0.0.0.0:4353\n"
      "password = JBMIAProjectorLink\n"
      "[hall-b]\n"
      "address = rfc2217://ser2net.local:7001\n");
  ASSERT_TRUE(result.config) << result.error;
  const ServiceConfig& config = *result.config;
  EXPECT_EQ(config.metrics, (ListenAddress{"::1", 9999}));
  EXPECT_EQ(config.pollSeconds, 30);
  ASSERT_EQ(config.projectors.size(), 2U);
  const ProjectorConfig& a = config.projectors[0];
  EXPECT_EQ(a.name, "Hall A, left") << "a comma stays in the text";
  EXPECT_EQ(a.speed, 9600);
  EXPECT_EQ(a.pjlink, (ListenAddress{"0.0.0.0", 4353}));
  EXPECT_EQ(a.password, "JBMIAProjectorLink");
  const ProjectorConfig& b = config.projectors[1];
  EXPECT_EQ(b.name, "hall-b");
  EXPECT_EQ(b.speed, 19200);
  EXPECT_EQ(b.pjlink, (ListenAddress{"127.0.0.1", kPjlinkPort})) << "loopback unless asked";
  EXPECT_TRUE(b.password.empty());
}

TEST_F(ServeConfig, MistakesNameTheFileTheLineAndTheKey) {
  struct Row {
    std::string text;
    std::string error;  // after "FILE:"
  };
  const std::vector<Row> rows = {
      {"[a]\naddress = /dev/ttyS0\nspeeed = 9600\n", "3: speeed: is not a key of a projector"},
      {"[a]\naddress = ttyS0\n", "2: address: \"ttyS0\" is neither a device path"},
      {"[a]\naddress = tcp://host\n", "2: address: \"tcp://host\" is neither"},
      {"[a]\naddress = /dev/ttyS0\nspeed = 115200\n", "3: speed: is 9600 or 19200"},
      {"[a]\naddress = /dev/ttyS0\npjlink = example.org:4352\n", "3: pjlink: \"example.org:4352\""},
      {"[a]\naddress = /dev/ttyS0\npassword = " + std::string(33, 'p') + "\n", "3: password:"},
      {"[service]\npoll-interval = 1\n[a]\naddress = /dev/ttyS0\n", "2: poll-interval: takes"},
      {"[a]\nname = A\n", "1: address: [a] has no address"},
      {"[a]\n[b]\naddress = /dev/ttyS0\n", "1: address: [a] has no address"},
      {"[service]\npoll-interval = 60\n", "1: names no projector"},
      {"address = /dev/ttyS0\n", "1: address: stands before any section"},
      {"[a]\naddress = /dev/ttyS0\nthis line is no key\n", "3: not a section heading"},
      {"[a]\naddress = /dev/ttyS0\n[b]\naddress = /dev/ttyS1\n",
       "3: pjlink: [b] listens where [a] does"},
      {"[a]\naddress = /dev/ttyS0\n[b]\naddress = /dev/ttyS0\npjlink = 4400\n",
       "3: address: [b] names the projector of [a]"},
      {"[hall a]\naddress = /dev/ttyS0\n", "2: [hall a]: a section is named with"},
      {"[General]\naddress = /dev/ttyS0\n",
       "2: address: stands before any section, or in [General]"},
      {"[a]\naddress = /dev/ttyS0\n# a comment\nspeed = 1\n", "4: speed: is 9600 or 19200"},
  };
  for (const Row& row : rows) {
    const ConfigResult result = read(row.text);
    EXPECT_FALSE(result.config) << row.text;
    EXPECT_TRUE(result.error.starts_with(path_ + ":" + row.error))
        << row.text << "\ngave: " << result.error;
  }
}

TEST_F(ServeConfig, OnlyARegularFileOfBoundedSizeIsRead) {
  EXPECT_EQ(ReadConfigFile("/dev/zero").error, "/dev/zero: not a regular file");
  EXPECT_EQ(ReadConfigFile(dir_.path().toStdString()).error,
            dir_.path().toStdString() + ": not a regular file");
  EXPECT_NE(ReadConfigFile(path_ + ".missing").error.find("No such file"), std::string::npos);
  const ConfigResult big =
      read("[a]\naddress = /dev/ttyS0\n; " + std::string(kLongestConfigFile, 'x'));
  EXPECT_EQ(big.error, path_ + ": larger than 1 MiB, which no configuration is");
}

}  // namespace
}  // namespace mero::serve

// The locks shared with other serial programs, on a file and on a pseudo-terminal; util-linux's
// flock(1) stands in for them, as picocom and tio take the same lock.

#include "link/lines/device_lock.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "link/lines/device_holder.h"

namespace mero::link {
namespace {

// A program started for a test; killed and reaped at the latest when it goes out of scope.
class Child {
 public:
  Child() = default;
  // `keepOpen`, when given, is opened by the child as its descriptor 3 and kept open.
  explicit Child(std::vector<std::string> args, const std::string& keepOpen = {}) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (!keepOpen.empty()) {
      posix_spawn_file_actions_addopen(&actions, 3, keepOpen.c_str(), O_RDONLY | O_NOCTTY, 0);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawnp(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  Child(Child&& other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
  ~Child() { Stop(); }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  Child& operator=(Child&&) = delete;

  pid_t pid() const { return pid_; }
  void Stop() {
    if (pid_ > 0) kill(pid_, SIGKILL);
    Wait();
  }
  // Its exit status once it has ended; -1 when it was killed or never started.
  int Wait() {
    const pid_t pid = std::exchange(pid_, -1);
    int status = 0;
    if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
};

template <typename Condition>
bool Eventually(Condition condition) {
  for (int tries = 0; tries < 2000; ++tries) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool IsSleep(pid_t pid) {
  std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
  std::string name;
  return std::getline(comm, name) && name == "sleep";
}

// Whether /proc/locks lists the process as holding a lock, or as waiting for one.
bool Listed(pid_t pid, bool waiting) {
  std::ifstream locks("/proc/locks");
  const std::string field = " " + std::to_string(pid) + " ";
  for (std::string line; std::getline(locks, line);) {
    if (line.find(field) != std::string::npos &&
        (line.find(" -> ") != std::string::npos) == waiting)
      return true;
  }
  return false;
}

std::string Sleeping(pid_t pid) { return "sleep, process " + std::to_string(pid); }

// posix_spawn returns as the child's exec begins, before the kernel gives it the new name; the
// names compared need the exec done. `keepOpen` as for Child.
Child Sleeper(const std::string& keepOpen = {}) {
  Child child({"sleep", "30"}, keepOpen);
  EXPECT_TRUE(Eventually([&] { return IsSleep(child.pid()); }));
  return child;
}

// flock(1) once it has taken the lock on the device and then become `sleep`.
Child Flock(const std::string& device) {
  Child flock({"flock", "--exclusive", "--nonblock", "--no-fork", device, "sleep", "30"});
  EXPECT_TRUE(Eventually([&] { return Listed(flock.pid(), false) && IsSleep(flock.pid()); }))
      << "flock never held " << device;
  return flock;
}

int TryFlock(const std::string& device) {
  return Child({"flock", "--exclusive", "--nonblock", "--conflict-exit-code", "99", device, "true"})
      .Wait();
}

int Open(const std::string& device) { return open(device.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC); }

class DeviceLock : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/mero-lock-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    file_ = folder_ + "/line";
    spare_ = folder_ + "/spare";
    for (const std::string& path : {file_, spare_}) std::ofstream{path};
    char name[64] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    fcntl(master_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_, F_SETFD, FD_CLOEXEC);
    devices_ = {file_, name};
  }
  void TearDown() override {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
    for (const std::string& path : {file_, spare_}) std::remove(path.c_str());
    if (!folder_.empty()) rmdir(folder_.c_str());
  }

  std::string folder_, file_, spare_;
  int master_ = -1, slave_ = -1;
  std::vector<std::string> devices_;
};

TEST_F(DeviceLock, AnotherProgramHoldsItUntilItEnds) {
  for (const std::string& device : devices_) {
    SCOPED_TRACE(device);
    Child flock = Flock(device);
    const int fd = Open(device);
    ASSERT_GE(fd, 0);
    EXPECT_FALSE(LockExclusively(fd));
    EXPECT_EQ(FlockHolder(device), flock.pid());
    EXPECT_EQ(FlockHolder(device, true), flock.pid());
    EXPECT_EQ(FlockHolder(spare_), std::nullopt);

    flock.Stop();
    EXPECT_TRUE(LockExclusively(fd));
    EXPECT_EQ(FlockHolder(device), getpid());
    EXPECT_EQ(FlockHolder(device, true), std::nullopt);
    close(fd);
  }
}

TEST_F(DeviceLock, KeepsOthersOffWhileHeld) {
  for (const std::string& device : devices_) {
    SCOPED_TRACE(device);
    const int fd = Open(device);
    const int again = Open(device);
    ASSERT_TRUE(LockExclusively(fd));
    EXPECT_EQ(TryFlock(device), 99);
    EXPECT_FALSE(LockExclusively(again)) << "another open in this same process";

    // A program waiting for the lock does not hold it.
    Child waiter({"flock", "--exclusive", device, "true"});
    ASSERT_TRUE(Eventually([&] { return Listed(waiter.pid(), true); }));
    EXPECT_EQ(FlockHolder(device, true), std::nullopt);

    close(fd);
    EXPECT_EQ(waiter.Wait(), 0);
    EXPECT_EQ(TryFlock(device), 0);
    close(again);
  }
}

TEST_F(DeviceLock, HolderNamedByLockFileThenFlockThenOpenDevice) {
  enum class Who { Nobody, Us, Other };
  enum class Named { Nobody, LockFileOwner, FlockHolder, Opener };
  const struct {
    const char* what;
    Who lockFile, flock;
    bool opener;
    Named expect;
  } cases[] = {
      {"only a process with it open", Who::Nobody, Who::Nobody, true, Named::Opener},
      {"the flock before an open", Who::Nobody, Who::Other, true, Named::FlockHolder},
      {"the lock file before the flock", Who::Other, Who::Other, true, Named::LockFileOwner},
      {"our own lock file passed over", Who::Us, Who::Other, true, Named::FlockHolder},
      {"our own flock passed over", Who::Nobody, Who::Us, true, Named::Opener},
      {"ours only", Who::Us, Who::Us, false, Named::Nobody},
  };
  for (const std::string& device : devices_) {
    for (const auto& c : cases) {
      // Lock files go to the system's folders; a pseudo-terminal's name is not ours alone.
      if (c.lockFile != Who::Nobody && device != file_) continue;
      SCOPED_TRACE(device + ": " + c.what);
      // Started first, the opener comes first in /proc.
      Child opener = c.opener ? Sleeper(device) : Child();
      Child flock = c.flock == Who::Other ? Flock(device) : Child();
      const int ours = Open(device);
      EXPECT_TRUE(c.flock != Who::Us || LockExclusively(ours));
      Child owner = c.lockFile == Who::Other ? Sleeper() : Child();
      std::string lockFile;
      if (c.lockFile != Who::Nobody) {
        // Named as Qt names it for a device outside /dev: every slash an underscore.
        std::string name = device;
        std::replace(name.begin(), name.end(), '/', '_');
        lockFile = "/tmp/LCK.." + name;
        std::ofstream(lockFile) << (c.lockFile == Who::Us ? getpid() : owner.pid()) << '\n';
      }

      const std::string expected = c.expect == Named::LockFileOwner ? Sleeping(owner.pid())
                                   : c.expect == Named::FlockHolder ? Sleeping(flock.pid())
                                   : c.expect == Named::Opener      ? Sleeping(opener.pid())
                                                                    : "";
      EXPECT_EQ(DeviceHolder(device), expected);
      if (!lockFile.empty()) std::remove(lockFile.c_str());
      close(ours);
    }
  }
}

}  // namespace
}  // namespace mero::link

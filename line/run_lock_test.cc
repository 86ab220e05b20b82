#include "line/run_lock.h"

#include <gtest/gtest.h>

#include <cstdlib>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "testing/temp_dir.h"

namespace fiskal {
namespace {

using testing::TempDir;
using testing::WriteAll;

TEST(PortRunLock, OneRunPerDevice) {
  TempDir dir;
  const std::string device = dir.File("ttyFAKE");
  // The test binaries keep their locks in a folder of their own.
  EXPECT_EQ(PortLockPath(device).rfind(PortLockFolder(), 0), 0u);
  EXPECT_EQ(PortLockFolder().rfind(std::getenv("FISKAL_LOCK_DIR"), 0), 0u);
  std::unique_ptr<RunLock> first;
  ASSERT_TRUE(LockPortForRun(1, device, &first).ok());
  std::unique_ptr<RunLock> second;
  const Status s = LockPortForRun(2, device, &second);
  EXPECT_EQ(s.message(), "port 2 (" + device + ") is in use by another receipt run (lock " +
                             PortLockPath(device) + ")");
  std::unique_ptr<RunLock> other;
  EXPECT_TRUE(LockPortForRun(3, dir.File("ttyOTHER"), &other).ok());
  first.reset();  // the lock goes with its holder
  EXPECT_TRUE(LockPortForRun(2, device, &second).ok());
}

#ifdef _WIN32
TEST(PortRunLock, OneNamePerComPort) {
  EXPECT_EQ(PortLockPath("\\\\.\\COM5"), PortLockPath("COM5"));
  EXPECT_EQ(PortLockPath("\\\\.\\COM5"), PortLockPath("\\\\.\\com5"));
  EXPECT_NE(PortLockPath("\\\\.\\COM5"), PortLockPath("\\\\.\\COM15"));
}
#else
TEST(PortRunLock, OneRunPerDeviceWhateverItsName) {
  TempDir dir;
  const std::string device = dir.File("ttyFAKE");
  const std::string link = dir.File("printer");
  WriteAll(device, "");
  ASSERT_EQ(::symlink(device.c_str(), link.c_str()), 0);
  EXPECT_EQ(PortLockPath(link), PortLockPath(device));

  std::unique_ptr<RunLock> first;
  ASSERT_TRUE(LockPortForRun(1, device, &first).ok());
  std::unique_ptr<RunLock> second;
  const Status s = LockPortForRun(2, link, &second);
  EXPECT_EQ(s.message(), "port 2 (" + link + ") is in use by another receipt run (lock " +
                             PortLockPath(device) + ")");
  // Another device is not affected.
  std::unique_ptr<RunLock> other;
  EXPECT_TRUE(LockPortForRun(3, dir.File("ttyOTHER"), &other).ok());
  // The lock goes with its holder.
  first.reset();
  EXPECT_TRUE(LockPortForRun(2, link, &second).ok());
}

// A lock file is shared by every user who sends to the device: readable
// by all whatever the umask of the run that made it (fiskald runs with
// 077), and opened without O_CREAT once it exists.
TEST(PortRunLock, LockFilesAreReadableByEveryUser) {
  TempDir dir;
  const mode_t old = ::umask(077);
  std::unique_ptr<RunLock> lock;
  const Status s = LockPortForRun(1, dir.File("ttyFAKE"), &lock);
  ::umask(old);
  ASSERT_TRUE(s.ok()) << s.message();
  struct stat st {};
  ASSERT_EQ(::stat(PortLockPath(dir.File("ttyFAKE")).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
}
#endif

}  // namespace
}  // namespace fiskal

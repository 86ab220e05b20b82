#include "base/status.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace fiskal {
namespace {

TEST(Status, MessagesCarryWhatWhereWhyAndHint) {
  EXPECT_TRUE(Status::Ok().ok());
  EXPECT_EQ(Status::Ok().message(), "");
  EXPECT_TRUE(Status::Ok().Context("port 1").ok());

  const Status s = Status::FromErrno("cannot open", ENOENT, "no such device")
                       .Context("port 1 (/dev/x)");
  EXPECT_FALSE(s.ok());
  EXPECT_EQ(s.message(),
            "port 1 (/dev/x): cannot open: No such file or directory (no such "
            "device)");
  EXPECT_EQ(Status::FromErrno("cannot write", EIO).message(),
            "cannot write: Input/output error");
}

}  // namespace
}  // namespace fiskal

#include <gtest/gtest.h>

#include <cstdlib>
#include <optional>
#include <string>

#include "platform/Paths.h"

namespace {

// Sets or clears ZOL_SYSROOT for one scope.
class ScopedSysRoot {
 public:
  explicit ScopedSysRoot(const char* value) {
    if (const char* old = std::getenv("ZOL_SYSROOT")) m_old = old;
    if (value) setenv("ZOL_SYSROOT", value, 1);
    else unsetenv("ZOL_SYSROOT");
  }
  ~ScopedSysRoot() {
    if (m_old) setenv("ZOL_SYSROOT", m_old->c_str(), 1);
    else unsetenv("ZOL_SYSROOT");
  }

 private:
  std::optional<std::string> m_old;
};

TEST(PathsPosixTest, SysRootIsPutInFrontOfEveryFixedPath) {
  struct Case {
    const char* root;
    std::wstring prefix;
  };
  const Case cases[] = {{nullptr, L""}, {"", L""}, {"/tmp/zol-root", L"/tmp/zol-root"}, {"/tmp/zol-root//", L"/tmp/zol-root"}};
  for (const auto& c : cases) {
    ScopedSysRoot root(c.root);
    EXPECT_EQ(sys::SysRoot(), c.prefix);
    EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::ConfigDocument), c.prefix + L"/opt/halvern/zol/bin/ZolConfig.xml");
    EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::LogFile), c.prefix + L"/opt/halvern/zol/log/zol.log");
    EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::CrashDump), c.prefix + L"/var/lib/zol/8350service.dmp");
    EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::Registry), c.prefix + L"/etc/halvern/registry.reg");
    EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::UnitFolder), c.prefix + L"/etc/systemd/system");
    EXPECT_EQ(sys::GetFixedPath(sys::FixedPath::RunFolder), c.prefix + L"/run/zol");
    EXPECT_EQ(sys::ComPortPath(7), c.prefix + L"/dev/ttyZOL7");
  }
}

}  // namespace

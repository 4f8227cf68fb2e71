// The vcom library's two pieces that vcomd and the port service must agree
// on byte for byte: the hand-over of an opening over a real socket, and the
// state page as both of them map it.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

#include "platform/ErrorNumbers.h"
#include "tests/support/TestSupport.h"
#include "vcom/Handover.h"
#include "vcom/StatePage.h"

namespace {

using sys::posix::UniqueFd;
using namespace sys::errnum;

std::string PtsName(int master) {
  char name[128] = {};
  return ::ptsname_r(master, name, sizeof(name)) == 0 ? name : "";
}

TEST(VcomHandover, TheOpenerGetsTheMasterAndThePageOrTheRefusal) {
  enum class Answer { Opening, OpeningWithoutPage, Refusal, Nothing };
  const struct {
    const char* name;
    Answer answer;
    std::uint32_t error;  // 0: opened
  } cases[] = {
      {"opening", Answer::Opening, 0},
      {"opening of a vcomd without a page", Answer::OpeningWithoutPage, 0},
      {"a second opener", Answer::Refusal, kErrorSharingViolation},
      {"closed without an answer", Answer::Nothing, kErrorDeviceNotConnected},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    zoltest::TempDir tmp;
    const std::string path = tmp.Path() + "/ZOL_COM7";
    UniqueFd listener(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", path.c_str());
    ASSERT_EQ(::bind(listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
    ASSERT_EQ(::listen(listener.Get(), 1), 0);
    UniqueFd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    ASSERT_TRUE(master && ::grantpt(master.Get()) == 0 && ::unlockpt(master.Get()) == 0);
    vcom::StatePage page;
    ASSERT_TRUE(page.Create("vcom-test"));

    std::thread vcomd([&] {
      UniqueFd conn(::accept4(listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
      switch (c.answer) {
        case Answer::Opening: EXPECT_TRUE(vcom::SendOpening(conn.Get(), master.Get(), page.Handle())); break;
        case Answer::OpeningWithoutPage: EXPECT_TRUE(vcom::SendOpening(conn.Get(), master.Get(), -1)); break;
        case Answer::Refusal: vcom::SendRefusal(conn.Get(), c.error); break;
        case Answer::Nothing: break;
      }
    });
    vcom::Opening opening;
    vcom::Failure why;
    const bool opened = vcom::OpenInterface(path, 2000, opening, why);
    vcomd.join();

    EXPECT_EQ(opened, c.error == 0);
    if (!opened) {
      EXPECT_EQ(why.errnum, 0);
      EXPECT_EQ(why.status, c.error);
      continue;
    }
    // The same pty, ready for the data path's non-blocking transfers.
    EXPECT_EQ(PtsName(opening.master.Get()), PtsName(master.Get()));
    EXPECT_NE(::fcntl(opening.master.Get(), F_GETFL) & O_NONBLOCK, 0);
    EXPECT_NE(::fcntl(opening.master.Get(), F_GETFD) & FD_CLOEXEC, 0);
    EXPECT_EQ(opening.page.IsValid(), c.answer == Answer::Opening);
    if (!opening.page) continue;
    // What vcomd writes, the opener reads.
    vcom::StatePage mapped;
    ASSERT_TRUE(mapped.Map(std::move(opening.page)));
    page.SetHold(true);
    page.SetClosePending(true);
    EXPECT_EQ(mapped.State()->hold.load(), 1u);
    EXPECT_EQ(mapped.State()->closePending.load(), 1u);
  }
}

// A restarted vcomd's page is read at the old one's address; a page that is
// not vcomd's is never taken.
TEST(VcomStatePage, ARestartedVcomdsPageTakesTheOldOnesPlace) {
  vcom::StatePage first, restarted;
  ASSERT_TRUE(first.Create("vcom-first"));
  ASSERT_TRUE(restarted.Create("vcom-restarted"));
  UniqueFd foreign(::memfd_create("not-vcomd", MFD_CLOEXEC));
  ASSERT_TRUE(foreign && ::ftruncate(foreign.Get(), vcom::kSharedStateSize) == 0);

  vcom::StatePage reader;
  EXPECT_FALSE(reader.Replace(UniqueFd(::dup(restarted.Handle())))) << "no page to replace";
  EXPECT_EQ(reader.State(), nullptr);
  EXPECT_FALSE(reader.Map(UniqueFd(::dup(foreign.Get()))));
  ASSERT_TRUE(reader.Map(UniqueFd(::dup(first.Handle()))));
  const vcom::SharedState* at = reader.State();
  first.SetHold(true);
  EXPECT_EQ(at->hold.load(), 1u);

  restarted.SetClosePending(true);
  ASSERT_TRUE(reader.Replace(UniqueFd(::dup(restarted.Handle()))));
  EXPECT_EQ(reader.State(), at);
  EXPECT_EQ(at->hold.load(), 0u);
  EXPECT_EQ(at->closePending.load(), 1u);
  restarted.SetHold(true);
  EXPECT_EQ(at->hold.load(), 1u);

  EXPECT_FALSE(reader.Replace(UniqueFd(::dup(foreign.Get()))));
  EXPECT_EQ(reader.State(), at);
  EXPECT_EQ(at->magic.load(), vcom::kMagic);
}

}  // namespace

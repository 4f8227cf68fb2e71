// A program that drives the HID code through one scenario on simulated
// devices, so a test can read the log lines it sends. Its configuration is the
// ZolConfig.xml beside its copy. Usage: hid_log_probe <scenario>; exit 0 when
// the scenario ran as expected.
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "common/hid/BexHidLd.h"
#include "common/hid/BexHidMsr.h"
#include "common/hid/DeviceChangeNotify.h"
#include "common/hid/HidLib.h"
#include "common/log/ZolLog.h"
#include "tests/hid/HidSimHarness.h"

namespace {

using hidtest::SimDevice;
using hidtest::TempRoot;

int Fail(const char* what) {
  std::fprintf(stderr, "hid_log_probe: %s\n", what);
  return 1;
}

int Enumerate(const TempRoot& root) {
  SimDevice display(root, "disp"), reader(root, "rdr");
  if (!display.Start("ld") || !reader.Start("msr")) return Fail("simulators");
  BexHidLdList ld;
  BexHidMsrList msr;
  if (!ld.Enumerate(LdSupportedDevices()) || ld.devices.size() != 1) return Fail("ld enumeration");
  if (!msr.Enumerate(MsrSupportedDevices()) || msr.devices.size() != 1) return Fail("msr enumeration");
  return 0;
}

int Refusals(const TempRoot& root) {
  SimDevice display(root, "narrow"), reader(root, "tiny");
  if (!display.Start("ld", {"--output-len", "23", "--input-len", "10"})) return Fail("ld simulator");
  if (!reader.Start("msr", {"--output-len", "3", "--input-len", "0"})) return Fail("msr simulator");
  BexHidLdList ld;
  BexHidMsrList msr;
  if (!ld.Enumerate(LdSupportedDevices()) || ld.devices.size() != 1) return Fail("ld enumeration");
  if (!msr.Enumerate(MsrSupportedDevices()) || msr.devices.size() != 1) return Fail("msr enumeration");
  BYTE line[24] = {0x00, 0x81, 0x28};
  if (ld.devices[0]->SendLdCommand(line, sizeof(line)) != 0) return Fail("line report sent");
  const BYTE statusRequest[] = {0x00, 0x00, 0x20};
  if (ld.devices[0]->SendLdCommand(statusRequest, sizeof(statusRequest)) != 1) return Fail("status request");
  BYTE status[8];
  if (ld.devices[0]->GetLdStatus(status) != 0) return Fail("ld status accepted");
  const BYTE info[4] = {0x00, 0x00, 0x00, 0x01};
  if (msr.devices[0]->SendMSRCommand(info) != 0) return Fail("msr command sent");
  BYTE msrStatus[2];
  // Refused on every read, said once per plug: three reads, a re-plug, two more.
  for (int plug = 0; plug < 2; ++plug) {
    if (plug == 1 && (!msr.Enumerate(MsrSupportedDevices()) || msr.devices.size() != 1)) return Fail("re-plug");
    for (int read = 0; read < 3 - plug; ++read) {
      if (msr.devices[0]->GetMsrStatus(msrStatus) != 0) return Fail("msr status accepted");
    }
  }
  return 0;
}

class ResumeWaiter : public IDeviceChange {
 public:
  void HidDeviceChanged(bool, std::wstring) override {}
  void HidResumeSuspend() override {
    std::lock_guard<std::mutex> lock(m_lock);
    m_resumed = true;
    m_changed.notify_all();
  }
  bool Wait() {
    std::unique_lock<std::mutex> lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::seconds(5), [this] { return m_resumed; });
  }

 private:
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_resumed = false;
};

int Resume() {
  ResumeWaiter waiter;
  DeviceChangeNotify notify;
  if (!notify.Initialize(&waiter, L"MsrDeviceChangeNotifyWindow", ZOL_MSRUSB)) return Fail("notifier");
  if (hidtest::RunHidsim({"resume"}) != 0) return Fail("hidsim resume");
  const bool resumed = waiter.Wait();
  notify.Terminate();
  return resumed ? 0 : Fail("no resume");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return Fail("usage: hid_log_probe enumerate|refusals|resume");
  TempRoot root;
  if (!HidLib::Initialize()) return Fail("HidLib::Initialize");
  const std::string scenario = argv[1];
  int rc = 2;
  if (scenario == "enumerate") rc = Enumerate(root);
  if (scenario == "refusals") rc = Refusals(root);
  if (scenario == "resume") rc = Resume();
  HidLib::Terminate();
  return rc;
}

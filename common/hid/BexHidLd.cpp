#include "common/hid/BexHidLd.h"

#include "common/hid/BexHidDeviceList.inl"

namespace {

const BexHidFlavor kLdFlavor = {
    ZOL_LDUSB, "BexHidLd", "BexHidLdList", "LD", "SendLdCommand", "GetLdStatus", "LD Status Bytes",
};

}  // namespace

const BexHidFlavor& BexHidLd::Flavor() { return kLdFlavor; }

BexHidLd::BexHidLd() : BexHidDevice(kLdFlavor) {}

int BexHidLd::SendLdCommand(const BYTE* command, DWORD length) { return SendCommand(command, length); }

int BexHidLd::GetLdStatus(BYTE* destination) { return GetStatus(destination, kStatusBytes); }

HidSupportedDeviceTable LdSupportedDevices() {
  return {
      {0x6D13, 0x4500, 0xFF45, 0x2600},
      {0x6D13, 0x4525, 0xFF45, 0x2400},
  };
}

template class BexHidDeviceList<BexHidLd>;

#include "common/hid/BexHidMsr.h"

#include "common/hid/BexHidDeviceList.inl"

namespace {

const BexHidFlavor kMsrFlavor = {
    ZOL_MSRUSB, "BexHidMsr", "BexHidMsrList", "MSR", "SendMSRCommand", "GetMsrStatus", "MSR Status Bytes",
};

}  // namespace

const BexHidFlavor& BexHidMsr::Flavor() { return kMsrFlavor; }

BexHidMsr::BexHidMsr() : BexHidDevice(kMsrFlavor) {}

int BexHidMsr::SendMSRCommand(const BYTE* command) { return SendCommand(command, kCommandBytes); }

int BexHidMsr::GetMsrStatus(BYTE* destination) { return GetStatus(destination, kStatusBytes); }

int BexHidMsr::GetMsrData(BYTE* destination) { return ReadFeature(destination, kCardDataBytes); }

HidSupportedDeviceTable MsrSupportedDevices() {
  return {
      {0x6D13, 0x4500, 0xFF45, 0x1600},
  };
}

template class BexHidDeviceList<BexHidMsr>;

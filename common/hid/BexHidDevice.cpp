#include "common/hid/BexHidDevice.h"

#include <cstring>
#include <new>
#include <utility>

#include "common/hid/BexHidText.h"
#include "common/log/ZolLog.h"
#include "platform/Error.h"

using bexhid::Line;
using bexhid::WideLine;

namespace {

// Clears a buffer that held device data in a way the compiler keeps.
void SecureZero(std::vector<BYTE>& buffer) {
  volatile BYTE* p = buffer.data();
  for (std::size_t i = 0; i < buffer.size(); ++i) p[i] = 0;
}

bool Allocate(std::vector<BYTE>& buffer, std::size_t size) {
  try {
    buffer.assign(size, 0);
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

}  // namespace

BexHidDevice::BexHidDevice(const BexHidFlavor& flavor) : m_Flavor(flavor) {}

BexHidDevice::~BexHidDevice() = default;  // m_HidIo terminates itself

bool BexHidDevice::Initialize(const sys::HidDevice& hidDev, const sys::HidPreparsedData& prepd,
                              std::wstring devicePath) {
  const DWORD module = m_Flavor.logModule;
  LogMessageW(module, LEVEL_INFO,
              WideLine(m_Flavor.deviceClass, "::Initialize - hidDev=0x%08x, prepd=0x%08x, devicePath=%ws").c_str(),
              hidDev.LogValue(), prepd.LogValue(), devicePath.c_str());
  m_DevicePath = devicePath;

  std::wstring serial;
  if (hidDev.GetSerialNumber(serial, 127)) {
    m_SerialNumber = serial;
  } else {
    m_SerialNumber.clear();
  }
  hidDev.GetAttributes(m_Attributes);
  prepd.GetCaps(m_Caps);

  struct ValueCapsOfType {
    sys::HidReportType type;
    std::uint16_t count;
    std::vector<sys::HidValueCaps>* array;
    const char* name;
  };
  const ValueCapsOfType kinds[] = {
      {sys::HidReportType::Input, m_Caps.numberInputValueCaps, &m_InputValueCaps, "m_InputValueCaps"},
      {sys::HidReportType::Output, m_Caps.numberOutputValueCaps, &m_OutputValueCaps, "m_OutputValueCaps"},
      {sys::HidReportType::Feature, m_Caps.numberFeatureValueCaps, &m_FeatureValueCaps, "m_FeatureValueCaps"},
  };
  for (const ValueCapsOfType& kind : kinds) {
    kind.array->clear();
    if (kind.count == 0) continue;
    try {
      kind.array->resize(kind.count);
    } catch (const std::bad_alloc&) {
      LogMessage(module, LEVEL_ERROR, "%s",
                 Line(m_Flavor.deviceClass, "::Initialize - Allocate ", kind.name, " failed").c_str());
      return false;
    }
    prepd.GetValueCaps(kind.type, kind.array->data(), kind.count);
  }

  if (!m_HidIo.Initialize(m_DevicePath)) {
    LogMessage(module, LEVEL_ERROR, "%s", Line(m_Flavor.deviceClass, "::Initialize - HidIo.Initialize failed").c_str());
    return false;
  }
  LogMessage(module, LEVEL_INFO, "%s", Line(m_Flavor.deviceClass, "::Initialize - Success").c_str());
  return true;
}

void BexHidDevice::Terminate() {
  const DWORD module = m_Flavor.logModule;
  LogMessageW(module, LEVEL_INFO, WideLine(m_Flavor.deviceClass, "::Terminate - devicePath = %ws").c_str(),
              m_DevicePath.c_str());
  m_HidIo.terminate();
  m_InputValueCaps.clear();
  m_OutputValueCaps.clear();
  m_FeatureValueCaps.clear();
  LogMessage(module, LEVEL_INFO, "%s", Line(m_Flavor.deviceClass, "::Terminate - Exit").c_str());
}

int BexHidDevice::SendCommand(const BYTE* bytes, DWORD n) {
  const DWORD module = m_Flavor.logModule;
  const std::string op = Line(m_Flavor.deviceClass, "::", m_Flavor.commandOp);
  LogHexDump(module, LEVEL_VERBOSE, bytes, n, "%s", (op + " - Entered").c_str());

  const DWORD length = m_Caps.outputReportByteLength;
  std::vector<BYTE> report;
  if (!Allocate(report, length)) {
    LogMessage(module, LEVEL_ERROR, "%s", (op + " - Allocate command failed").c_str());
    return 0;
  }
  if (n > length) {
    LogMessage(module, LEVEL_ERROR, "%s", (op + " - Buffer Length larger than command length").c_str());
    return 0;
  }
  if (n > 0) std::memcpy(report.data(), bytes, n);
  if (!m_HidIo.flushDeviceQueue()) {
    LogMessage(module, LEVEL_ERROR, "%s", (op + " - HidIo.flushDeviceQueue failed").c_str());
    return 0;
  }
  // Always the full output report length.
  if (!m_HidIo.sendOutputReport(report.data(), length)) {
    LogMessage(module, LEVEL_ERROR, "%s", (op + " - HidIo.sendOutputReport failed").c_str());
    return 0;
  }
  return 1;
}

int BexHidDevice::GetStatus(BYTE* destination, DWORD maxBytes) {
  const DWORD module = m_Flavor.logModule;
  const std::string op = Line(m_Flavor.deviceClass, "::", m_Flavor.statusOp);
  const DWORD length = m_Caps.inputReportByteLength;
  // A device without input reports has no status: refused before any read
  // (a dump of length - 1 bytes would run far past the buffer).
  if (length == 0) {
    if (!std::exchange(m_NoInputLogged, true)) {
      LogMessage(module, LEVEL_ERROR, "%s", (op + " - Buffer length not enough").c_str());
    }
    return 0;
  }
  std::vector<BYTE> report;
  if (!Allocate(report, length)) {
    LogMessage(module, LEVEL_ERROR, "%s", (op + " - Allocate statusByte failed").c_str());
    return 0;
  }
  if (!m_HidIo.readInputReport(report.data(), length)) return 0;

  const DWORD statusBytes = length - 1;  // the report id in byte 0 is skipped
  LogHexDump(module, LEVEL_VERBOSE, report.data() + 1, statusBytes, "%s",
             (op + " - " + m_Flavor.statusTitle).c_str());
  if (statusBytes > maxBytes) {
    LogMessage(module, LEVEL_ERROR, "%s", (op + " - Buffer length not enough").c_str());
    return 0;
  }
  if (statusBytes > 0) std::memcpy(destination, report.data() + 1, statusBytes);
  return 1;
}

int BexHidDevice::ReadFeature(BYTE* destination, DWORD maxBytes) {
  const DWORD length = m_Caps.featureReportByteLength;
  std::vector<BYTE> report;
  if (!Allocate(report, length)) return 0;
  if (!m_HidIo.IsConnected()) return 0;
  // Without a feature report (or with one too large for the destination)
  // there is nothing to read: refused before touching the device.
  if (length == 0 || length - 1 > maxBytes) return 0;
  report[0] = 0;  // report id
  if (!m_HidIo.getFeatureReport(report.data(), length)) {
    SecureZero(report);
    return 0;
  }
  std::memcpy(destination, report.data() + 1, length - 1);
  SecureZero(report);
  return 1;
}

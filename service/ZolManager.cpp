#include "service/ZolManager.h"

#include <climits>
#include <memory>
#include <new>
#include <optional>

#include "common/config/ConfigDoc.h"
#include "common/log/ZolLog.h"
#include "platform/DynamicLibrary.h"
#include "platform/Error.h"
#include "platform/Process.h"
#include "platform/Registry.h"
#include "platform/Text.h"
#include "platform/Thread.h"
#include "platform/VirtualSerial.h"

namespace {

constexpr const wchar_t* kRegistryKey = L"SOFTWARE\\HALVERN\\Quillmere";
constexpr const wchar_t* kRegistryValue = L"NUMBER_OF_REQ_COM_PORTS";
constexpr const char16_t kDeviceIdentifier[] = u"72R5508-201410031215360333000029";
constexpr int kCountTries = 10;
constexpr DWORD kCountPauseMs = 1000;

// The plug-ins' suffix follows the platform, which the separator tells.
std::wstring LibrarySuffix() { return sys::PathSeparator() == L'\\' ? L".dll" : L".so"; }

// Only the executable's own folder: never the search path or the current folder.
bool PluginPath(const std::wstring& libraryName, std::wstring& fullPath) {
  std::optional<std::wstring> exe = sys::ExecutablePath();
  if (!exe) return false;
  std::size_t slash = exe->rfind(sys::PathSeparator());
  if (slash == std::wstring::npos) return false;
  fullPath = exe->substr(0, slash + 1) + libraryName;
  return true;
}

// What the port service hands out and never frees: each device's params (a
// device may keep the pointer while it lives) and the devices whose
// Initialize failed (they get no further call, Release included). Held here
// for the life of the process.
struct KeptForever {
  std::vector<std::unique_ptr<DEVICE_PARAMS>> params;
  std::vector<IDevice*> refusedDevices;
};
KeptForever& Kept() {
  static KeptForever* kept = new KeptForever;  // never destroyed
  return *kept;
}

}  // namespace

std::wstring MsrLibraryName() { return L"MsrHidBridge" + LibrarySuffix(); }
std::wstring LdLibraryName() { return L"LdHidBridge" + LibrarySuffix(); }

int ParseComPortName(const std::wstring& text) {
  if (text.size() < 3) return -1;
  static const wchar_t kCom[] = L"com";
  for (int i = 0; i < 3; ++i) {
    wchar_t c = text[i];
    if (c >= L'A' && c <= L'Z') c = static_cast<wchar_t>(c - L'A' + L'a');
    if (c != kCom[i]) return -1;
  }
  std::wstring digits = text.substr(3);
  if (digits.empty()) return -1;
  long long value = 0;
  for (wchar_t c : digits) {
    if (c < L'0' || c > L'9') return -1;
    value = value * 10 + (c - L'0');
    if (value > INT_MAX) return -1;
  }
  return static_cast<int>(value);
}

CZolList::~CZolList() {
  for (ZolPort* port : m_Ports) delete port;
  m_Ports.clear();
}

HRESULT CZolManager::Initialize() {
  std::uint32_t required = 0;
  sys::RegistryResult r = sys::ReadRegistryDword(kRegistryKey, kRegistryValue, required);
  if (r.status == sys::RegistryStatus::NoKey) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::Initialize - Open CRegKey failed");
    return E_FAIL;
  }
  if (r.status != sys::RegistryStatus::Ok) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::Initialize - QueryDWORDValue failed");
    return E_FAIL;
  }
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZolManager::Initialize - numberOfReqComPorts=%d", required);

  HRESULT count = 0;
  for (int attempt = 1; attempt <= kCountTries; ++attempt) {
    LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZolManager::Initialize - CountZols tries: %d", attempt);
    count = CountZols();
    sys::SleepMs(kCountPauseMs);
    if (static_cast<std::uint32_t>(count) == required) break;
  }
  if (static_cast<std::uint32_t>(count) != required) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR,
               "CZolManager::Initialize - Number of ZOLs found (%d) does not tally with value in the registry (%d)",
               count, required);
    return E_FAIL;
  }
  if (EnumerateZols() < 0) return E_FAIL;
  if (m_List.Count() == 0) LogMessage(ZOL_SERVICE, LEVEL_WARNING, "CZolManager::Initialize - No ZOLs");
  return S_OK;
}

HRESULT CZolManager::CountZols() {
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZOLManager::CountZols - Entered");
  sys::VirtualSerialInterfaceList list = sys::ListVirtualSerialInterfaces();
  using Status = sys::VirtualSerialInterfaceList::Status;
  if (list.status == Status::SetFailed) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, list.error, "CZolManager::CountZols - SetupDiGetClassDevs failed");
    return sys::HresultFromWin32(list.error);
  }
  int count = static_cast<int>(list.paths.size() + list.detailFailures.size());
  if (list.status == Status::EnumFailed) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, list.error, "CZolManager::CountZols - SetupDiEnumDeviceInterfaces failed");
    count = 0;
  }
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZOLManager::CountZols - %d ZOL(s) found", count);
  return count;
}

HRESULT CZolManager::EnumerateZols() {
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZOLManager::EnumerateZols - Entered");
  sys::VirtualSerialInterfaceList list = sys::ListVirtualSerialInterfaces();
  using Status = sys::VirtualSerialInterfaceList::Status;
  if (list.status == Status::SetFailed) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, list.error, "CZolManager::EnumerateZols - SetupDiGetClassDevs failed");
    return sys::HresultFromWin32(list.error);
  }
  for (const auto& failure : list.detailFailures) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, failure.error,
             failure.stage == 0 ? "CZolManager::EnumerateZols - SetupDiGetDeviceInterfaceDetail(0) failed"
                                : "CZolManager::EnumerateZols - SetupDiGetDeviceInterfaceDetail(1) failed");
  }
  for (const std::wstring& path : list.paths) {
    LogMessage(ZOL_SERVICE, LEVEL_VERBOSE, "CZolManager::EnumerateZols - Looking at %ls", path.c_str());
    auto port = std::make_unique<ZolPort>(path);
    HRESULT hr = port->Initialize();
    if (hr < 0) {
      LogMessage(ZOL_SERVICE, LEVEL_ERROR,
                 "CZolManager::EnumerateZols - Initialize CZolConnection failed, HRESULT=0x%08x - continuing...",
                 static_cast<unsigned>(hr));
      // Never used again; its destructor ends its write thread before freeing it.
      continue;
    }
    m_List.Add(port.release());
  }
  HRESULT result = S_OK;
  if (list.status == Status::EnumFailed) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, list.error, "CZolManager::EnumerateZols - SetupDiEnumDeviceInterfaces failed");
    result = sys::HresultFromWin32(list.error);
  }
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZOLManager::EnumerateZols - return %d", result);
  return result;
}

HRESULT CZolManager::RegisterConfiguredClients() {
  std::vector<datanode> children;
  if (ReadConfigSection(ZOL_CONFIG_LABEL_SERVICE, ZOL_SECTION_PORTS, children) != ConfigRead::Found) return S_OK;
  for (const datanode& child : children) {
    const char* word = nullptr;
    std::wstring library;
    if (child.name == L"MSR_USB") {
      word = "MSR";
      library = MsrLibraryName();
    } else if (child.name == L"LD_USB") {
      word = "LD";
      library = LdLibraryName();
    } else {
      continue;
    }
    if (child.value.empty()) {
      LogMessage(ZOL_SERVICE, LEVEL_WARNING, "CZolManager::RegisterConfiguredClients - %s COM Port Number not initialized",
                 word);
      continue;
    }
    int com = ParseComPortName(child.value);
    if (com == -1) {
      LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterConfiguredClients - Invallid %s COM Port Number", word);
      continue;
    }
    if (RegisterZol(static_cast<DWORD>(com), library) != S_OK)
      LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterConfiguredClients - Error registering ZOL %s", word);
  }
  return S_OK;
}

HRESULT CZolManager::RegisterZol(DWORD comPort, const std::wstring& libraryName) {
  ZolPort* port = nullptr;
  for (std::size_t i = 0; i < m_List.Count() && !port; ++i) {
    if (m_List.At(i)->ComPort() == comPort) port = m_List.At(i);
  }
  if (!port) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterZol - Cannot find ZOL with COM%d", comPort);
    return E_UNEXPECTED;
  }
  // One device per port, and one device per library (a library keeps one
  // listener: a second device would take over the first one's port).
  if (port->Device()) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterZol - COM%d already has a device", comPort);
    return E_FAIL;
  }
  if (m_LibrariesInUse.count(libraryName)) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterZol - %ls already serves a device",
               libraryName.c_str());
    return E_FAIL;
  }
  IDevice* device = nullptr;
  if (CreateDevice(libraryName, &device) != 0) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterZol - CreateDevice failed");
    return E_FAIL;
  }
  std::unique_ptr<DEVICE_PARAMS> record(new (std::nothrow) DEVICE_PARAMS{});
  DEVICE_PARAMS* params = record.get();
  std::int32_t rc = DEVICE_OUT_OF_MEMORY;
  if (params) {
    Kept().params.push_back(std::move(record));
    static_assert(sizeof(kDeviceIdentifier) / sizeof(char16_t) <= DEVICE_IDENTIFIER_CHARS);
    for (std::size_t i = 0; i < sizeof(kDeviceIdentifier) / sizeof(char16_t); ++i)
      params->identifier[i] = kDeviceIdentifier[i];
    params->value1 = 5;
    params->value2 = 1;
    params->value3 = 1;
    params->value4 = 0;
    params->value5 = 0;
    rc = device->Initialize(port, params);
  }
  if (rc != DEVICE_SUCCESS) {
    LogMessage(ZOL_SERVICE, LEVEL_ERROR, "CZolManager::RegisterZol - InitializeDevice failed");
    Kept().refusedDevices.push_back(device);
    return E_FAIL;
  }
  m_LibrariesInUse.insert(libraryName);
  port->AttachDevice(device);
  port->Run();
  return S_OK;
}

int CZolManager::CreateDevice(const std::wstring& libraryName, IDevice** device) {
  *device = nullptr;
  LogMessage(ZOL_SERVICE, LEVEL_INFO, "CZolManager::CreateDevice - Loading %ls", libraryName.c_str());
  sys::DynamicLibrary library;
  std::wstring fullPath;
  if (!PluginPath(libraryName, fullPath) || !library.Load(fullPath, true)) {
    DWORD e = sys::LastError();
    LogError(ZOL_SERVICE, LEVEL_ERROR, e, "CZolManager::CreateDevice - Failed to load \"%s\"",
             sys::ToUtf8(libraryName).c_str());
    return 1;
  }
  // Never unloaded, not even after a failure below.
  auto create = reinterpret_cast<PFN_CREATE_DEVICE>(library.Symbol("CreateDevice"));
  DWORD symbolError = sys::LastError();
  library.Detach();
  if (!create) {
    LogError(ZOL_SERVICE, LEVEL_ERROR, symbolError, "CZolManager::CreateDevice - Failed to get \"CreateDevice\" address");
    return 2;
  }
  IDevice* made = create();
  if (!made) return 3;
  *device = made;
  return 0;
}

#pragma once
// CZolManager: the port service's inventory of virtual ports and the binder
// of the configured device plug-ins to them.
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/WinTypes.h"
#include "service/ZolPort.h"

// The ports in enumeration order; the list owns them.
class CZolList {
 public:
  CZolList() = default;
  virtual ~CZolList();
  CZolList(const CZolList&) = delete;
  CZolList& operator=(const CZolList&) = delete;

  void Add(ZolPort* port) { m_Ports.push_back(port); }
  std::size_t Count() const { return m_Ports.size(); }
  ZolPort* At(std::size_t i) const { return m_Ports[i]; }

 private:
  std::vector<ZolPort*> m_Ports;
};

class CZolManager {
 public:
  CZolManager() = default;
  virtual ~CZolManager() = default;
  CZolManager(const CZolManager&) = delete;
  CZolManager& operator=(const CZolManager&) = delete;

  HRESULT Initialize();
  HRESULT RegisterConfiguredClients();
  HRESULT CountZols();
  HRESULT EnumerateZols();
  HRESULT RegisterZol(DWORD comPort, const std::wstring& libraryName);
  // 0 with the device, 1 library not loaded, 2 no CreateDevice, 3 it returned null.
  int CreateDevice(const std::wstring& libraryName, IDevice** device);

  const CZolList& Ports() const { return m_List; }

 private:
  CZolList m_List;
  // Libraries that already serve a device: one library keeps one listener.
  std::set<std::wstring> m_LibrariesInUse;
};

// "COM" (any case) followed by decimal digits only: the number, else -1.
int ParseComPortName(const std::wstring& text);

// The plug-in file names for this platform ("MsrHidBridge.dll" / ".so").
std::wstring MsrLibraryName();
std::wstring LdLibraryName();

#pragma once
// A device plug-in loaded as the port service loads it (kept mapped) and the
// one device a test drives through the contract. The device is released
// before the library goes, also when an assertion ends the case early.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "platform/DynamicLibrary.h"
#include "service/include/ZolDevice.h"

namespace zoltest {

class PluginDevice {
 public:
  PluginDevice() = default;
  PluginDevice(const PluginDevice&) = delete;
  PluginDevice& operator=(const PluginDevice&) = delete;
  ~PluginDevice() { Release(); }

  // Loads the library at path and creates its device.
  ::testing::AssertionResult Create(const std::wstring& path) {
    if (!m_library.Load(path, true)) return ::testing::AssertionFailure() << m_library.LoadErrorText();
    auto create = reinterpret_cast<PFN_CREATE_DEVICE>(m_library.Symbol("CreateDevice"));
    if (create == nullptr) return ::testing::AssertionFailure() << "no CreateDevice";
    m_device = create();
    if (m_device == nullptr) return ::testing::AssertionFailure() << "CreateDevice made no device";
    return ::testing::AssertionSuccess();
  }
  IDevice* operator->() const { return m_device; }
  // Now rather than at the end of the case.
  void Release() {
    if (m_device != nullptr) std::exchange(m_device, nullptr)->Release();
  }

 private:
  sys::DynamicLibrary m_library;  // declared first: goes last
  IDevice* m_device = nullptr;
};

}  // namespace zoltest

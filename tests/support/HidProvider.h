#pragma once
// The tests' binding of a HID provider library: every function of the
// interface resolved by name, as the plug-ins resolve them.
#include <string>
#include <type_traits>

#include "interfaces/ZolHidProvider.h"
#include "platform/DynamicLibrary.h"
#include "platform/Text.h"

namespace zoltest {

struct HidProvider {
  sys::DynamicLibrary library;
  decltype(&ZolHid_EnumerateInterfaces) Enumerate = nullptr;
  decltype(&ZolHid_Open) Open = nullptr;
  decltype(&ZolHid_Close) Close = nullptr;
  decltype(&ZolHid_GetAttributes) GetAttributes = nullptr;
  decltype(&ZolHid_GetCaps) GetCaps = nullptr;
  decltype(&ZolHid_GetValueCaps) GetValueCaps = nullptr;
  decltype(&ZolHid_GetSerialNumber) GetSerialNumber = nullptr;
  decltype(&ZolHid_FlushQueue) FlushQueue = nullptr;
  decltype(&ZolHid_SetNumInputBuffers) SetNumInputBuffers = nullptr;
  decltype(&ZolHid_GetPollDescriptor) GetPollDescriptor = nullptr;
  decltype(&ZolHid_ReadInputReport) ReadInputReport = nullptr;
  decltype(&ZolHid_WriteOutputReport) WriteOutputReport = nullptr;
  decltype(&ZolHid_GetFeature) GetFeature = nullptr;
  decltype(&ZolHid_WatchOpen) WatchOpen = nullptr;
  decltype(&ZolHid_WatchDescriptor) WatchDescriptor = nullptr;
  decltype(&ZolHid_WatchNext) WatchNext = nullptr;
  decltype(&ZolHid_WatchClose) WatchClose = nullptr;

  // Loads the library at path and resolves every function; false when it
  // does not load or lacks one (the others are resolved all the same).
  bool Bind(const std::string& path) {
    if (!library.Load(sys::FromUtf8(path))) return false;
    bool all = true;
    const auto resolve = [&](auto& slot, const char* name) {
      slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(library.Symbol(name));
      all = all && slot != nullptr;
    };
    resolve(Enumerate, "ZolHid_EnumerateInterfaces");
    resolve(Open, "ZolHid_Open");
    resolve(Close, "ZolHid_Close");
    resolve(GetAttributes, "ZolHid_GetAttributes");
    resolve(GetCaps, "ZolHid_GetCaps");
    resolve(GetValueCaps, "ZolHid_GetValueCaps");
    resolve(GetSerialNumber, "ZolHid_GetSerialNumber");
    resolve(FlushQueue, "ZolHid_FlushQueue");
    resolve(SetNumInputBuffers, "ZolHid_SetNumInputBuffers");
    resolve(GetPollDescriptor, "ZolHid_GetPollDescriptor");
    resolve(ReadInputReport, "ZolHid_ReadInputReport");
    resolve(WriteOutputReport, "ZolHid_WriteOutputReport");
    resolve(GetFeature, "ZolHid_GetFeature");
    resolve(WatchOpen, "ZolHid_WatchOpen");
    resolve(WatchDescriptor, "ZolHid_WatchDescriptor");
    resolve(WatchNext, "ZolHid_WatchNext");
    resolve(WatchClose, "ZolHid_WatchClose");
    return all;
  }
};

}  // namespace zoltest

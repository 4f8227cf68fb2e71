#include "common/hid/HidLib.h"

#include <mutex>

#include "platform/Hid.h"

namespace {

std::mutex g_HidLibLock;
bool g_HidLibLoaded = false;

// An address inside this library: the provider is looked up beside it.
void Anchor() {}

}  // namespace

bool HidLib::Initialize() {
  std::lock_guard<std::mutex> guard(g_HidLibLock);
  if (g_HidLibLoaded) return true;
  if (!sys::HidBind(reinterpret_cast<const void*>(&Anchor))) return false;
  g_HidLibLoaded = true;
  return true;
}

void HidLib::Terminate() {
  std::lock_guard<std::mutex> guard(g_HidLibLock);
  if (!g_HidLibLoaded) return;
  sys::HidUnbind();
  g_HidLibLoaded = false;
}

bool HidLib::IsLoaded() {
  std::lock_guard<std::mutex> guard(g_HidLibLock);
  return g_HidLibLoaded;
}

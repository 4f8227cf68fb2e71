#pragma once
// The port's side of the device contract for plug-in tests: counts the calls
// the display makes and accepts every write.
#include <atomic>

#include "service/include/ZolDevice.h"

class CountingListener : public IDeviceListener {
 public:
  std::int32_t Write(std::uint8_t*, std::uint32_t, std::int32_t* written, std::int32_t) override {
    ++writes;
    if (written != nullptr) *written = 0;
    return DEVICE_SUCCESS;
  }
  BOOL SetReadyToReceive(BOOL ready) override {
    (ready ? readyTrue : readyFalse)++;
    return TRUE;
  }
  std::atomic<int> writes{0};
  std::atomic<int> readyTrue{0};
  std::atomic<int> readyFalse{0};
};

// A provider library that lacks its last function: binding it must fail and
// leave nothing loaded.
#define ZOLHID_BUILDING_PROVIDER 1
#include "interfaces/ZolHidProvider.h"

extern "C" {
ZOLHID_EXPORT uint32_t ZolHid_EnumerateInterfaces(char*, uint32_t, uint32_t*) { return 31; }
ZOLHID_EXPORT uint32_t ZolHid_Open(const char*, uint32_t, ZolHidDevice**) { return 31; }
ZOLHID_EXPORT void ZolHid_Close(ZolHidDevice*) {}
ZOLHID_EXPORT uint32_t ZolHid_GetAttributes(ZolHidDevice*, ZolHidAttributes*) { return 31; }
ZOLHID_EXPORT uint32_t ZolHid_GetCaps(ZolHidDevice*, ZolHidCaps*) { return 31; }
}

// Arbitrary registry files read through the one entry point the programs
// use: the file is written under a private ZOL_SYSROOT and a few values are
// asked for. A result must agree with its error code, and a value read must
// be read again the same.
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/Registry.h"

namespace {

std::string g_root, g_file;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  char root[] = "/tmp/zolfuzz-registry-XXXXXX";
  Check(::mkdtemp(root) != nullptr);
  ::setenv("ZOL_SYSROOT", root, 1);
  const std::string etc = std::string(root) + "/etc";
  Check(::mkdir(etc.c_str(), 0700) == 0 && ::mkdir((etc + "/halvern").c_str(), 0700) == 0);
  g_root = root;
  g_file = etc + "/halvern/registry.reg";
  std::atexit([] {
    ::unlink(g_file.c_str());
    ::rmdir((g_root + "/etc/halvern").c_str());
    ::rmdir((g_root + "/etc").c_str());
    ::rmdir(g_root.c_str());
  });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* f = std::fopen(g_file.c_str(), "wb");
  Check(f != nullptr);
  Check(std::fwrite(data, 1, size, f) == size);
  Check(std::fclose(f) == 0);
  const struct {
    const wchar_t* key;
    const wchar_t* value;
  } asks[] = {{L"SOFTWARE\\HALVERN\\Quillmere", L"NUMBER_OF_REQ_COM_PORTS"}, {L"SOFTWARE", L""}, {L"A", L"B"}};
  for (const auto& ask : asks) {
    std::uint32_t value = 0;
    const sys::RegistryResult r = sys::ReadRegistryDword(ask.key, ask.value, value);
    Check((r.status == sys::RegistryStatus::Ok) == (r.error == 0));
    if (r.status == sys::RegistryStatus::Ok) {
      std::uint32_t again = ~value;
      Check(sys::ReadRegistryDword(ask.key, ask.value, again).status == sys::RegistryStatus::Ok && again == value);
    }
  }
  return 0;
}

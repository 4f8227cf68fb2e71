#include "common/config/ConfigDoc.h"
#include "common/log/ZolLog.h"
#include "plugins/msr/MsrFormat.h"

bool MsrFormat::GetConfiguration() {
  Log(LEVEL_INFO, "MsrFormat::GetConfiguration - Entered");
  std::vector<datanode> keys;
  const ConfigRead read = ReadConfigSection(ZOL_CONFIG_LABEL_MSR, ZOL_SECTION_MSR, keys);
  return ApplyConfiguration(read, keys);
}

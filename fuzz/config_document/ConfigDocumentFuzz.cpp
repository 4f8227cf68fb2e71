// Loads arbitrary bytes as the configuration document and reads it the way
// every component does, then edits and saves it the way the tool does.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"

namespace {

std::string g_folder;

void RemoveFolder() {
  for (const char* name : {"/ZolConfig.xml", "/saved.xml"}) ::unlink((g_folder + name).c_str());
  ::rmdir(g_folder.c_str());
}

// In memory when the system offers it: every input is written and read back.
std::string MakeFolder() {
  std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/zolcfg-fuzz-XXXXXX");
  if (!mkdtemp(pattern.data())) std::abort();
  g_folder = pattern;
  std::atexit(RemoveFolder);
  return pattern;
}

const std::string& Folder() {
  static const std::string folder = MakeFolder();
  return folder;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
  std::fclose(f);
}

// The first byte picks how the rest is used: as the whole file, or inside a
// section of a well-formed document, so that an empty corpus still reaches
// the readers quickly.
std::string Document(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return std::string();
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  switch (data[0] % 4) {
    case 1: return "<ZOL><Ports_Configuration>" + rest + "</Ports_Configuration></ZOL>";
    case 2: return "<ZOL><Logging_Configuration><Log_Level>" + rest + "</Log_Level></Logging_Configuration></ZOL>";
    case 3: return "<ZOL>\n  <MSR_Configuration " + rest + "</MSR_Configuration>\n</ZOL>";
    default: return rest;
  }
}

void Visit(const std::vector<datanode>& nodes) {
  for (const datanode& section : nodes) {
    for (const datanode& key : section.children) (void)ConfigBoolean(key.value);
    (void)FindNode(L"TCP_Port", section);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // Save failures must not print for every input.
  sys::SetMessagePresenter([](const sys::MessageBoxRequest&) { return sys::MessageAnswer::Ok; });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string file = Folder() + "/ZolConfig.xml";
  WriteFile(file, Document(data, size));
  const std::wstring path = sys::FromUtf8(file);

  configdoc doc;
  if (!doc.Open(path, false)) {
    std::vector<datanode> nodes;
    if (doc.ReadSection(ZOL_SECTION_PORTS, nodes) != 1006 || !nodes.empty()) std::abort();
    return 0;
  }
  for (const wchar_t* section : {ZOL_SECTION_PORTS, ZOL_SECTION_LOGGING, ZOL_SECTION_MSR}) {
    std::vector<datanode> nodes;
    if (doc.ReadSection(section, nodes) != 0) std::abort();
    Visit(nodes);
  }
  for (const wchar_t* query : {L"ZOL", L"ZOL//Ports_Configuration//MSR_USB", L"MSR_USB", L"Log_Level"}) {
    Visit(doc.Store().GetNodes(query, {}));
  }
  Visit(doc.Store().GetNodes(L"MSR_USB", {{L"Serial_Number", L""}}));

  // The tool's edits on whatever was loaded; what it saves must load again.
  doc.WriteValue(L"ZOL//Logging_Configuration", L"TCP_Port", L"38674", {});
  StoreNode(doc, BuildNode(ZOL_SECTION_PORTS, L"MSR_USB", L"COM5", {{L"Serial_Number", L""}}), ZOL_CONFIG_ROOT);
  doc.Store().RemoveNodes(L"ZOL", L"Raw_Data_Mode", L"");
  const std::wstring saved = sys::FromUtf8(Folder() + "/saved.xml");
  if (doc.Save(saved)) {
    configdoc again;
    if (!again.Open(saved, false)) std::abort();
  }
  return 0;
}

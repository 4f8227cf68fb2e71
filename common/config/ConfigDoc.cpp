// The portable part of the configuration library: the holder, the location
// rule and the path helpers. The parser itself lives in posix/ and win32/.
#include "common/config/ConfigDoc.h"

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <system_error>

#include "common/config/XmlShared.h"
#include "platform/Debug.h"
#include "platform/Error.h"
#include "platform/ErrorNumbers.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/Process.h"
#include "platform/Text.h"

namespace {

constexpr int kFileInvalid = static_cast<int>(sys::errnum::kErrorFileInvalid);
constexpr int kWriteFault = static_cast<int>(sys::errnum::kErrorWriteFault);
// The system's path buffer, terminator included.
constexpr std::size_t kMaxPath = 260;

}  // namespace

configdoc::configdoc() : m_store(std::make_unique<xmlclass>()) {}

configdoc::configdoc(std::unique_ptr<dataclass> store) : m_store(std::move(store)) {}

configdoc::~configdoc() = default;

bool configdoc::Open(const std::wstring& path, bool create) {
  try {
    m_loaded = m_store && m_store->Load(path, create);
  } catch (...) {
    m_loaded = false;
  }
  if (m_loaded) m_path = path;
  return m_loaded;
}

bool configdoc::Save(const std::wstring& path) {
  if (!m_loaded) return false;
  bool saved = false;
  try {
    saved = m_store->Save(path);
  } catch (...) {
    saved = false;
  }
  if (!saved) {
    // The text is formatted into a buffer of 260 characters: what does not fit is cut.
    const std::wstring& shown = path.empty() ? m_path : path;
    std::wstring text = L"Unable to save file \"" + shown + L"\".\nPlease check location of file";
    if (text.size() > kMaxPath - 1) text.resize(kMaxPath - 1);
    sys::MessageBoxRequest request;
    request.text = text;
    request.caption = L"Save File Error!";
    request.icon = sys::MessageIcon::Error;
    request.buttons = sys::MessageButtons::Ok;
    sys::ShowMessageBox(request);
  }
  return saved;
}

int configdoc::ReadSection(const std::wstring& path, std::vector<datanode>& nodes) {
  if (!m_loaded) {
    sys::SetLastError(kFileInvalid);
    return kFileInvalid;
  }
  nodes = m_store->GetNodes(path, attributemap{});
  return 0;
}

int configdoc::WriteValue(const std::wstring& parentPath, const std::wstring& key,
                          const std::wstring& value, const attributemap& attributes) {
  if (!m_loaded) {
    sys::SetLastError(kFileInvalid);
    return kFileInvalid;
  }
  if (m_store->UpdateNodes(parentPath, key, value, attributes)) return 0;
  if (m_store->AddNode(parentPath, key, value, attributes)) return 0;
  sys::SetLastError(kWriteFault);
  return kWriteFault;
}

namespace zolconfig {

bool IsXmlName(const std::wstring& name) {
  if (name.empty()) return false;
  auto startChar = [](wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || c == L'_' || c == L':' || c >= 0xC0;
  };
  if (!startChar(name[0])) return false;
  for (wchar_t c : name) {
    if (!(startChar(c) || (c >= L'0' && c <= L'9') || c == L'-' || c == L'.' || c == 0xB7)) return false;
  }
  return true;
}

bool IsXmlText(const std::wstring& text) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<std::uint32_t>(text[i]);
    if (c < 0x20 && c != 0x9 && c != 0xA && c != 0xD) return false;
    if (c == 0xFFFE || c == 0xFFFF || c > 0x10FFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF && sizeof(wchar_t) == 2 && i + 1 < text.size() &&
        static_cast<std::uint32_t>(text[i + 1]) >= 0xDC00 && static_cast<std::uint32_t>(text[i + 1]) <= 0xDFFF) {
      ++i;  // a UTF-16 pair
      continue;
    }
    if (c >= 0xD800 && c <= 0xDFFF) return false;
  }
  return true;
}

bool IsSelection(const std::wstring& expression) {
  std::size_t at = 0;
  auto name = [&]() {
    std::size_t start = at;
    while (at < expression.size() && expression[at] != L'/' && expression[at] != L'[' &&
           expression[at] != L'=' && expression[at] != L' ' && expression[at] != L']') {
      ++at;
    }
    return IsXmlName(expression.substr(start, at - start));
  };
  auto literal = [&](const wchar_t* text) {
    std::wstring_view want(text);
    if (expression.compare(at, want.size(), want) != 0) return false;
    at += want.size();
    return true;
  };
  int steps = 0;
  while (literal(L"//")) {
    if (!name()) return false;
    ++steps;
  }
  if (steps == 0) return false;
  if (at == expression.size()) return true;
  if (!literal(L"[")) return false;
  for (bool first = true;; first = false) {
    if (!first && !literal(L" and ")) break;
    if (!literal(L"@") || !name() || !literal(L"=\"")) return false;
    std::size_t close = expression.find(L'"', at);
    if (close == std::wstring::npos) return false;
    at = close + 1;
  }
  return literal(L"]") && at == expression.size();
}

}  // namespace zolconfig

std::wstring ConfigPathFor(const std::optional<std::wstring>& executable) {
  std::wstring path = sys::GetFixedPath(sys::FixedPath::ConfigDocument);
  // The executable's name must itself fit the buffer, or the system fails.
  if (!executable || executable->empty() || executable->size() >= kMaxPath) return path;
  std::size_t cut = executable->rfind(sys::PathSeparator());
  if (cut == std::wstring::npos) return path;
  std::wstring beside = executable->substr(0, cut) + sys::PathSeparator() + ZOL_CONFIG_FILE_NAME;
  if (beside.size() < kMaxPath) path = beside;
  return path;
}

std::wstring GetConfigPath(const std::wstring& label) {
  std::wstring path = ConfigPathFor(sys::ExecutablePath());
  sys::DebugOutput(label + path);
  return path;
}

std::wstring MakePredicate(const attributemap& attributes) {
  if (attributes.empty()) return std::wstring();
  std::wstring predicate = L"[";
  bool first = true;
  for (const auto& [name, value] : attributes) {
    if (!first) predicate += L" and ";
    first = false;
    predicate += L"@" + name + L"=\"" + value + L"\"";
  }
  predicate += L"]";
  return predicate;
}

std::optional<std::wstring> UpdateSelection(const std::wstring& parentPath, const std::wstring& name,
                                            const std::wstring& value, const attributemap& attributes) {
  if (!zolconfig::IsXmlText(value)) return std::nullopt;
  for (const auto& [k, v] : attributes) {
    if (!zolconfig::IsXmlText(v)) return std::nullopt;
  }
  std::wstring expression;
  if (!parentPath.empty()) expression += L"//" + parentPath;
  if (!name.empty()) expression += L"//" + name;
  return expression + MakePredicate(attributes);
}

std::vector<std::wstring> SplitPath(const std::wstring& text, const std::wstring& separator) {
  std::vector<std::wstring> pieces;
  if (text.empty()) return pieces;
  if (separator.empty()) {
    pieces.push_back(text);
    return pieces;
  }
  std::size_t start = 0;
  for (;;) {
    std::size_t at = text.find(separator, start);
    if (at == std::wstring::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, at - start));
    start = at + separator.size();
  }
}

datanode BuildNode(const std::wstring& sectionPath, const std::wstring& key, const std::wstring& value,
                   const attributemap& attributes) {
  datanode leaf{key, value, attributes, {}};
  if (sectionPath.empty()) return leaf;
  datanode section;
  section.name = sectionPath;
  section.children.push_back(std::move(leaf));
  return section;
}

void StoreNode(configdoc& holder, const datanode& node, const std::wstring& prefix) {
  if (node.children.empty()) {
    holder.WriteValue(prefix, node.name, node.value, node.attributes);
    return;
  }
  std::wstring extended = prefix.empty() ? node.name : prefix + L"//" + node.name;
  for (const datanode& child : node.children) StoreNode(holder, child, extended);
}

std::optional<datanode> FindNode(const std::wstring& name, const datanode& node) {
  // Iterative pre-order walk: a hostile document must not exhaust the stack.
  std::vector<const datanode*> pending{&node};
  while (!pending.empty()) {
    const datanode* current = pending.back();
    pending.pop_back();
    if (current->name == name) return *current;
    for (auto it = current->children.rbegin(); it != current->children.rend(); ++it) pending.push_back(&*it);
  }
  return std::nullopt;
}

bool ConfigBoolean(const std::wstring& text) {
  if (text.size() != 4) return false;
  std::wstring lowered;
  for (wchar_t c : text) lowered += (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
  return lowered == L"true";
}

ConfigRead ReadConfigSection(const std::wstring& label, const std::wstring& sectionName,
                             std::vector<datanode>& children) {
  configdoc doc;
  const std::wstring path = GetConfigPath(label);
  if (!doc.Open(path, false)) {
    std::error_code ec;
    const std::string utf8 = sys::ToUtf8(path);
    if (!std::filesystem::exists(std::filesystem::path(std::u8string(utf8.begin(), utf8.end())), ec)) {
      return ConfigRead::NotLoaded;
    }
    static std::atomic<bool> said{false};
    if (!said.exchange(true)) {
      sys::DebugOutput("[ZOL]: ZolConfig.xml could not be read, every setting is at its default: " + utf8);
    }
    return ConfigRead::Unreadable;
  }
  std::vector<datanode> sections;
  if (doc.ReadSection(sectionName, sections) != 0 || sections.empty()) return ConfigRead::NoSection;
  children = std::move(sections.front().children);
  return ConfigRead::Found;
}

#pragma once
// Shared by the configuration tool's tests: a temporary folder, a recorder of
// message boxes with scripted answers, and reading back a saved document.
#include <deque>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "platform/MessageBox.h"
#include "platform/Text.h"

namespace zolcfg::test {

class TempFolder {
 public:
  TempFolder() {
    std::random_device random;
    for (;;) {
      m_path = std::filesystem::temp_directory_path() / ("zolcfg-" + std::to_string(random()));
      if (std::filesystem::create_directory(m_path)) break;
    }
  }
  ~TempFolder() {
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  const std::filesystem::path& path() const { return m_path; }
  std::filesystem::path operator/(const std::string& name) const { return m_path / name; }

 private:
  std::filesystem::path m_path;
};

// Records every box; answers Yes/No questions from a script (No when empty).
class BoxRecorder {
 public:
  BoxRecorder() {
    m_previous = sys::SetMessagePresenter([this](const sys::MessageBoxRequest& r) {
      boxes.push_back(r);
      if (r.buttons == sys::MessageButtons::Ok) return sys::MessageAnswer::Ok;
      if (answers.empty()) return sys::MessageAnswer::No;
      auto a = answers.front();
      answers.pop_front();
      return a;
    });
  }
  ~BoxRecorder() { sys::SetMessagePresenter(m_previous); }
  std::vector<std::wstring> Texts() const {
    std::vector<std::wstring> t;
    for (const auto& b : boxes) t.push_back(b.text);
    return t;
  }

  std::vector<sys::MessageBoxRequest> boxes;
  std::deque<sys::MessageAnswer> answers;

 private:
  sys::MessagePresenter m_previous;
};

inline void WriteFile(const std::filesystem::path& p, const std::string& content) {
  std::ofstream(p, std::ios::binary) << content;
}

inline std::string ReadFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// The keys (name=value) of the first section of that name in a saved file,
// in document order, read back through a fresh holder.
// Wide text of a path, through UTF-8 on either platform (never the C
// library's locale, which cannot convert every name).
inline std::wstring Wide(const std::filesystem::path& p) {
  const std::u8string u8 = p.u8string();
  return sys::FromUtf8(std::string(u8.begin(), u8.end()));
}

inline std::vector<std::wstring> SavedKeys(const std::filesystem::path& file, const std::wstring& section) {
  configdoc doc;
  std::vector<std::wstring> out;
  if (!doc.Open(Wide(file), false)) return out;
  std::vector<datanode> nodes;
  doc.ReadSection(section, nodes);
  if (nodes.empty()) return out;
  for (const auto& child : nodes.front().children) out.push_back(child.name + L"=" + child.value);
  return out;
}

}  // namespace zolcfg::test

#pragma once
// Temporary folders, whole-file access and node printing for the document
// tests (portable). Every test file includes it, so that nodes print the same
// way in all of them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

#include "common/config/ConfigDoc.h"
#include "platform/MessageBox.h"

// Readable failure messages: a node as name="value"{attributes}[children],
// non-ASCII characters as \u escapes.
inline void PrintWide(const std::wstring& text, std::ostream* os) {
  for (wchar_t c : text) {
    if (c >= 0x20 && c < 0x7F) {
      *os << static_cast<char>(c);
    } else {
      *os << "\\u" << std::hex << static_cast<unsigned>(c) << std::dec;
    }
  }
}
inline void PrintTo(const datanode& node, std::ostream* os) {
  PrintWide(node.name, os);
  *os << "=\"";
  PrintWide(node.value, os);
  *os << "\"";
  if (!node.attributes.empty()) {
    *os << "{";
    for (const auto& [k, v] : node.attributes) {
      PrintWide(k, os);
      *os << "=";
      PrintWide(v, os);
      *os << ";";
    }
    *os << "}";
  }
  if (!node.children.empty()) {
    *os << "[";
    for (const datanode& child : node.children) {
      PrintTo(child, os);
      *os << " ";
    }
    *os << "]";
  }
}

namespace configtest {

// A fresh folder under the system's temporary folder, removed at scope end.
class TempFolder {
 public:
  TempFolder() {
    static std::atomic<int> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    m_path = std::filesystem::temp_directory_path() /
             ("zolcfg-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    std::filesystem::create_directories(m_path);
  }
  ~TempFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(m_path, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  std::filesystem::path File(const std::string& name) const { return m_path / name; }
  std::wstring WFile(const std::string& name) const { return File(name).wstring(); }
  const std::filesystem::path& Path() const { return m_path; }

 private:
  std::filesystem::path m_path;
};

inline void WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  ASSERT_TRUE(out.good()) << path;
}

inline std::string ReadBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace configtest

// Keeps every message box the document would show, answering OK, while it
// lives (the test's own presenter in place of the system's).
class MessageBoxCapture {
 public:
  MessageBoxCapture()
      : m_previous(sys::SetMessagePresenter([this](const sys::MessageBoxRequest& r) {
          boxes.push_back(r);
          return sys::MessageAnswer::Ok;
        })) {}
  ~MessageBoxCapture() { sys::SetMessagePresenter(m_previous); }
  MessageBoxCapture(const MessageBoxCapture&) = delete;
  MessageBoxCapture& operator=(const MessageBoxCapture&) = delete;

  std::vector<sys::MessageBoxRequest> boxes;

 private:
  sys::MessagePresenter m_previous;
};

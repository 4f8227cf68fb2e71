#pragma once
// An append-only file without any buffering in the process: every write goes
// to the system at once. Others may read it but not write it (Windows sharing;
// on Linux nothing stops another writer). Names are UTF-8.
//
// Only a regular file is opened: a FIFO, a device or a folder is refused
// without waiting (the open never blocks). On Linux a symbolic link in the
// file's place is refused, never followed, and so is a folder that others
// may write (another owner but root, or writable by group or all) unless it
// is sticky and the file is our own with no other link: Refusal() says which. A new file is created with mode
// 0640 on Linux. A write past the process's file-size limit fails with an
// error instead of ending the process (SIGXFSZ is ignored process-wide).
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/ScopedHandle.h"

namespace sys {

// The open file: a descriptor (close) or a handle (CloseHandle).
struct FileHandleTraits {
  using Handle = std::intptr_t;
  static constexpr Handle Invalid() { return -1; }  // INVALID_HANDLE_VALUE as well
  static void Close(Handle h);
};

class AppendFile {
 public:
  AppendFile() = default;
  AppendFile(const AppendFile&) = delete;
  AppendFile& operator=(const AppendFile&) = delete;

  // Opens or creates the file for appending; false with the error in LastError().
  bool Open(const std::string& name);
  bool IsOpen() const { return m_handle.IsValid(); }
  void Close() {
    m_handle.Reset();
    m_size = 0;
    m_refusal.clear();
  }
  // Why the last Open refused a file that exists or could be made; empty
  // when it failed for another reason (the error says which).
  const std::string& Refusal() const { return m_refusal; }
  // Writes all bytes at the end; false on failure (Linux takes back what the
  // failed call wrote, elsewhere some bytes may remain).
  bool Write(const void* data, std::size_t size);
  // The file's size (the position of the next write).
  std::uint64_t Size() const { return m_size; }

 private:
  ScopedHandle<FileHandleTraits> m_handle;
  std::uint64_t m_size = 0;
  std::string m_refusal;
};

// Renames a file, failing (ERROR_ALREADY_EXISTS) rather than replacing an
// existing target.
bool RenameNoReplace(const std::string& from, const std::string& to);

}  // namespace sys

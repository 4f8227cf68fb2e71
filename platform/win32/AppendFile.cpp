#include "platform/win32/WinHeaders.h"

#include "platform/AppendFile.h"
#include "platform/Error.h"
#include "platform/Text.h"

namespace sys {

bool AppendFile::Open(const std::string& name) {
  Close();
  // Readers may share the file; other writers may not.
  win32::UniqueHandle file(::CreateFileW(FromUtf8(name).c_str(),
                                         FILE_APPEND_DATA | FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ,
                                         nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) {
    SetLastError(::GetLastError());
    return false;
  }
  if (::GetFileType(file.Get()) != FILE_TYPE_DISK) {
    // A pipe or a device: only a regular file is a log file.
    file.Reset();
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  LARGE_INTEGER size{};
  m_size = ::GetFileSizeEx(file.Get(), &size) ? static_cast<std::uint64_t>(size.QuadPart) : 0;
  m_handle.Reset(reinterpret_cast<std::intptr_t>(file.Release()));
  return true;
}

void FileHandleTraits::Close(Handle h) { ::CloseHandle(reinterpret_cast<HANDLE>(h)); }

bool AppendFile::Write(const void* data, std::size_t size) {
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    DWORD chunk = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!::WriteFile(reinterpret_cast<HANDLE>(m_handle.Get()), p, chunk, &written, nullptr)) {
      SetLastError(::GetLastError());
      return false;
    }
    m_size += written;
    p += written;
    size -= written;
  }
  return true;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
  if (!::MoveFileExW(FromUtf8(from).c_str(), FromUtf8(to).c_str(), 0)) {
    SetLastError(::GetLastError());
    return false;
  }
  return true;
}

}  // namespace sys

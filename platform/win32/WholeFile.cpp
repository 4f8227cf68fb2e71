#include "platform/WholeFile.h"

#include "platform/Error.h"
#include "platform/win32/WinHeaders.h"

namespace sys {

namespace {

constexpr int kBusyTries = 40;
constexpr DWORD kBusyPauseMs = 25;

bool Fail() {
  SetLastError(::GetLastError());
  return false;
}

// What was written by name reaches the disk.
bool Flush(const std::wstring& path) {
  win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return Fail();
  return ::FlushFileBuffers(file.Get()) || Fail();
}

std::wstring FolderOf(const std::wstring& path) {
  std::wstring::size_type slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? L"." : path.substr(0, slash);
}

}  // namespace

bool WriteFileContents(const std::wstring& path, const std::string& bytes) {
  win32::UniqueHandle file(::CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return Fail();
  std::size_t done = 0;
  while (done < bytes.size()) {
    const std::size_t left = bytes.size() - done;
    DWORD chunk = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!::WriteFile(file.Get(), bytes.data() + done, chunk, &written, nullptr)) return Fail();
    done += written;
  }
  return ::FlushFileBuffers(file.Get()) || Fail();
}

bool ReplaceFileThrough(const std::wstring& target, const std::function<bool(const std::wstring& path)>& write) {
  const DWORD attributes = ::GetFileAttributesW(target.c_str());
  const bool exists = attributes != INVALID_FILE_ATTRIBUTES;
  if (exists && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return false;
  }
  // A fresh, unique file in the same folder, so the rename stays on one volume.
  wchar_t temporary[MAX_PATH + 1] = {};
  if (::GetTempFileNameW(FolderOf(target).c_str(), L"zol", 0, temporary) == 0) {
    if (exists && ::GetLastError() == ERROR_ACCESS_DENIED) return write(target) && Flush(target);
    return Fail();
  }
  auto discard = [&temporary] { ::DeleteFileW(temporary); };
  if (!write(temporary) || !Flush(temporary)) {
    const std::uint32_t error = LastError();
    discard();
    SetLastError(error);
    return false;
  }
  // A rename onto the document is atomic (ReplaceFile is not: a reader may
  // find the document missing in between). A reader that has the document
  // open without delete sharing holds the rename up for a moment.
  for (int attempt = 0;; ++attempt) {
    if (::MoveFileExW(temporary, target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
    const DWORD error = ::GetLastError();
    if (attempt >= kBusyTries || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) {
      SetLastError(error);
      discard();
      return false;
    }
    ::Sleep(kBusyPauseMs);
  }
}

}  // namespace sys

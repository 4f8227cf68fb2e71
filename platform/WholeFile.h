#pragma once
// Files written whole. A replacement is atomic and durable: the new content
// goes to a temporary file in the target's folder, is flushed to disk and
// renamed over the target (Windows: MoveFileEx with write-through), so a
// reader at any moment finds the old or the new file and a crash leaves one of
// them, never a part. On Linux the target keeps its mode and owner; on Windows
// it takes the security its folder gives a new file. Where the folder takes no new
// file but the target itself may be written (a user allowed to edit that one
// file), or its owner cannot be kept, the target is rewritten in place.
#include <functional>
#include <string>

namespace sys {

// Writes bytes as the whole content of the file at path (made when missing)
// and flushes it to disk; false with LastError().
bool WriteFileContents(const std::wstring& path, const std::string& bytes);

// Replaces the file at target (or makes it) with what write puts in the file
// at the path it is given; write returns false on failure. False with
// LastError() when the target was not replaced; it is then unchanged, unless
// it was being rewritten in place.
bool ReplaceFileThrough(const std::wstring& target, const std::function<bool(const std::wstring& path)>& write);

// ReplaceFileThrough with WriteFileContents of bytes.
bool ReplaceFileContents(const std::wstring& target, const std::string& bytes);

}  // namespace sys

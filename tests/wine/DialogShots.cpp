// Pictures of ZolConfig.exe's three pages for the README, taken from the
// screen of a virtual X server.
//   zol_dialog_shots <folder of ZolConfig.exe> <output folder>
// Writes zolconfig-win32-ports.png, -logging.png and -msr.png.
#include <cstdio>
#include <fstream>
#include <vector>

#include "configtool/win32/resource.h"
#include "tests/support/WinTestSupport.h"

#include <commctrl.h>

namespace {

using Pixels = std::vector<std::uint8_t>;  // rows of RGB

std::uint32_t Crc(const std::uint8_t* data, std::size_t n, std::uint32_t crc = 0xFFFFFFFFu) {
  for (std::size_t i = 0; i < n; ++i) {
    crc ^= data[i];
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return crc;
}

void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<std::uint8_t>(v >> s));
}

void Chunk(std::vector<std::uint8_t>& png, const char* type, const std::vector<std::uint8_t>& data) {
  Put32(png, static_cast<std::uint32_t>(data.size()));
  std::vector<std::uint8_t> body(type, type + 4);
  body.insert(body.end(), data.begin(), data.end());
  png.insert(png.end(), body.begin(), body.end());
  Put32(png, ~Crc(body.data(), body.size()));
}

// An RGB PNG whose image data is zlib with stored (uncompressed) blocks;
// png_squeeze.py compresses it afterwards.
bool WritePng(const std::filesystem::path& path, int width, int height, const Pixels& rgb) {
  std::vector<std::uint8_t> raw;
  for (int y = 0; y < height; ++y) {
    raw.push_back(0);  // no filter
    raw.insert(raw.end(), rgb.begin() + y * width * 3, rgb.begin() + (y + 1) * width * 3);
  }
  std::vector<std::uint8_t> z = {0x78, 0x01};
  std::uint32_t a = 1, b = 0;
  for (std::uint8_t c : raw) {
    a = (a + c) % 65521;
    b = (b + a) % 65521;
  }
  for (std::size_t at = 0; at < raw.size() || at == 0;) {
    const std::size_t n = std::min<std::size_t>(65535, raw.size() - at);
    z.push_back(at + n == raw.size() ? 1 : 0);
    z.push_back(static_cast<std::uint8_t>(n));
    z.push_back(static_cast<std::uint8_t>(n >> 8));
    z.push_back(static_cast<std::uint8_t>(~n));
    z.push_back(static_cast<std::uint8_t>(~n >> 8));
    z.insert(z.end(), raw.begin() + at, raw.begin() + at + n);
    at += n;
    if (n == 0) break;
  }
  Put32(z, (b << 16) | a);
  std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
  std::vector<std::uint8_t> header;
  Put32(header, static_cast<std::uint32_t>(width));
  Put32(header, static_cast<std::uint32_t>(height));
  header.insert(header.end(), {8, 2, 0, 0, 0});
  Chunk(png, "IHDR", header);
  Chunk(png, "IDAT", z);
  Chunk(png, "IEND", {});
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(png.data()), static_cast<std::streamsize>(png.size()));
  return static_cast<bool>(out);
}

// The window's client area as the screen shows it (an X server without a
// window manager draws no frame).
Pixels Capture(HWND window, int& width, int& height) {
  RECT r{};
  GetClientRect(window, &r);
  MapWindowPoints(window, nullptr, reinterpret_cast<POINT*>(&r), 2);
  width = r.right - r.left;
  height = r.bottom - r.top;
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(memory, bitmap);
  BitBlt(memory, 0, 0, width, height, screen, r.left, r.top, SRCCOPY);
  SelectObject(memory, old);
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  std::vector<std::uint8_t> bgra(static_cast<std::size_t>(width) * height * 4);
  GetDIBits(memory, bitmap, 0, static_cast<UINT>(height), bgra.data(), &info, DIB_RGB_COLORS);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  Pixels rgb;
  for (std::size_t i = 0; i < bgra.size(); i += 4) rgb.insert(rgb.end(), {bgra[i + 2], bgra[i + 1], bgra[i]});
  return rgb;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  const std::filesystem::path bin = argv[1];
  const std::filesystem::path out = argv[2];
  wintest::TempFolder folder;
  std::filesystem::copy_file(bin / "ZolConfig.exe", folder.path / "ZolConfig.exe");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  std::wstring line = L"\"" + (folder.path / "ZolConfig.exe").wstring() + L"\"";
  if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 1;
  HWND main = nullptr;
  const bool found = wintest::WaitFor([&] { return (main = wintest::FindDialog(pi.dwProcessId, L"Apply All")) != nullptr; });
  int rc = found ? 0 : 1;
  const struct {
    int control;
    const char* name;
  } pages[3] = {{IDC_MSR_PORT, "ports"}, {IDC_FILE_NAME, "logging"}, {IDC_TRACK1, "msr"}};
  HWND tab = found ? wintest::FindControl(main, IDC_TAB) : nullptr;
  for (int i = 0; tab && i < 3; ++i) {
    SendMessageW(tab, TCM_SETCURFOCUS, static_cast<WPARAM>(i), 0);
    HWND shown = wintest::FindControl(main, pages[i].control);
    SetForegroundWindow(main);
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ALLCHILDREN | RDW_UPDATENOW);
    // Taken once the page shows and two pictures in a row agree.
    int width = 0, height = 0;
    Pixels last, now;
    const bool steady = wintest::WaitFor([&] {
      if (!IsWindowVisible(shown)) return false;
      now = Capture(main, width, height);
      const bool same = !now.empty() && now == last;
      last = now;
      return same;
    });
    const auto file = out / (std::string("zolconfig-win32-") + pages[i].name + ".png");
    if (!steady || !WritePng(file, width, height, now)) rc = 1;
    std::printf("%s: %dx%d%s\n", file.string().c_str(), width, height, steady ? "" : " (not steady)");
  }
  TerminateProcess(pi.hProcess, 0);
  CloseHandle(pi.hProcess);
  CloseHandle(pi.hThread);
  return rc;
}

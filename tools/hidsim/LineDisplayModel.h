#pragma once
// The simulated line display: its 2 x 20 screen, 8 RAM patterns and character
// set, changed by the output reports of the display protocol. No I/O.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace hidsim {

class LineDisplayModel {
 public:
  static constexpr int kColumns = 20;
  static constexpr int kRows = 2;
  static constexpr int kRamLocations = 8;
  static constexpr int kPatternRows = 8;
  static constexpr std::uint8_t kDefaultCharacterSet = 0x1F;

  // Status flags of byte 0 of the status report.
  static constexpr std::uint8_t kInvalidCommand = 0x80;
  static constexpr std::uint8_t kDeviceInformation = 0x10;
  static constexpr std::uint8_t kCharacterSetList = 0x02;
  static constexpr std::uint8_t kCommandComplete = 0x01;
  static constexpr std::uint8_t kDeviceType = 0x20;
  static constexpr std::uint8_t kCommandSet = 0x03;

  using Pattern = std::array<std::uint8_t, kPatternRows>;

  struct Outcome {
    // The status bytes that follow the report id (8 bytes).
    std::array<std::uint8_t, 8> status{};
    bool screenChanged = false;
  };

  LineDisplayModel();

  // Applies one output report (byte 0 is the report id) and tells the status
  // to answer with. A report that is not a valid command changes nothing.
  Outcome Apply(const std::uint8_t* report, std::size_t length);

  // Display positions 0..19 are the top line, 20..39 the bottom line.
  const std::array<std::uint8_t, kColumns * kRows>& Screen() const { return m_screen; }
  std::string Line(int row) const;  // the raw character codes of one row
  const Pattern& RamPattern(int location) const { return m_ram.at(static_cast<std::size_t>(location)); }
  std::uint8_t CharacterSet() const { return m_characterSet; }

  // The screen as text lines in a frame; codes 0..7 (RAM patterns) as the
  // superscript digits of their location, other codes outside 0x20..0x7E as
  // a middle dot (UTF-8).
  std::string Render() const;

 private:
  bool WriteLine(int row, const std::uint8_t* report, std::size_t length);

  std::array<std::uint8_t, kColumns * kRows> m_screen{};
  std::array<Pattern, kRamLocations> m_ram{};
  std::uint8_t m_characterSet = kDefaultCharacterSet;
};

}  // namespace hidsim

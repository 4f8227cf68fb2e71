// A day's worth of swipes through the whole system at log level 5: no log
// line may hold more than the last four digits of an account number, nor
// any track 3 data.
#include <gtest/gtest.h>

#include <cctype>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "tests/msr/MsrTestSupport.h"

namespace {

using namespace msrtest;

constexpr const char* kReader = "r1";

// Realistic cards whose account numbers share no five-digit run with the
// fixed fields that the log may show (expiry, service code, zeros).
struct TestCard {
  std::string pan;
  Card card;
  std::string text;
  std::string track3;
  std::string track3Data;  // the part of track 3 after the account number
};

std::vector<TestCard> MakeCards(std::size_t n) {
  std::mt19937 rng(20261207);
  const std::string visible = "2512101000000000000";
  auto digits = [&](std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) s += static_cast<char>('0' + rng() % 10);
    return s;
  };
  const char* prefixes[] = {"4", "51", "59", "37", "6011"};
  const char* names[] = {"DOE/JOHN", "", "O'NEIL/MARY ANN", "X/Y"};
  std::vector<TestCard> cards;
  while (cards.size() < n) {
    const std::string prefix = prefixes[cards.size() % 5];
    const std::size_t length = prefix == "37" ? 15 : 16;
    const std::string pan = prefix + digits(length - prefix.size());
    bool clash = false;
    for (std::size_t i = 0; i + 5 <= pan.size(); ++i) clash |= visible.find(pan.substr(i, 5)) != std::string::npos;
    if (clash) continue;
    const std::size_t kind = cards.size() % 7;
    TestCard c;
    c.pan = pan;
    c.card.track1 = "B" + pan + "^" + names[cards.size() % 4] + "^2512101000000";
    c.card.track2 = pan + "=2512101000000";
    if (kind == 5) c.card.track1 = "B" + pan + "DOE/JOHN2512101";  // no separator
    if (kind == 6) c.card.track2 = pan + "2512101";                 // no separator
    c.track3Data = digits(30);
    c.track3 = "01" + pan + "=" + c.track3Data;
    c.card.track3 = c.track3;
    c.text = "%" + c.card.track1 + "?;" + c.card.track2 + "?+" + c.track3 + "?";
    cards.push_back(c);
  }
  return cards;
}

// The message field of a log line (after date, process, thread, module, level).
std::string Message(const std::string& line) {
  std::size_t at = 0;
  for (int tabs = 0; tabs < 5 && at != std::string::npos; ++tabs) {
    at = line.find('\t', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? line : line.substr(at);
}

// Handles and pointers ("0x5612a3b0") are not card data.
std::string WithoutHexNumbers(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 2, "0x") == 0) {
      i += 2;
      while (i < text.size() && std::isxdigit(static_cast<unsigned char>(text[i]))) ++i;
      out += ' ';
    } else {
      out += text[i++];
    }
  }
  return out;
}

TEST(MsrLogSafetyTest, ADayOfSwipesKeepsCardNumbersOutOfTheLog) {
  const std::vector<TestCard> cards = MakeCards(400);
  MsrSystem system;
  Child reader;
  App* app = nullptr;
  ASSERT_NO_FATAL_FAILURE(system.StartWith(reader, kReader, &app));
  for (const auto& c : cards) {
    ASSERT_TRUE(system.Sim().Swipe(kReader, c.card));
    ASSERT_EQ(app->Read(c.text.size()), c.text);
  }
  ASSERT_TRUE(system.WaitLog("MsrFormat::formatISOFeatureReport - Final Track: ", cards.size()));
  ASSERT_TRUE(system.WaitLog("MsrFormat::formatISOFeatureReport - Track 3: ", cards.size()));

  // Every five-digit run of an account number (each reaches beyond its last
  // four digits), and every eight-digit run of the rest of track 3.
  std::set<std::string> secrets;
  for (const auto& c : cards) {
    for (std::size_t i = 0; i + 5 <= c.pan.size(); ++i) secrets.insert(c.pan.substr(i, 5));
    for (std::size_t i = 0; i + 8 <= c.track3Data.size(); ++i) secrets.insert(c.track3Data.substr(i, 8));
  }
  std::size_t checked = 0;
  for (const auto& line : system.LogLines()) {
    const std::string message = WithoutHexNumbers(Message(line));
    for (std::size_t len : {5u, 8u}) {
      for (std::size_t i = 0; i + len <= message.size(); ++i) {
        ASSERT_EQ(secrets.count(message.substr(i, len)), 0u) << line;
      }
    }
    ++checked;
  }
  EXPECT_GT(checked, cards.size() * 5);
}

}  // namespace

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>

#include "console/catalogue.h"
#include "console/output.h"
#include "platform/platform.h"
#include "support/test_support.h"

namespace {

using testing_support::ReadFile;
using testing_support::SameBytes;
using testing_support::ScratchDir;
using testing_support::WriteFile;

std::string Utf16Le(std::u16string_view text) {
  std::string bytes = "\xFF\xFE";
  for (char16_t u : text) bytes += {static_cast<char>(u & 0xFF), static_cast<char>(u >> 8)};
  return bytes;
}

std::string Value(std::string_view file, std::string_view section, std::string_view key) {
  return console::FindIniValue(file, section, key).value_or("<absent>");
}

TEST(IniReader, EncodingsBlanksCaseAndLineEnds) {
  const std::string body = "; remark\n[F001]\nS001=one\n";
  for (const std::string& file : {body, "\xEF\xBB\xBF" + body}) EXPECT_EQ(Value(file, "F001", "S001"), "one");
  EXPECT_EQ(Value("\xEF\xBB\xBF[F001]\nS001=one\n", "F001", "S001"), "one")
      << "a section right after the mark";
  EXPECT_EQ(Value(Utf16Le(u"[F001]\r\nS001 = Gr\u00FC\u00DFe \U0001F600\r\n"), "F001", "S001"),
            "Gr\xC3\xBC\xC3\x9F\x65 \xF0\x9F\x98\x80");
  // An unpaired surrogate and an odd last byte are replaced, not trusted.
  EXPECT_EQ(Value(Utf16Le(u"[a]\nk=x\xD800y") + "z", "a", "k"), "x\xEF\xBF\xBDy\xEF\xBF\xBD");

  const std::string mixed =
      "[ f002 ]\r\n\t S003 \t=\t  Data file ;x  \rS004=a\nno equals sign\n"
      "# S005=hidden\n[F003]\nS001=three\n[F002]\nS003=second\nS006=later\n";
  // The first match wins; a repeated section is searched too.
  EXPECT_EQ(Value(mixed, "F002", "s003"), "Data file ;x");
  EXPECT_EQ(Value(mixed, "F002", "S004"), "a");
  EXPECT_EQ(Value(mixed, "F002", "S006"), "later");
  EXPECT_EQ(Value(mixed, "F003", "S001"), "three");
  EXPECT_EQ(Value(mixed, "F002", "S005"), "<absent>");
  EXPECT_EQ(Value(mixed, "F004", "S001"), "<absent>");
  EXPECT_EQ(Value("S001=outside\n[F001]\n", "F001", "S001"), "<absent>");
  EXPECT_EQ(Value("", "F001", "S001"), "<absent>");
}

TEST(IniReader, LongValuesAreCutAtWholeCharacters) {
  const std::string a255(255, 'a');
  EXPECT_EQ(Value("[s]\nk=" + a255 + "bcd\n", "s", "k"), a255);
  // A 3-byte character as the 255th unit stays; a pair needing units 255 and 256 goes entirely.
  const std::string euro = "\xE2\x82\xAC";
  EXPECT_EQ(Value("[s]\nk=" + std::string(254, 'a') + euro + "z\n", "s", "k"), std::string(254, 'a') + euro);
  EXPECT_EQ(Value("[s]\nk=" + std::string(254, 'a') + "\xF0\x9F\x98\x80\n", "s", "k"), std::string(254, 'a'));
  // Malformed UTF-8 comes back as replacement characters.
  EXPECT_EQ(Value("[s]\nk=a\xC3(\xFF\n", "s", "k"), "a\xEF\xBF\xBD(\xEF\xBF\xBD");
  // A line of a megabyte is read whole, and what follows it still counts.
  const std::string huge = "[s]\nlong=" + std::string(1 << 20, 'x') + "\nk=after\n";
  EXPECT_EQ(Value(huge, "s", "long").size(), 255u);
  EXPECT_EQ(Value(huge, "s", "k"), "after");
}

TEST(Catalogue, ReadMessageReadsTheFileAfreshAndCutsAtTheFirstSemicolon) {
  ScratchDir dir;
  const std::string path = dir / "lang.INI";
  console::SetCataloguePath(path);
  EXPECT_EQ(console::ReadMessage("F001", "S001"), "");  // no file at all

  WriteFile(path, "[F001]\nS001=text ; remark; more\nS002=;only a remark\nS004=100%s %d\n");
  EXPECT_EQ(console::ReadMessage("F001", "S001"), "text ");
  EXPECT_EQ(console::ReadMessage("F001", "S002"), "");
  EXPECT_EQ(console::ReadMessage("F001", "S004"), "100%s %d");
  EXPECT_EQ(console::ReadMessage("F001", "S009"), "");

  WriteFile(path, "[F001]\nS001=changed\n");
  EXPECT_EQ(console::ReadMessage("F001", "S001"), "changed");
  // A file beyond the read limit is read only in part; what lies within is still found.
  WriteFile(path, "[F001]\nS001=early\nS002=" + std::string(2 << 20, 'y') + "\nS004=late\n");
  EXPECT_EQ(console::ReadMessage("F001", "S001"), "early");
  EXPECT_EQ(console::ReadMessage("F001", "S002"), "") << "the line the limit cuts is left out";
  EXPECT_EQ(console::ReadMessage("F001", "S004"), "");
  console::SetCataloguePath({});
}

TEST(Catalogue, ShippedCatalogueHoldsEveryEntryTheProgramShows) {
  console::SetCataloguePath(std::string(RNGACQ_SOURCE_DIR) + "/lang.INI");
  for (int i = 0; i <= static_cast<int>(console::Msg::PressAnyKey); ++i)
    EXPECT_FALSE(console::ReadMessage(static_cast<console::Msg>(i)).empty()) << "message number " << i;
  // Texts followed directly by more text end with a blank.
  using console::Msg;
  for (const Msg message : {Msg::DataFile, Msg::LastBlockStatus, Msg::ModuleLine})
    EXPECT_EQ(console::ReadMessage(message).back(), ' ') << "message number " << static_cast<int>(message);
  EXPECT_EQ(console::ReadMessage(Msg::NoModule), "No random-number module is attached.");
  EXPECT_EQ(console::ReadMessage(Msg::PressAnyKey), "...press any key to exit.");
  EXPECT_TRUE(console::ReadMessage("F006", "S004").empty());
  console::SetCataloguePath({});
}

TEST(Output, PrintLoggedMirrorsExactBytesWhileALogIsOpen) {
  testing_support::CapturedConsole console_capture;
  ScratchDir dir;
  console::WarningLogState log;

  EXPECT_EQ(console::PrintLogged(log, "\n%s", "not logged"), 11);

  ASSERT_TRUE(log.file.Create(dir / "a.wrn"));
  console::PrintLogged(log, "\n\n%s(%d/%d): %s", "Data file ", 1, 2, "100%s.bin");
  console::PrintLogged(log, "%s", "");
  log.file.Close();
  const std::string first = "\n\nData file (1/2): 100%s.bin";
  EXPECT_EQ(ReadFile(dir / "a.wrn"), first);

  ASSERT_TRUE(log.file.Create(dir / "b.wrn"));
  console::PrintLogged(log, "\n%s %lld %s", "", 10000LL, "");
  log.file.Close();
  // The two logs' bytes are counted, not the text before them.
  EXPECT_EQ(ReadFile(dir / "b.wrn"), "\n 10000 ");
  EXPECT_EQ(log.LoggedBytes, first.size() + 8);
  EXPECT_EQ(console_capture.out, "\nnot logged" + first + "\n 10000 ");
  EXPECT_EQ(console_capture.direct, "");

#ifndef _WIN32
  // A log that cannot take the text: the console still shows it, and nothing is counted.
  console_capture.out.clear();
  ASSERT_TRUE(log.file.Create("/dev/full"));
  console::PrintLogged(log, "%s", "lost");
  log.file.Close();
  EXPECT_EQ(console_capture.out, "lost");
  EXPECT_EQ(log.LoggedBytes, first.size() + 8);
#endif

  // Too long for the buffer: cut before the 3-byte character that would straddle byte 1023.
  console_capture.out.clear();
  ASSERT_TRUE(log.file.Create(dir / "c.wrn"));
  const std::string fits(1021, 'a');
  const std::string text = fits + "\xE2\x82\xAC" + "tail";
  EXPECT_EQ(console::PrintLogged(log, "%s", text.c_str()), static_cast<int>(text.size()));
  log.file.Close();
  EXPECT_TRUE(SameBytes(console_capture.out, fits));
  EXPECT_TRUE(SameBytes(ReadFile(dir / "c.wrn"), fits));
  EXPECT_EQ(console::CutUtf8("ab\xF0\x9F\x98\x80", 5), "ab");
  EXPECT_EQ(console::CutUtf8("ab\xF0\x9F\x98\x80", 6), "ab\xF0\x9F\x98\x80");
  EXPECT_EQ(console::Format("%s-%d", std::string(5000, 'z').c_str(), 1).size(), 5002u);
}

// POSIX files and descriptors (tests/windows covers Windows; a full disk is an end-to-end case).
#ifndef _WIN32
TEST(Platform, DataFilesAreCountedWhileOpenAndANameWithANulIsNone) {
  ScratchDir dir;
  const std::string block(1984, 'r');
  platform::DataFile a, b;
  ASSERT_TRUE(a.Open(dir / "a.bin"));
  ASSERT_TRUE(b.Open(dir / "b.bin"));
  const bool written = a.Write(block.data(), block.size());
  const bool reopened = b.Open(dir / "missing/b.bin");  // no such folder
  const int closed = platform::DataFile::CloseAll();
  EXPECT_TRUE(written);
  EXPECT_FALSE(reopened);
  EXPECT_EQ(closed, 1);
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(platform::DataFile::OpenCount(), 0);
  EXPECT_TRUE(SameBytes(ReadFile(dir / "a.bin"), block));
  EXPECT_TRUE(platform::FileExists(dir / "a.bin"));
  EXPECT_FALSE(platform::FileExists(dir / "a.bin" + std::string(1, '\0') + "x"));
}

TEST(Platform, KeyInputNeverWaitsWithoutATerminal) {
  int fds[2];
  const int saved = dup(STDIN_FILENO);
  ASSERT_GE(saved, 0);
  ASSERT_EQ(pipe(fds), 0);
  for (const int source : {open("/dev/null", O_RDONLY), fds[0]}) {  // the pipe is held open but empty
    SCOPED_TRACE(source == fds[0] ? "an empty pipe" : "/dev/null");
    dup2(source, STDIN_FILENO);
    close(source);
    const int key = platform::ReadKey();
    const int character = platform::ReadChar();
    EXPECT_EQ(key, -1);
    EXPECT_EQ(character, -1);
  }
  ASSERT_EQ(write(fds[1], "kc", 2), 2);
  const int key = platform::ReadKey();
  const int character = platform::ReadChar();
  EXPECT_EQ(key, 'k');
  EXPECT_EQ(character, 'c');

  dup2(saved, STDIN_FILENO);
  for (int fd : {saved, fds[1]}) close(fd);
}
#endif

}  // namespace

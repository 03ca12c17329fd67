// Setup's command line: the composed part with its three switches and the
// pass-through of the installer's own arguments, at both sides of the
// command-line capacity.
#include "launch/setup_command_line.h"

#include <gtest/gtest.h>

#include <string>

#include "launch_test_support.h"

namespace {

using launch_testing::Composed;

// The fixed text of the composed part: quotation marks, the three switch
// names, their " --" leads and their =" openers.
constexpr size_t FIXED_TEXT = 81;

TEST(ComposeSetupCommandLine, ComposesTheThreeSwitchesInOrder) {
  CommandBuffer line;
  ASSERT_TRUE(ComposeSetupCommandLine(L"C:\\d\\BV_0A1B2.tmp\\setup.exe",
                                      L"C:\\d\\mini installer.exe",
                                      L"BRIVEL.7Z", L"BN", nullptr, line));
  EXPECT_STREQ(
      L"\"C:\\d\\BV_0A1B2.tmp\\setup.exe\" "
      L"--mini-installer-path=\"C:\\d\\mini installer.exe\" "
      L"--archive-resource-name=\"BRIVEL.7Z\" --archive-resource-type=\"BN\"",
      line.text);
  EXPECT_EQ(FIXED_TEXT, Composed(L"", L"", L"", L"").size());
}

TEST(ComposeSetupCommandLine, AppendsThePassThroughAfterTheComposedPart) {
  CommandBuffer line;
  ASSERT_TRUE(ComposeSetupCommandLine(L"S", L"M", L"N", L"T",
                                      L"\"M\" --system-level --x", line));
  EXPECT_EQ(Composed(L"S", L"M", L"N", L"T") + L" --system-level --x",
            std::wstring(line.text));
}

// The composed part alone may take the whole capacity but one character
// (the terminator); one character more fails, whatever the pass-through.
TEST(ComposeSetupCommandLine, FailsWhenTheComposedPartDoesNotFit) {
  const std::wstring s = L"C:\\w\\BV_00000.tmp\\setup.exe";
  const std::wstring m = L"C:\\w\\installer.exe";
  const size_t base = FIXED_TEXT + s.size() + m.size() + 2;
  struct Case {
    const char* name;
    size_t length;
    bool fits;
  } const cases[] = {
      {"one short of the capacity", COMMAND_CAPACITY - 2, true},
      {"exactly the capacity less the terminator", COMMAND_CAPACITY - 1, true},
      {"the capacity itself", COMMAND_CAPACITY, false},
      {"well beyond", COMMAND_CAPACITY + 200, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::wstring n(c.length - base, L'n');
    CommandBuffer line;
    EXPECT_EQ(c.fits, ComposeSetupCommandLine(s.c_str(), m.c_str(), n.c_str(),
                                              L"BN", L"\"i.exe\" --x", line));
    if (c.fits) {
      // Nothing of the pass-through fits beside a full composed part: at
      // most one character of room is left.
      EXPECT_EQ(Composed(s, m, n, L"BN"), std::wstring(line.text));
    }
  }
}

TEST(AppendPassThrough, PassesWhatFollowsTheProgramName) {
  struct Case {
    const char* name;
    const wchar_t* installer_command_line;
    const wchar_t* appended;
  } const cases[] = {
      {"only a quoted program name", L"\"C:\\a b\\mini.exe\"", L""},
      {"quoted, then a switch", L"\"C:\\a b\\mini.exe\" --system-level",
       L" --system-level"},
      {"text directly after the closing quotation mark",
       L"\"C:\\mini.exe\"--x \"y z\"", L" --x \"y z\""},
      {"unquoted, three spaces, an argument", L"C:\\mini.exe   --x", L"   --x"},
      {"unquoted, a tab", L"C:\\mini.exe\t--x", L"\t--x"},
      {"a line feed inside the program name", L"C:\\mi\nni.exe --x", L" --x"},
      {"missing closing quotation mark", L"\"C:\\a b\\mini.exe --x", L""},
      {"empty command line", L"", L""},
      {"only a space after the name", L"\"C:\\mini.exe\" ", L" "},
      {"backslash before the closing quotation mark has no effect",
       L"\"C:\\dir\\\"x y", L" x y"},
      {"quotation mark inside an unquoted name", L"C:\\a\"b c\" d", L" c\" d"},
      {"command line starting with a space", L" --x", L" --x"},
      {"line feed after the name passes whole", L"\"m.exe\"\n--x", L" \n--x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandBuffer line;
    ASSERT_TRUE(BoundedCopy(line.text, COMMAND_CAPACITY, L"\"S\""));
    AppendPassThrough(c.installer_command_line, line);
    EXPECT_EQ(std::wstring(L"\"S\"") + c.appended, std::wstring(line.text));
  }
}

TEST(AppendPassThrough, NullCommandLinePassesNothing) {
  CommandBuffer line;
  ASSERT_TRUE(BoundedCopy(line.text, COMMAND_CAPACITY, L"\"S\""));
  AppendPassThrough(nullptr, line);
  EXPECT_STREQ(L"\"S\"", line.text);
}

// The line is filled to leave `room` characters before the terminator; the
// remainder fits whole or is dropped whole, and a separating space that fit
// stays when the text after it does not.
TEST(AppendPassThrough, DropsWhatDoesNotFitWhole) {
  constexpr size_t ROOM = 40;
  const std::wstring filled(COMMAND_CAPACITY - 1 - ROOM, L'c');
  struct Case {
    const char* name;
    std::wstring installer_command_line;
    std::wstring appended;
  } const cases[] = {
      {"blank-led remainder exactly the room",
       L"m.exe " + std::wstring(ROOM - 1, L'a'),
       L" " + std::wstring(ROOM - 1, L'a')},
      {"blank-led remainder one over the room",
       L"m.exe " + std::wstring(ROOM, L'a'), L""},
      {"space plus text exactly the room",
       L"\"m.exe\"" + std::wstring(ROOM - 1, L'a'),
       L" " + std::wstring(ROOM - 1, L'a')},
      {"space fits, text does not: the space stays",
       L"\"m.exe\"" + std::wstring(ROOM, L'a'), L" "},
      {"far too long", L"m.exe --" + std::wstring(5000, L'a'), L""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CommandBuffer line;
    ASSERT_TRUE(BoundedCopy(line.text, COMMAND_CAPACITY, filled.c_str()));
    AppendPassThrough(c.installer_command_line.c_str(), line);
    EXPECT_EQ(filled + c.appended, std::wstring(line.text));
  }
}

TEST(AppendPassThrough, NothingFitsInAFullLine) {
  const std::wstring filled(COMMAND_CAPACITY - 1, L'c');
  CommandBuffer line;
  ASSERT_TRUE(BoundedCopy(line.text, COMMAND_CAPACITY, filled.c_str()));
  AppendPassThrough(L"\"m.exe\"x", line);
  EXPECT_EQ(filled, std::wstring(line.text));
}

}  // namespace

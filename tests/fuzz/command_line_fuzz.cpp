// Composes setup's command line from fuzzer-chosen paths, archive name and
// type and the installer's own command line, and compares the result with a
// model written from the command line's documented form:
//
//   "S" --mini-installer-path="M" --archive-resource-name="N"
//       --archive-resource-type="T"
//
// then what follows the installer's program name: unchanged when it begins
// with a space or tab, after one inserted space otherwise, and dropped whole
// when it does not fit (a separating space that fitted stays).
//
// The command buffer is a CommandBuffer allocated on its own on the heap, so
// its storage is exactly COMMAND_CAPACITY + 1 elements and ASan reports any
// access past the guard; the guard must still hold its terminator.
//
// Input: a mode byte, the four composed strings, then the installer's
// command line. Mode bit 0 lets the four strings exceed their buffers'
// capacities (so that the composition itself can fail); bit 1 appends the
// pass-through to a buffer already holding a chosen number of characters
// instead of composing; bit 2 passes a null installer command line.
#include <string>

#include "fuzz_input.h"
#include "launch/setup_command_line.h"

namespace {

constexpr size_t OVERSIZE_LIMIT = 1400;
constexpr size_t MAX_INSTALLER_LINE = 1500;
constexpr WideChar FILLER = 0xCDCD;

std::wstring ComposedPrefix(const std::wstring& setup_path,
                            const std::wstring& own_path,
                            const std::wstring& archive_name,
                            const std::wstring& archive_type) {
  return L"\"" + setup_path + L"\" --mini-installer-path=\"" + own_path +
         L"\" --archive-resource-name=\"" + archive_name +
         L"\" --archive-resource-type=\"" + archive_type + L"\"";
}

bool IsBreak(WideChar c) { return c == L' ' || c == L'\t'; }

// What follows the program name, and whether anything may pass at all.
std::wstring Remainder(const std::wstring& line, bool* passes) {
  *passes = true;
  if (!line.empty() && line[0] == L'"') {
    const size_t close = line.find(L'"', 1);
    if (close == std::wstring::npos) {
      *passes = false;
      return std::wstring();
    }
    return line.substr(close + 1);
  }
  size_t end = 0;
  while (end < line.size() && !IsBreak(line[end])) ++end;
  return line.substr(end);
}

// The text appended after `used` characters of a COMMAND_CAPACITY buffer.
std::wstring ExpectedPassThrough(const std::wstring* line, size_t used) {
  if (line == nullptr) return std::wstring();
  bool passes = false;
  const std::wstring rest = Remainder(*line, &passes);
  if (!passes || rest.empty()) return std::wstring();
  std::wstring appended;
  if (!IsBreak(rest[0])) {
    if (used + 1 + 1 > COMMAND_CAPACITY) return std::wstring();
    appended = L" ";
  }
  if (used + appended.size() + rest.size() + 1 > COMMAND_CAPACITY) {
    return appended;
  }
  return appended + rest;
}

std::wstring ReadText(const CommandBuffer& buffer) {
  return std::wstring(buffer.text,
                      UnitsBeforeTerminator(buffer.text, COMMAND_CAPACITY));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  InputReader in(data, size);
  const uint8_t mode = in.Byte();
  const bool oversize = mode & 1;
  const bool prefilled = mode & 2;
  const bool null_line = mode & 4;

  // Terminators inside these strings would only shorten them; they are left
  // out so that every unit read counts.
  auto read_string = [&](size_t within_capacity) {
    return in.NonZeroUnits(
        in.Range(0, oversize ? OVERSIZE_LIMIT : within_capacity - 1));
  };
  const std::wstring setup_path = read_string(PATH_CAPACITY);
  const std::wstring own_path = read_string(PATH_CAPACITY);
  const std::wstring archive_name = read_string(PATH_CAPACITY);
  const std::wstring archive_type = read_string(RESOURCE_TYPE_CAPACITY);
  const size_t prefill_length = in.Range(0, COMMAND_CAPACITY - 1);
  const std::wstring line = in.NonZeroUnits(in.Range(0, MAX_INSTALLER_LINE));

  std::unique_ptr<WideChar[]> line_storage = TerminatedCopy(line);
  const WideChar* installer_line = null_line ? nullptr : line_storage.get();
  const std::wstring* model_line = null_line ? nullptr : &line;

  std::unique_ptr<CommandBuffer> command(new CommandBuffer);
  for (uint64_t i = 1; i < COMMAND_CAPACITY; ++i) command->text[i] = FILLER;

  std::wstring prefix;
  if (prefilled) {
    prefix.assign(prefill_length, L'x');
    for (size_t i = 0; i < prefix.size(); ++i) command->text[i] = prefix[i];
    command->text[prefix.size()] = 0;
    AppendPassThrough(installer_line, *command);
  } else {
    std::unique_ptr<WideChar[]> setup = TerminatedCopy(setup_path);
    std::unique_ptr<WideChar[]> own = TerminatedCopy(own_path);
    std::unique_ptr<WideChar[]> name = TerminatedCopy(archive_name);
    std::unique_ptr<WideChar[]> type = TerminatedCopy(archive_type);
    prefix = ComposedPrefix(setup_path, own_path, archive_name, archive_type);
    const bool fits = prefix.size() + 1 <= COMMAND_CAPACITY;
    FUZZ_REQUIRE(ComposeSetupCommandLine(setup.get(), own.get(), name.get(),
                                         type.get(), installer_line,
                                         *command) == fits);
    // Inputs within their buffers' capacities always leave room.
    FUZZ_REQUIRE(fits || oversize);
    if (!fits) {
      FUZZ_REQUIRE(command->text[COMMAND_CAPACITY] == 0);
      return 0;
    }
  }
  FUZZ_REQUIRE(command->text[COMMAND_CAPACITY] == 0);

  const std::wstring text = ReadText(*command);
  FUZZ_REQUIRE(text.compare(0, prefix.size(), prefix) == 0);
  const std::wstring tail = text.substr(prefix.size());

  // Whatever the rules, the tail is a piece of the installer's line taken
  // whole up to its end, after at most one inserted space.
  if (!tail.empty()) {
    FUZZ_REQUIRE(model_line != nullptr);
    const size_t own_part = tail.size() - (tail[0] == L' ' ? 1 : 0);
    const bool is_line_end =
        tail.size() <= line.size() &&
        line.compare(line.size() - tail.size(), tail.size(), tail) == 0;
    const bool is_spaced_line_end =
        own_part <= line.size() &&
        line.compare(line.size() - own_part, own_part, tail,
                     tail.size() - own_part, own_part) == 0;
    FUZZ_REQUIRE(is_line_end || is_spaced_line_end);
  }
  FUZZ_REQUIRE(tail == ExpectedPassThrough(model_line, prefix.size()));
  return 0;
}

#include "frame/command_line.h"

#include <algorithm>
#include <limits>

#include "frame/batch.h"
#include "frame/platform.h"

namespace zorpix {

std::int32_t parseNumber(const char* text) {
  auto isSpace = [](char ch) { return ch == ' ' || (ch >= '\t' && ch <= '\r'); };
  while (isSpace(*text)) ++text;
  const bool negative = *text == '-';
  if (*text == '-' || *text == '+') ++text;
  // One past the largest magnitude, so the loop can stop counting early.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 2;
  std::int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text)
    magnitude = std::min(kLimit, magnitude * 10 + (*text - '0'));
  const std::int64_t value = negative ? -magnitude : magnitude;
  return std::int32_t(std::clamp<std::int64_t>(value, std::numeric_limits<std::int32_t>::min(),
                                               std::numeric_limits<std::int32_t>::max()));
}

std::int16_t lowWord(std::int32_t value) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(static_cast<std::uint32_t>(value)));
}

CommandLine readCommandLine(std::string_view programName, int argc, const char* const* argv) {
  const std::string program(programName);
  CommandLine line;
  line.banner = {"Developed by the zorpix developers email zorpix@example.org",
                 "Place " + program + ".exe in folder that contains 24bit *.BMP files"};
  const int numbers = argc - 1;
  if (numbers >= 3) {
    AlphaColor& key = line.settings.alphaColor;
    key.red = lowWord(parseNumber(argv[1]));
    key.green = lowWord(parseNumber(argv[2]));
    key.blue = lowWord(parseNumber(argv[3]));
    line.settings.refineMode = numbers >= 4 ? parseNumber(argv[4]) : 0;
    line.banner.push_back("using " + std::to_string(key.red) + " " + std::to_string(key.green) +
                          " " + std::to_string(key.blue) + " as alpha color");
  } else {
    line.banner.insert(line.banner.end(), {"using default alpha color 0 255 255",
                                           "to use other color as alpha run command line",
                                           program + ".exe r g b",
                                           "where r,g,b is number from 0 to 255", "for example",
                                           program + ".exe 255 0 255", "will use purple as alpha"});
  }
  return line;
}

int runTool(int argc, char** argv, const Profile& profile) {
  reportOversizeWrites();
  removeTemporariesOnInterrupt();
  const CommandLine line = readCommandLine(profile.name, argc, argv);
  for (const std::string& text : line.banner) printLine(text);
  Workers workers;
  return processFolder(profile, line.settings, workers) ? 0 : 1;
}

}  // namespace zorpix

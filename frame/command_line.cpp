#include "frame/command_line.h"

#include <algorithm>
#include <limits>
#include <string>

namespace zorpix {

AlphaColor alphaColor;
std::int32_t refineMode = 0;

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

int runTool(int argc, char** argv, const Tool& tool) {
  const std::string program(tool.name);
  reportOversizeWrites();
  removeTemporariesOnInterrupt();
  alphaColor = AlphaColor{};
  refineMode = 0;
  printLine("Developed by the zorpix developers email zorpix@example.org");
  printLine("Place " + program + ".exe in folder that contains 24bit *.BMP files");
  const int numbers = argc - 1;
  if (numbers >= 3) {
    alphaColor.red = lowWord(parseNumber(argv[1]));
    alphaColor.green = lowWord(parseNumber(argv[2]));
    alphaColor.blue = lowWord(parseNumber(argv[3]));
    refineMode = numbers >= 4 ? parseNumber(argv[4]) : 0;
    printLine("using " + std::to_string(alphaColor.red) + " " + std::to_string(alphaColor.green) +
              " " + std::to_string(alphaColor.blue) + " as alpha color");
  } else {
    printLine("using default alpha color 0 255 255");
    printLine("to use other color as alpha run command line");
    printLine(program + ".exe r g b");
    printLine("where r,g,b is number from 0 to 255");
    printLine("for example");
    printLine(program + ".exe 255 0 255");
    printLine("will use purple as alpha");
  }
  return processFolder(tool) ? 0 : 1;
}

}  // namespace zorpix

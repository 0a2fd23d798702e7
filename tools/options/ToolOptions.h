// The command line of the tools: one table of options per program, one parser, one usage
// layout, and one number syntax (decimal, or hexadecimal after 0x).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// Takes an option's value. `name` is the option as the user wrote it ("-b" or "--baud"),
// `value` empty for an option without one. False with `error` set refuses it.
using TOptionTake =
    std::function<bool(const std::string& name, const std::string& value, std::string& error)>;

// One row of a program's option table.
struct TOption {
  char Short = 0;    // -x; 0 for none
  std::string Long;  // --name without its dashes; empty makes the row a heading of the usage
  std::string Value; // the value's name in the usage; empty for an option that takes none
  std::string Help;  // the usage text; a '\n' continues it on the next line
  TOptionTake Take;  // called for each use, in order
};

// Options and operands in any order: --name=value, --name value, -xvalue, -x value; "--" ends
// the options, "-" and "" are operands. False with `error` set on the first misuse.
bool ParseOptions(const std::vector<TOption>& table, const std::vector<std::string>& args,
                  std::vector<std::string>& operands, std::string& error);

// The table's rows, the help texts aligned in one column past the longest option.
std::string OptionUsage(const std::vector<TOption>& table);

// Decimal, or hexadecimal after 0x or 0X (a leading 0 is no octal prefix); no sign, no blanks.
bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& value);
// "NAME: 'TEXT' is not a number from MIN to MAX".
std::string NumberError(const std::string& name, const std::string& text, uint64_t min,
                        uint64_t max);

// Takes for the common rows: a flag, a text, a number from `min` to `max`.
TOptionTake SetFlag(bool& target);
TOptionTake SetText(std::string& target);
template <class T> TOptionTake SetNumber(T& target, uint64_t min, uint64_t max) {
  return [&target, min, max](const std::string& name, const std::string& text, std::string& error) {
    uint64_t n = 0;
    if (!ParseNumber(text, min, max, n)) {
      error = NumberError(name, text, min, max);
      return false;
    }
    target = static_cast<T>(n);
    return true;
  };
}

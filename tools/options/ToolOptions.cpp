#include "ToolOptions.h"

#include <algorithm>
#include <cctype>

namespace {

// An option as written: its name ("--baud", "-b") and the value joined to it, if any.
struct TWritten {
  std::string Name;
  std::string Value;
  bool Joined = false;
};

TWritten Split(const std::string& arg) {
  if (arg.rfind("--", 0) == 0) {
    size_t eq = arg.find('=');
    if (eq == std::string::npos) return {arg, "", false};
    return {arg.substr(0, eq), arg.substr(eq + 1), true};
  }
  if (arg.size() > 2) return {arg.substr(0, 2), arg.substr(2), true};
  return {arg, "", false};
}

const TOption* Find(const std::vector<TOption>& table, const std::string& name) {
  auto it = std::find_if(table.begin(), table.end(), [&](const TOption& o) {
    if (name.rfind("--", 0) == 0)
      return !o.Long.empty() && name.compare(2, std::string::npos, o.Long) == 0;
    return o.Short != 0 && name.size() == 2 && name[1] == o.Short;
  });
  return it == table.end() ? nullptr : &*it;
}

std::string Names(const TOption& o) {
  std::string names = o.Short ? std::string("-") + o.Short + ", " : "    ";
  names += "--" + o.Long;
  if (!o.Value.empty()) names += " " + o.Value;
  return names;
}

} // namespace

bool ParseOptions(const std::vector<TOption>& table, const std::vector<std::string>& args,
                  std::vector<std::string>& operands, std::string& error) {
  operands.clear();
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg.size() < 2 || arg[0] != '-') {
      operands.push_back(arg);
      continue;
    }
    if (arg == "--") {
      operands.insert(operands.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1,
                      args.end());
      return true;
    }
    TWritten w = Split(arg);
    const TOption* option = Find(table, w.Name);
    if (!option) {
      error = "unknown option " + arg;
      return false;
    }
    if (option->Value.empty() && w.Joined) {
      error = "option " + w.Name + " takes no value";
      return false;
    }
    if (!option->Value.empty() && !w.Joined) {
      if (i + 1 >= args.size()) {
        error = "option " + w.Name + " needs a value";
        return false;
      }
      w.Value = args[++i];
    }
    if (!option->Take(w.Name, w.Value, error)) return false;
  }
  return true;
}

std::string OptionUsage(const std::vector<TOption>& table) {
  size_t column = 0;
  for (const TOption& o : table)
    if (!o.Long.empty()) column = std::max(column, 2 + Names(o).size() + 1);
  std::string usage;
  for (const TOption& o : table) {
    if (o.Long.empty()) {
      usage += o.Help + "\n";
      continue;
    }
    std::string line = "  " + Names(o);
    line.resize(column, ' ');
    for (char c : o.Help)
      line += c == '\n' ? "\n" + std::string(column, ' ') : std::string(1, c);
    usage += line + "\n";
  }
  return usage;
}

bool ParseNumber(const std::string& text, uint64_t min, uint64_t max, uint64_t& value) {
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  const unsigned base = hex ? 16 : 10;
  size_t at = hex ? 2 : 0;
  if (at == text.size()) return false;
  uint64_t v = 0;
  for (; at < text.size(); ++at) {
    const unsigned char c = static_cast<unsigned char>(text[at]);
    unsigned digit = 0;
    if (std::isdigit(c))
      digit = c - '0';
    else if (hex && std::isxdigit(c))
      digit = static_cast<unsigned>(std::tolower(c) - 'a' + 10);
    else
      return false;
    if (v > (UINT64_MAX - digit) / base) return false; // past 64 bits
    v = v * base + digit;
  }
  if (v < min || v > max) return false;
  value = v;
  return true;
}

std::string NumberError(const std::string& name, const std::string& text, uint64_t min,
                        uint64_t max) {
  return name + ": '" + text + "' is not a number from " + std::to_string(min) + " to " +
         std::to_string(max);
}

TOptionTake SetFlag(bool& target) {
  return [&target](const std::string&, const std::string&, std::string&) {
    target = true;
    return true;
  };
}

TOptionTake SetText(std::string& target) {
  return [&target](const std::string&, const std::string& value, std::string&) {
    target = value;
    return true;
  };
}

// The JSON lines fwload-cli writes (--json events, --report records): every text made valid
// UTF-8 first, so that a path with stray bytes still gives a line any reader takes.
#pragma once

#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// Keys stay in the order they were added: "v" and "event" first, as a reader scanning the
// lines expects them.
using TJson = nlohmann::ordered_json;

// The schema's version, in every object as "v".
constexpr int CliJsonVersion = 1;

// Every event --json can write; each is documented in docs/json.md.
enum class TCliEvent { Start, Send, Reply, Progress, Timeout, Gone, Result, Summary };
inline constexpr const char* CliEventNames[] = {"start",   "send", "reply",  "progress",
                                                "timeout", "gone", "result", "summary"};
inline const char* CliEventName(TCliEvent event) {
  return CliEventNames[static_cast<int>(event)];
}

// `text` as valid UTF-8: well-formed sequences kept, each other byte written as the four
// characters \xNN (a backslash in the text stays a backslash).
std::string Utf8Text(std::string_view text);
// One object on one line with its line break. Invalid UTF-8 left in it (a caller that did not
// pass its texts through Utf8Text) becomes U+FFFD rather than an exception.
std::string JsonLine(const TJson& object);

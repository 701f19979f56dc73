#pragma once
// Parsing and printing helpers shared by the devedactl command groups.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "util/Text.h"

namespace cli {

// The number parsers every layer shares.
using util::ParseHexBytes;
using util::ParseInteger;
// Upper-case hex bytes separated by blanks, on one line.
std::string HexBytes(const uint8_t* data, size_t size);
// Rows of 16 upper-case hex bytes separated by blanks, each row prefixed by
// its offset ("0000: ") when `offsets` is set.
std::string HexDump(const uint8_t* data, size_t size, bool offsets);

// The options of devedactl that come before the command, in any order:
// --station=CHOICE (or --station CHOICE), --debug=LEVEL, --trace=FILE, --help/-h,
// --version. Parsing stops at the first word that is not one of them.
struct GlobalOptions {
    std::optional<std::string> station;
    std::optional<int> debugLevel;
    std::optional<std::string> traceFile;
    bool help = false;
    bool version = false;
    std::string error;               // non-empty: the options are wrong, say this
    std::vector<std::string> rest;   // the command and its words
};
GlobalOptions ParseGlobalOptions(const std::vector<std::string>& args);

// The name of `names` closest to `word` (edit distance, ties to the first),
// or empty when none is within half the word's length.
std::string NearestName(const std::string& word, const std::vector<std::string>& names);

// An error number in the words of the C library ("No such file or directory").
std::string SystemErrorText(int error);

// Whether the words after a command ask for its help ("--help" or "-h").
bool AsksForHelp(const std::vector<std::string>& words);

// A JSON string literal of `text`: quotes, backslashes and control characters
// escaped; a text that is not valid UTF-8 has each byte above 0x7F written as
// the code point of the same number, so the output is always valid JSON.
std::string JsonString(std::string_view text);

// A JSON object built member by member, in the order added.
class JsonObject {
public:
    JsonObject& Text(const char* key, std::string_view value);
    JsonObject& Number(const char* key, long long value);
    JsonObject& Bool(const char* key, bool value);
    JsonObject& Null(const char* key);
    // `json` is already a JSON value (an object, an array).
    JsonObject& Raw(const char* key, const std::string& json);
    std::string Json() const { return "{" + m_Members + "}"; }

private:
    JsonObject& Member(const char* key, const std::string& json);
    std::string m_Members;
};

// A JSON array of JSON values.
std::string JsonArray(const std::vector<std::string>& values);

}  // namespace cli

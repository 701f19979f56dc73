#pragma once
// A small reader of JSON text, enough for what the system's tools print with
// --json (sfdisk): objects, arrays, strings with every escape, numbers kept as
// their text, true, false and null. Nesting deeper than 64 levels is refused.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::linuxst {

struct JsonMember;

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject };
    Kind kind = Kind::kNull;
    bool boolean = false;
    std::string text;  // a string's UTF-8 text, or a number as written
    std::vector<JsonValue> items;                              // an array's items
    std::vector<JsonMember> members;  // an object's members in their order

    // The member named `key` of an object; nullptr when there is none.
    const JsonValue* Find(const std::string& key) const;
    // A non-negative integer number; nullopt for anything else.
    std::optional<uint64_t> Unsigned() const;
};

struct JsonMember {
    std::string name;
    JsonValue value;
};

// The value of a whole JSON text; nullopt when the text is not JSON.
std::optional<JsonValue> ParseJson(const std::string& text);

}  // namespace platform::linuxst

#pragma once
// Changing single keys of a settings file from the console: the rule each key's
// value must follow, and edits of the file's text that touch only the named keys.
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// The rule of one key, as the console explains it ("a number from 0 to 2").
// Empty when `key` is no settings-file key.
std::string strIniKeyRule(std::string_view key);

// Why `value` is refused for `key` ("fw_enable=yes: a number from 0 to 1 is
// expected"), or nullopt when it follows the key's rule. Rules that involve
// other keys (the drive label's length by file system, a hexadecimal serial
// number) are left to the load of the whole file.
std::optional<std::string> strRefuseIniValue(std::string_view key, std::string_view value);

// Why the load of a settings file refuses `value` (already trimmed and without
// its comment) for `key`, or nullopt: a number that is not all decimal digits or
// lies outside its key's range, a hexadecimal identity with other characters.
// Keys whose values the load itself forces or clamps, and text lengths, keep
// their own rules.
std::optional<std::string> strRefuseLoadedIniValue(std::string_view key, std::string_view value);

// The value `text` (a settings file) gives `key` as the load reads it: the last
// line carrying the key wins. nullopt when no line carries it.
std::optional<std::string> strIniValueOf(std::string_view text, std::string_view key);

// `text` with each key of `values` set: the line carrying the key (every one,
// when there are several) gets the new value, the key's spelling and the line
// end kept; a key the text lacks is added after the nearest key that precedes
// it in the stored order, or else before the nearest that follows it (keeping
// "fw_enable" ahead of "fw_reload"). Every other line stays as it was.
std::string strSetIniValues(std::string text, const std::vector<std::pair<std::string, std::string>>& values);

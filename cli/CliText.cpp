#include "cli/CliText.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace cli {

std::string HexBytes(const uint8_t* data, size_t size)
{
    std::string text;
    char cell[4];
    for (size_t i = 0; i < size; ++i) {
        std::snprintf(cell, sizeof cell, "%02X", data[i]);
        if (i > 0) text += ' ';
        text += cell;
    }
    return text;
}

std::string HexDump(const uint8_t* data, size_t size, bool offsets)
{
    std::string text;
    for (size_t row = 0; row < size; row += 16) {
        if (offsets) {
            char offset[16];
            std::snprintf(offset, sizeof offset, "%04X: ", static_cast<unsigned>(row));
            text += offset;
        }
        text += HexBytes(data + row, std::min<size_t>(16, size - row)) + '\n';
    }
    return text;
}

}  // namespace cli

namespace cli {

GlobalOptions ParseGlobalOptions(const std::vector<std::string>& args)
{
    GlobalOptions options;
    size_t i = 0;
    for (; i < args.size(); ++i) {
        const std::string& word = args[i];
        const auto valueOf = [&](const std::string& name) -> std::optional<std::string> {
            if (word.rfind(name + "=", 0) == 0) return word.substr(name.size() + 1);
            if (word == name && i + 1 < args.size()) return args[++i];
            return std::nullopt;
        };
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--version") {
            options.version = true;
        } else if (word.rfind("--station", 0) == 0) {
            options.station = valueOf("--station");
            if (!options.station) options.error = "--station takes a station: --station=emu:DIR or --station=linux";
        } else if (word.rfind("--debug", 0) == 0) {
            const auto text = valueOf("--debug");
            const auto level = text ? ParseInteger(*text, 0, 255) : std::nullopt;
            if (level) options.debugLevel = static_cast<int>(*level);
            else options.error = "--debug takes a level from 0 to 255";
        } else if (word.rfind("--trace", 0) == 0) {
            options.traceFile = valueOf("--trace");
            if (!options.traceFile || options.traceFile->empty()) options.error = "--trace takes a file name";
        } else if (word.rfind("-", 0) == 0) {
            options.error = "unknown option '" + word + "'";
        } else {
            break;
        }
        if (!options.error.empty()) return options;
    }
    options.rest.assign(args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
    return options;
}

namespace {
size_t EditDistance(const std::string& a, const std::string& b)
{
    std::vector<size_t> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        size_t diagonal = row[0];
        row[0] = i;
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t above = row[j];
            const size_t same = std::tolower(static_cast<unsigned char>(a[i - 1])) ==
                                std::tolower(static_cast<unsigned char>(b[j - 1]));
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
            diagonal = above;
        }
    }
    return row[b.size()];
}
}  // namespace

std::string NearestName(const std::string& word, const std::vector<std::string>& names)
{
    std::string best;
    size_t bestDistance = std::max<size_t>(1, word.size() / 2) + 1;
    for (const auto& name : names) {
        const size_t distance = EditDistance(word, name);
        if (distance < bestDistance) {
            best = name;
            bestDistance = distance;
        }
    }
    return best;
}

std::string SystemErrorText(int error)
{
    return std::strerror(error);
}

bool AsksForHelp(const std::vector<std::string>& words)
{
    return std::any_of(words.begin(), words.end(), [](const std::string& w) { return w == "--help" || w == "-h"; });
}

}  // namespace cli

namespace cli {

namespace {
// Length of the UTF-8 sequence at `at`, 0 when the bytes there are none.
size_t Utf8SequenceLength(std::string_view text, size_t at)
{
    const auto lead = static_cast<unsigned char>(text[at]);
    const size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
    if (length == 0 || (length == 2 && lead < 0xC2) || at + length > text.size()) return 0;
    for (size_t i = 1; i < length; ++i)
        if ((static_cast<unsigned char>(text[at + i]) & 0xC0) != 0x80) return 0;
    return length;
}

bool IsUtf8(std::string_view text)
{
    for (size_t at = 0; at < text.size();) {
        const size_t length = Utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}
}  // namespace

std::string JsonString(std::string_view text)
{
    const bool utf8 = IsUtf8(text);
    std::string json = "\"";
    char escape[8];
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            json += '\\';
            json += c;
        } else if (byte < 0x20 || byte == 0x7F || (byte >= 0x80 && !utf8)) {
            std::snprintf(escape, sizeof escape, "\\u%04X", byte);
            json += escape;
        } else {
            json += c;
        }
    }
    return json + "\"";
}

JsonObject& JsonObject::Member(const char* key, const std::string& json)
{
    if (!m_Members.empty()) m_Members += ",";
    m_Members += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::Text(const char* key, std::string_view value) { return Member(key, JsonString(value)); }
JsonObject& JsonObject::Number(const char* key, long long value) { return Member(key, std::to_string(value)); }
JsonObject& JsonObject::Bool(const char* key, bool value) { return Member(key, value ? "true" : "false"); }
JsonObject& JsonObject::Null(const char* key) { return Member(key, "null"); }
JsonObject& JsonObject::Raw(const char* key, const std::string& json) { return Member(key, json); }

std::string JsonArray(const std::vector<std::string>& values)
{
    std::string json = "[";
    for (size_t i = 0; i < values.size(); ++i) json += (i ? "," : "") + values[i];
    return json + "]";
}

}  // namespace cli

#include "platform/linux/JsonText.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace platform::linuxst {

namespace {

constexpr int kMaxDepth = 64;

class Reader {
public:
    explicit Reader(const std::string& text) : m_Text(text) {}

    std::optional<JsonValue> Document()
    {
        JsonValue value;
        if (!Value(value, 0)) return std::nullopt;
        SkipBlanks();
        if (m_At != m_Text.size()) return std::nullopt;
        return value;
    }

private:
    void SkipBlanks()
    {
        while (m_At < m_Text.size() && (m_Text[m_At] == ' ' || m_Text[m_At] == '\t' || m_Text[m_At] == '\n' ||
                                        m_Text[m_At] == '\r'))
            ++m_At;
    }
    bool Take(char expected)
    {
        SkipBlanks();
        if (m_At >= m_Text.size() || m_Text[m_At] != expected) return false;
        ++m_At;
        return true;
    }
    bool Word(const char* word)
    {
        const std::string w(word);
        if (m_Text.compare(m_At, w.size(), w) != 0) return false;
        m_At += w.size();
        return true;
    }

    bool Value(JsonValue& value, int depth)
    {
        if (depth > kMaxDepth) return false;
        SkipBlanks();
        if (m_At >= m_Text.size()) return false;
        const char c = m_Text[m_At];
        if (c == '{') return Object(value, depth);
        if (c == '[') return Array(value, depth);
        if (c == '"') {
            value.kind = JsonValue::Kind::kString;
            return String(value.text);
        }
        if (Word("true") || Word("false")) {
            value.kind = JsonValue::Kind::kBool;
            value.boolean = c == 't';
            return true;
        }
        if (Word("null")) return true;
        return Number(value);
    }

    bool Object(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::kObject;
        ++m_At;
        if (Take('}')) return true;
        do {
            JsonMember member;
            SkipBlanks();
            if (m_At >= m_Text.size() || m_Text[m_At] != '"' || !String(member.name) || !Take(':') ||
                !Value(member.value, depth + 1))
                return false;
            value.members.push_back(std::move(member));
        } while (Take(','));
        return Take('}');
    }

    bool Array(JsonValue& value, int depth)
    {
        value.kind = JsonValue::Kind::kArray;
        ++m_At;
        if (Take(']')) return true;
        do {
            JsonValue item;
            if (!Value(item, depth + 1)) return false;
            value.items.push_back(std::move(item));
        } while (Take(','));
        return Take(']');
    }

    bool Number(JsonValue& value)
    {
        const size_t start = m_At;
        if (m_At < m_Text.size() && m_Text[m_At] == '-') ++m_At;
        const size_t digits = m_At;
        while (m_At < m_Text.size() && std::isdigit(static_cast<unsigned char>(m_Text[m_At]))) ++m_At;
        if (m_At == digits) return false;
        if (m_At < m_Text.size() && m_Text[m_At] == '.') {
            const size_t fraction = ++m_At;
            while (m_At < m_Text.size() && std::isdigit(static_cast<unsigned char>(m_Text[m_At]))) ++m_At;
            if (m_At == fraction) return false;
        }
        if (m_At < m_Text.size() && (m_Text[m_At] == 'e' || m_Text[m_At] == 'E')) {
            ++m_At;
            if (m_At < m_Text.size() && (m_Text[m_At] == '+' || m_Text[m_At] == '-')) ++m_At;
            const size_t exponent = m_At;
            while (m_At < m_Text.size() && std::isdigit(static_cast<unsigned char>(m_Text[m_At]))) ++m_At;
            if (m_At == exponent) return false;
        }
        value.kind = JsonValue::Kind::kNumber;
        value.text = m_Text.substr(start, m_At - start);
        return true;
    }

    // Four hexadecimal digits of a \u escape.
    bool Hex4(uint32_t& unit)
    {
        if (m_At + 4 > m_Text.size()) return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char h = m_Text[m_At++];
            if (!std::isxdigit(static_cast<unsigned char>(h))) return false;
            unit = unit * 16 + static_cast<uint32_t>(std::isdigit(static_cast<unsigned char>(h))
                                                         ? h - '0'
                                                         : std::tolower(static_cast<unsigned char>(h)) - 'a' + 10);
        }
        return true;
    }

    static void AppendUtf8(std::string& out, uint32_t code)
    {
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | code >> 6);
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | code >> 12);
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | code >> 18);
            out += static_cast<char>(0x80 | (code >> 12 & 0x3F));
            out += static_cast<char>(0x80 | (code >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }

    // A \u escape, with the second half of a surrogate pair when the first asks for one.
    bool Unicode(std::string& out)
    {
        uint32_t code = 0;
        if (!Hex4(code)) return false;
        if (code >= 0xDC00 && code <= 0xDFFF) return false;
        if (code >= 0xD800 && code <= 0xDBFF) {
            uint32_t low = 0;
            if (!Word("\\u") || !Hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
            code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
        AppendUtf8(out, code);
        return true;
    }

    bool String(std::string& out)
    {
        ++m_At;  // the opening quote
        while (m_At < m_Text.size()) {
            const char c = m_Text[m_At++];
            if (c == '"') return true;
            if (static_cast<unsigned char>(c) < 0x20) return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_At >= m_Text.size()) return false;
            switch (const char e = m_Text[m_At++]) {
            case '"':
            case '\\':
            case '/': out += e; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u':
                if (!Unicode(out)) return false;
                break;
            default: return false;
            }
        }
        return false;
    }

    const std::string& m_Text;
    size_t m_At = 0;
};

}  // namespace

const JsonValue* JsonValue::Find(const std::string& key) const
{
    for (const JsonMember& member : members)
        if (member.name == key) return &member.value;
    return nullptr;
}

std::optional<uint64_t> JsonValue::Unsigned() const
{
    if (kind != Kind::kNumber || text.empty() || !std::isdigit(static_cast<unsigned char>(text[0]))) return std::nullopt;
    errno = 0;
    char* end = nullptr;
    const unsigned long long number = std::strtoull(text.c_str(), &end, 10);
    if (errno != 0 || !end || *end != '\0') return std::nullopt;
    return number;
}

std::optional<JsonValue> ParseJson(const std::string& text)
{
    return Reader(text).Document();
}

}  // namespace platform::linuxst

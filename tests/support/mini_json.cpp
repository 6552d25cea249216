#include "tests/support/mini_json.h"

#include <cctype>
#include <cstdlib>
#include <stdexcept>

namespace {

class Parser {
public:
    explicit Parser(const std::string& s) : m_s(s) {}

    JsonValue Document()
    {
        JsonValue v = Value();
        Space();
        if (m_i != m_s.size()) Fail("trailing characters");
        return v;
    }

private:
    [[noreturn]] void Fail(const std::string& what)
    {
        throw std::runtime_error("JSON: " + what + " at " + std::to_string(m_i) + " in: " + m_s);
    }
    void Space()
    {
        while (m_i < m_s.size() && (m_s[m_i] == ' ' || m_s[m_i] == '\t' || m_s[m_i] == '\n' || m_s[m_i] == '\r')) ++m_i;
    }
    bool Eat(char c)
    {
        Space();
        if (m_i < m_s.size() && m_s[m_i] == c) {
            ++m_i;
            return true;
        }
        return false;
    }
    void Expect(char c)
    {
        if (!Eat(c)) Fail(std::string("expected '") + c + "'");
    }
    bool Word(const char* w)
    {
        const std::string word(w);
        if (m_s.compare(m_i, word.size(), word) != 0) return false;
        m_i += word.size();
        return true;
    }
    std::string String()
    {
        Expect('"');
        std::string out;
        while (m_i < m_s.size() && m_s[m_i] != '"') {
            char c = m_s[m_i++];
            if (static_cast<unsigned char>(c) < 0x20) Fail("control character in a string");
            if (c != '\\') {
                out += c;
                continue;
            }
            if (m_i >= m_s.size()) Fail("cut escape");
            c = m_s[m_i++];
            switch (c) {
            case '"': case '\\': case '/': out += c; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'u': {
                if (m_i + 4 > m_s.size()) Fail("cut \\u escape");
                const unsigned cp = unsigned(std::strtoul(m_s.substr(m_i, 4).c_str(), nullptr, 16));
                m_i += 4;
                if (cp < 0x80) out += char(cp);
                else if (cp < 0x800) {
                    out += char(0xC0 | (cp >> 6));
                    out += char(0x80 | (cp & 0x3F));
                } else {
                    out += char(0xE0 | (cp >> 12));
                    out += char(0x80 | ((cp >> 6) & 0x3F));
                    out += char(0x80 | (cp & 0x3F));
                }
                break;
            }
            default: Fail("bad escape");
            }
        }
        if (m_i >= m_s.size()) Fail("unterminated string");
        ++m_i;
        return out;
    }
    JsonValue Value()
    {
        Space();
        JsonValue v;
        if (m_i >= m_s.size()) Fail("no value");
        const char c = m_s[m_i];
        if (c == '{') {
            ++m_i;
            v.kind = JsonValue::Kind::kObject;
            if (Eat('}')) return v;
            do {
                Space();
                const std::string key = String();
                Expect(':');
                if (v.fields.count(key)) Fail("duplicate key " + key);
                v.fields[key] = Value();
            } while (Eat(','));
            Expect('}');
        } else if (c == '[') {
            ++m_i;
            v.kind = JsonValue::Kind::kArray;
            if (Eat(']')) return v;
            do v.items.push_back(Value());
            while (Eat(','));
            Expect(']');
        } else if (c == '"') {
            v.kind = JsonValue::Kind::kString;
            v.text = String();
        } else if (Word("true")) {
            v.kind = JsonValue::Kind::kBool;
            v.boolean = true;
        } else if (Word("false")) {
            v.kind = JsonValue::Kind::kBool;
        } else if (Word("null")) {
            v.kind = JsonValue::Kind::kNull;
        } else {
            const size_t start = m_i;
            if (m_i < m_s.size() && m_s[m_i] == '-') ++m_i;
            while (m_i < m_s.size() && (std::isdigit(static_cast<unsigned char>(m_s[m_i])) || m_s[m_i] == '.' ||
                                        m_s[m_i] == 'e' || m_s[m_i] == 'E' || m_s[m_i] == '+' || m_s[m_i] == '-'))
                ++m_i;
            if (m_i == start) Fail("unexpected character");
            v.kind = JsonValue::Kind::kNumber;
            v.text = m_s.substr(start, m_i - start);
            char* end = nullptr;
            v.number = std::strtod(v.text.c_str(), &end);
            if (*end) Fail("bad number " + v.text);
        }
        return v;
    }

    const std::string& m_s;
    size_t m_i = 0;
};

} // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const
{
    auto it = fields.find(key);
    if (kind != Kind::kObject || it == fields.end()) throw std::runtime_error("JSON: no field " + key);
    return it->second;
}

const JsonValue& JsonValue::operator[](size_t index) const
{
    if (kind != Kind::kArray || index >= items.size()) throw std::runtime_error("JSON: no item " + std::to_string(index));
    return items[index];
}

JsonValue ParseJson(const std::string& text) { return Parser(text).Document(); }

std::vector<JsonValue> ParseJsonLines(const std::string& text)
{
    std::vector<JsonValue> out;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) nl = text.size();
        out.push_back(ParseJson(text.substr(start, nl - start)));
        start = nl + 1;
    }
    return out;
}

#include "app/cli/json.h"

#include "base/strprintf.h"

std::string JsonString(const std::string& text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20) out += StrPrintf("\\u%04x", c);
            else out += char(c); // UTF-8 passes through as it is
        }
    }
    return out + "\"";
}

JsonObject& JsonObject::Field(const char* key, const std::string& json)
{
    if (!m_body.empty()) m_body += ",";
    m_body += JsonString(key) + ":" + json;
    return *this;
}

JsonObject& JsonObject::Str(const char* key, const std::string& value) { return Field(key, JsonString(value)); }
JsonObject& JsonObject::Num(const char* key, uint64_t value) { return Field(key, std::to_string(value)); }
JsonObject& JsonObject::Real(const char* key, double value, int decimals)
{
    return Field(key, StrPrintf("%.*f", decimals, value));
}
JsonObject& JsonObject::Bool(const char* key, bool value) { return Field(key, value ? "true" : "false"); }
JsonObject& JsonObject::Null(const char* key) { return Field(key, "null"); }
JsonObject& JsonObject::Raw(const char* key, const std::string& json) { return Field(key, json); }

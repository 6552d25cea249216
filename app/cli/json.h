#pragma once
// Just enough JSON for one-line records: objects of strings, numbers, booleans and nulls,
// with nested objects and arrays passed in already written.
#include <cstdint>
#include <string>

std::string JsonString(const std::string& text);

class JsonObject {
public:
    JsonObject& Str(const char* key, const std::string& value);
    JsonObject& Num(const char* key, uint64_t value);
    JsonObject& Real(const char* key, double value, int decimals);
    JsonObject& Bool(const char* key, bool value);
    JsonObject& Null(const char* key);
    // `json` must already be valid JSON (an object or an array).
    JsonObject& Raw(const char* key, const std::string& json);
    std::string Text() const { return "{" + m_body + "}"; }

private:
    JsonObject& Field(const char* key, const std::string& json);
    std::string m_body;
};

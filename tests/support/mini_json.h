#pragma once
// A strict little JSON reader for tests: enough to check that a tool's output parses and
// carries the fields it promises. Throws std::runtime_error on anything that is not JSON.
#include <map>
#include <memory>
#include <string>
#include <vector>

struct JsonValue {
    enum class Kind { kNull, kBool, kNumber, kString, kArray, kObject } kind = Kind::kNull;
    bool boolean = false;
    double number = 0;
    std::string text;      // the string, or the number as written
    std::vector<JsonValue> items;
    std::map<std::string, JsonValue> fields;

    bool Has(const std::string& key) const { return kind == Kind::kObject && fields.count(key); }
    const JsonValue& operator[](const std::string& key) const;
    const JsonValue& operator[](size_t index) const;
};

JsonValue ParseJson(const std::string& text);
// Every line of `text` parsed; an empty line is an error too.
std::vector<JsonValue> ParseJsonLines(const std::string& text);

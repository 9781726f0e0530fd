#pragma once
// A small JSON document model: enough to write ssbr's reports and read its own backup.json back.

#include "errors/Exceptions.h"
#include "text/Strings.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

QM_DECLARE_MODULE_EXCEPTION(JsonException);

class JsonValue
{
public:
    enum class Kind { Null, Boolean, Number, Text, Array, Object };

    JsonValue() = default;
    JsonValue(bool value) : m_kind(Kind::Boolean), m_boolean(value) {}
    JsonValue(double value) : m_kind(Kind::Number), m_number(value) {}
    JsonValue(int value) : JsonValue(static_cast<double>(value)) {}
    JsonValue(uint64_t value) : JsonValue(static_cast<double>(value)) {}
    JsonValue(const wchar_t* value) : m_kind(Kind::Text), m_text(value) {}
    JsonValue(const String& value) : m_kind(Kind::Text), m_text(value) {}

    static JsonValue Array() { return JsonValue(Kind::Array); }
    static JsonValue Object() { return JsonValue(Kind::Object); }

    Kind GetKind() const { return m_kind; }
    bool IsNull() const { return m_kind == Kind::Null; }
    // The value, or the fallback when it is of another kind.
    bool AsBoolean(bool fallback = false) const { return m_kind == Kind::Boolean ? m_boolean : fallback; }
    double AsNumber(double fallback = 0) const { return m_kind == Kind::Number ? m_number : fallback; }
    String AsText(const String& fallback = String()) const { return m_kind == Kind::Text ? m_text : fallback; }
    const std::vector<JsonValue>& Items() const { return m_items; }

    // Appends to an array.
    JsonValue& Add(JsonValue value);
    // Sets an object's member, keeping the order members were first set in.
    JsonValue& Set(const String& name, JsonValue value);
    // The member, or a null value when there is none (or this is no object).
    const JsonValue& operator[](const String& name) const;

    // UTF-8 text; indented with two blanks per level, one member or item a line.
    std::string Write() const;
    // Throws JsonException "Invalid JSON at offset %u: %s" for text that is not one JSON value.
    static JsonValue Parse(const std::string& utf8);

private:
    explicit JsonValue(Kind kind) : m_kind(kind) {}
    void WriteTo(std::string& out, int depth) const;

    Kind m_kind = Kind::Null;
    bool m_boolean = false;
    double m_number = 0;
    String m_text;
    std::vector<JsonValue> m_items;
    std::vector<std::pair<String, JsonValue>> m_members;
};

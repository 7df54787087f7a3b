// A small JSON value for the update history and the command line's --json lines: built in code,
// written on one line, read back from text (objects, arrays, strings, numbers, booleans, null).
// Object members keep their order. Reading never throws: text that is not whole JSON gives
// nullopt (a history line torn by a power cut is skipped that way).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace quarvo {

class Json {
public:
    using Array = std::vector<Json>;
    using Object = std::vector<std::pair<std::string, Json>>;

    Json() = default; // null
    Json(bool value) : m_value(value) {}
    Json(double value) : m_value(value) {}
    Json(std::int64_t value) : m_value(static_cast<double>(value)) {}
    Json(int value) : m_value(static_cast<double>(value)) {}
    Json(std::uint64_t value) : m_value(static_cast<double>(value)) {}
    Json(const char* value) : m_value(std::string(value)) {}
    Json(std::string value) : m_value(std::move(value)) {}
    Json(Array value) : m_value(std::move(value)) {}
    Json(Object value) : m_value(std::move(value)) {}

    bool isNull() const { return std::holds_alternative<std::monostate>(m_value); }
    bool isObject() const { return std::holds_alternative<Object>(m_value); }
    bool isNumber() const { return std::holds_alternative<double>(m_value); }
    // The member's value, or null when there is none (or this is no object).
    const Json& operator[](std::string_view name) const;
    const Array& items() const;    // empty when this is no array
    const Object& members() const; // empty when this is no object
    std::string text() const;      // empty when this is no string
    double number() const;         // 0 when this is no number
    bool boolean() const;          // false when this is no boolean
    // Adds a member to an object (this becomes one when it is null).
    Json& set(std::string name, Json value);

    // On one line, UTF-8 as it is, control characters escaped.
    std::string dump() const;
    static std::optional<Json> parse(std::string_view text);

private:
    std::variant<std::monostate, bool, double, std::string, Array, Object> m_value;
};

} // namespace quarvo

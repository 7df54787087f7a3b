#include "json.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace quarvo {
namespace {

const Json NULL_JSON;
const Json::Array NO_ITEMS;
const Json::Object NO_MEMBERS;

void dumpString(const std::string& text, std::string& out)
{
    out.push_back('"');
    for (const char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
                out += escaped;
            } else {
                out.push_back(c);
            }
        }
    }
    out.push_back('"');
}

// A recursive-descent reader over the text; every step tells whether it could.
class Reader {
public:
    explicit Reader(std::string_view text) : m_text(text) {}

    std::optional<Json> document()
    {
        std::optional<Json> value = read(0);
        skipSpace();
        if (!value || m_at != m_text.size())
            return std::nullopt;
        return value;
    }

private:
    // Deeper than any record of ours: text nested further is refused rather than followed.
    static constexpr int MAX_DEPTH = 32;

    void skipSpace()
    {
        while (m_at < m_text.size() && (m_text[m_at] == ' ' || m_text[m_at] == '\t' ||
                                        m_text[m_at] == '\n' || m_text[m_at] == '\r'))
            ++m_at;
    }
    bool take(char c)
    {
        skipSpace();
        if (m_at < m_text.size() && m_text[m_at] == c) {
            ++m_at;
            return true;
        }
        return false;
    }
    bool word(std::string_view expected)
    {
        if (m_text.substr(m_at, expected.size()) != expected)
            return false;
        m_at += expected.size();
        return true;
    }
    static void appendUtf8(unsigned code, std::string& out)
    {
        if (code < 0x80) {
            out.push_back(static_cast<char>(code));
        } else if (code < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (code >> 6)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xE0 | (code >> 12)));
            out.push_back(static_cast<char>(0x80 | ((code >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (code & 0x3F)));
        }
    }
    std::optional<std::string> string()
    {
        if (!take('"'))
            return std::nullopt;
        std::string out;
        while (m_at < m_text.size()) {
            const char c = m_text[m_at++];
            if (c == '"')
                return out;
            if (static_cast<unsigned char>(c) < 0x20)
                return std::nullopt;
            if (c != '\\') {
                out.push_back(c);
                continue;
            }
            if (m_at >= m_text.size())
                return std::nullopt;
            const char escaped = m_text[m_at++];
            switch (escaped) {
            case '"':
            case '\\':
            case '/':
                out.push_back(escaped);
                break;
            case 'n':
                out.push_back('\n');
                break;
            case 'r':
                out.push_back('\r');
                break;
            case 't':
                out.push_back('\t');
                break;
            case 'b':
                out.push_back('\b');
                break;
            case 'f':
                out.push_back('\f');
                break;
            case 'u': {
                if (m_at + 4 > m_text.size())
                    return std::nullopt;
                unsigned code = 0;
                for (int i = 0; i < 4; ++i) {
                    const char h = m_text[m_at++];
                    code <<= 4;
                    if (h >= '0' && h <= '9')
                        code |= static_cast<unsigned>(h - '0');
                    else if (h >= 'a' && h <= 'f')
                        code |= static_cast<unsigned>(h - 'a' + 10);
                    else if (h >= 'A' && h <= 'F')
                        code |= static_cast<unsigned>(h - 'A' + 10);
                    else
                        return std::nullopt;
                }
                appendUtf8(code, out);
                break;
            }
            default:
                return std::nullopt;
            }
        }
        return std::nullopt;
    }
    std::optional<Json> number()
    {
        const std::size_t start = m_at;
        while (m_at < m_text.size() &&
               std::string_view("+-0123456789.eE").find(m_text[m_at]) != std::string_view::npos)
            ++m_at;
        const std::string digits(m_text.substr(start, m_at - start));
        char* end = nullptr;
        const double value = std::strtod(digits.c_str(), &end);
        if (digits.empty() || end != digits.c_str() + digits.size() || !std::isfinite(value))
            return std::nullopt;
        return Json(value);
    }
    std::optional<Json> read(int depth)
    {
        if (depth > MAX_DEPTH)
            return std::nullopt;
        skipSpace();
        if (m_at >= m_text.size())
            return std::nullopt;
        const char c = m_text[m_at];
        if (c == '{') {
            ++m_at;
            Json::Object members;
            if (take('}'))
                return Json(std::move(members));
            do {
                std::optional<std::string> name = string();
                if (!name || !take(':'))
                    return std::nullopt;
                std::optional<Json> value = read(depth + 1);
                if (!value)
                    return std::nullopt;
                members.emplace_back(std::move(*name), std::move(*value));
            } while (take(','));
            return take('}') ? std::optional<Json>(Json(std::move(members))) : std::nullopt;
        }
        if (c == '[') {
            ++m_at;
            Json::Array items;
            if (take(']'))
                return Json(std::move(items));
            do {
                std::optional<Json> value = read(depth + 1);
                if (!value)
                    return std::nullopt;
                items.push_back(std::move(*value));
            } while (take(','));
            return take(']') ? std::optional<Json>(Json(std::move(items))) : std::nullopt;
        }
        if (c == '"') {
            std::optional<std::string> text = string();
            return text ? std::optional<Json>(Json(std::move(*text))) : std::nullopt;
        }
        if (word("true"))
            return Json(true);
        if (word("false"))
            return Json(false);
        if (word("null"))
            return Json();
        return number();
    }

    std::string_view m_text;
    std::size_t m_at = 0;
};

} // namespace

const Json& Json::operator[](std::string_view name) const
{
    for (const auto& [key, value] : members())
        if (key == name)
            return value;
    return NULL_JSON;
}

const Json::Array& Json::items() const
{
    const Array* array = std::get_if<Array>(&m_value);
    return array ? *array : NO_ITEMS;
}

const Json::Object& Json::members() const
{
    const Object* object = std::get_if<Object>(&m_value);
    return object ? *object : NO_MEMBERS;
}

std::string Json::text() const
{
    const std::string* text = std::get_if<std::string>(&m_value);
    return text ? *text : std::string();
}

double Json::number() const
{
    const double* value = std::get_if<double>(&m_value);
    return value ? *value : 0;
}

bool Json::boolean() const
{
    const bool* value = std::get_if<bool>(&m_value);
    return value && *value;
}

Json& Json::set(std::string name, Json value)
{
    if (isNull())
        m_value = Object();
    if (Object* object = std::get_if<Object>(&m_value))
        object->emplace_back(std::move(name), std::move(value));
    return *this;
}

std::string Json::dump() const
{
    std::string out;
    if (std::holds_alternative<std::monostate>(m_value)) {
        out = "null";
    } else if (const bool* value = std::get_if<bool>(&m_value)) {
        out = *value ? "true" : "false";
    } else if (const double* number = std::get_if<double>(&m_value)) {
        char text[32];
        // Whole numbers as integers, others with what a double holds.
        if (std::isfinite(*number) && *number == std::floor(*number) && std::fabs(*number) < 1e15)
            std::snprintf(text, sizeof text, "%.0f", *number);
        else if (std::isfinite(*number))
            std::snprintf(text, sizeof text, "%.6g", *number);
        else
            std::snprintf(text, sizeof text, "null");
        out = text;
    } else if (const std::string* text = std::get_if<std::string>(&m_value)) {
        dumpString(*text, out);
    } else if (const Array* array = std::get_if<Array>(&m_value)) {
        out.push_back('[');
        for (std::size_t i = 0; i < array->size(); ++i) {
            if (i > 0)
                out.push_back(',');
            out += (*array)[i].dump();
        }
        out.push_back(']');
    } else if (const Object* object = std::get_if<Object>(&m_value)) {
        out.push_back('{');
        bool first = true;
        for (const auto& [name, member] : *object) {
            if (!std::exchange(first, false))
                out.push_back(',');
            dumpString(name, out);
            out.push_back(':');
            out += member.dump();
        }
        out.push_back('}');
    }
    return out;
}

std::optional<Json> Json::parse(std::string_view text) { return Reader(text).document(); }

} // namespace quarvo

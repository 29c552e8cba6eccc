// Canonical spellings of column types and defaults. The model side writes
// what TableGenerator writes; SQLite keeps those texts as declared, MariaDB
// reports its own spellings (int(11), tinyint(1), current_timestamp(),
// 1.50 for '1.5'). Both sides go through the same folding here, so a table
// made from a model inspects equal to that model's schema.
#include "inspect.hpp"

#include <cctype>

namespace tsy::migrate {

std::string upper(std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return out;
}

std::string unquote_identifier(std::string_view text) {
    if (text.size() >= 2) {
        char open = text.front(), close = text.back();
        if ((open == '`' && close == '`') || (open == '"' && close == '"') || (open == '[' && close == ']')) {
            std::string inner(text.substr(1, text.size() - 2));
            if (open != '[') {
                // A doubled quote inside stands for one.
                std::string doubled(2, open), single(1, open);
                for (std::size_t i = inner.find(doubled); i != std::string::npos; i = inner.find(doubled, i + 1)) {
                    inner.replace(i, 2, single);
                }
            }
            return inner;
        }
    }
    return std::string(text);
}

namespace {

bool is_blank(char ch) { return std::isspace(static_cast<unsigned char>(ch)) != 0; }

std::string_view trim(std::string_view text) {
    while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
    return text;
}

// Upper case outside quotes, one blank between words, none next to
// parentheses and commas: "decimal (10, 2)" -> "DECIMAL(10,2)".
std::string normalise_spelling(std::string_view text) {
    std::string out;
    char quote = 0;
    bool pending_blank = false;
    for (char ch : trim(text)) {
        if (quote) {
            out += ch;
            if (ch == quote) quote = 0;
            continue;
        }
        if (is_blank(ch)) {
            pending_blank = true;
            continue;
        }
        bool tight = ch == '(' || ch == ')' || ch == ',';
        if (pending_blank && !tight && !out.empty() && out.back() != '(' && out.back() != ',') out += ' ';
        pending_blank = false;
        if (ch == '\'' || ch == '"') quote = ch;
        out += static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    }
    return out;
}

struct TypeParts {
    std::string base;    // "INT", "DOUBLE PRECISION"
    std::string args;    // "10,2" (without parentheses), "" for none
    std::string suffix;  // " UNSIGNED", ""
    bool has_args = false;
};

TypeParts split_type(const std::string& type) {
    TypeParts p;
    std::size_t open = type.find('(');
    if (open == std::string::npos) {
        // "INT UNSIGNED": the first word is the type unless it is a two-word name.
        p.base = type;
        for (const char* modifier : {" UNSIGNED", " ZEROFILL", " SIGNED"}) {
            std::size_t at = p.base.find(modifier);
            if (at != std::string::npos) {
                p.suffix = p.base.substr(at);
                p.base.erase(at);
                break;
            }
        }
        return p;
    }
    std::size_t close = type.find(')', open);
    if (close == std::string::npos) close = type.size();
    p.base = type.substr(0, open);
    p.args = type.substr(open + 1, close - open - 1);
    p.has_args = true;
    if (close + 1 < type.size()) {
        std::string_view rest = std::string_view(type).substr(close + 1);
        if (rest.front() != ' ') p.suffix = ' ';
        p.suffix.append(rest);
    }
    return p;
}

bool is_integer_type(const std::string& base) {
    return base == "TINYINT" || base == "SMALLINT" || base == "MEDIUMINT" || base == "INT" || base == "BIGINT";
}

bool is_time_type(const std::string& base) {
    return base == "DATETIME" || base == "TIMESTAMP" || base == "TIME";
}

std::string mysql_synonym(const std::string& base) {
    if (base == "INTEGER") return "INT";
    if (base == "BOOL") return "BOOLEAN";
    if (base == "DEC" || base == "NUMERIC" || base == "FIXED") return "DECIMAL";
    if (base == "REAL" || base == "DOUBLE PRECISION") return "DOUBLE";
    if (base == "CHARACTER VARYING") return "VARCHAR";
    if (base == "CHARACTER") return "CHAR";
    // MariaDB keeps JSON as LONGTEXT (with a json_valid check).
    if (base == "JSON") return "LONGTEXT";
    return base;
}

std::string mysql_type(const std::string& normal) {
    TypeParts p = split_type(normal);
    p.base = mysql_synonym(p.base);
    if (p.base == "TINYINT" && p.has_args && p.args == "1" && p.suffix.empty()) return "BOOLEAN";
    if (is_integer_type(p.base)) return p.base + p.suffix;  // a display width changes nothing stored
    if (p.base == "BOOLEAN") return p.base;
    if (p.base == "BIT" && !p.has_args) return "BIT(1)";
    if (p.base == "DECIMAL") {
        if (!p.has_args) return "DECIMAL(10,0)" + p.suffix;
        if (p.args.find(',') == std::string::npos) return "DECIMAL(" + p.args + ",0)" + p.suffix;
    }
    if (is_time_type(p.base) && p.has_args && p.args == "0") return p.base + p.suffix;
    if (!p.has_args) return p.base + p.suffix;
    return p.base + "(" + p.args + ")" + p.suffix;
}

// -- defaults ----------------------------------------------------------------------------

bool is_quoted(std::string_view text) {
    return text.size() >= 2 && text.front() == '\'' && text.back() == '\'';
}

bool is_number(std::string_view text) {
    if (!text.empty() && (text.front() == '-' || text.front() == '+')) text.remove_prefix(1);
    if (text.empty()) return false;
    bool digits = false, dot = false, exponent = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (std::isdigit(static_cast<unsigned char>(ch))) digits = true;
        else if (ch == '.' && !dot && !exponent) dot = true;
        else if ((ch == 'e' || ch == 'E') && digits && !exponent) {
            exponent = true;
            if (i + 1 < text.size() && (text[i + 1] == '-' || text[i + 1] == '+')) ++i;
        } else return false;
    }
    return digits;
}

// "1.5" at scale 2 -> "1.50"; at scale 0 -> "1.5" stays as given (the
// database would round: not ours to guess).
std::string at_scale(std::string number, long scale) {
    if (number.find_first_of("eE") != std::string::npos) return number;
    std::size_t dot = number.find('.');
    long have = dot == std::string::npos ? 0 : static_cast<long>(number.size() - dot - 1);
    if (have > scale) return number;
    if (dot == std::string::npos && scale > 0) number += '.';
    number.append(static_cast<std::size_t>(scale - have), '0');
    return number;
}

long decimal_scale(const TypeParts& p) {
    std::size_t comma = p.args.find(',');
    if (comma == std::string::npos) return 0;
    return std::strtol(p.args.c_str() + comma + 1, nullptr, 10);
}

// '2024-01-02T03:04:05.5' on DATETIME(6) -> '2024-01-02 03:04:05.500000'
std::string time_default(std::string inner, const TypeParts& p) {
    if (inner.size() > 10 && inner[10] == 'T') inner[10] = ' ';
    long digits = p.has_args ? std::strtol(p.args.c_str(), nullptr, 10) : 0;
    if (p.base == "DATE" || inner.size() < 19) return "'" + inner + "'";
    std::size_t dot = inner.find('.', 19);
    std::string fraction = dot == std::string::npos ? "" : inner.substr(dot + 1);
    std::string whole = inner.substr(0, dot == std::string::npos ? inner.size() : dot);
    if (static_cast<long>(fraction.size()) < digits) fraction.append(static_cast<std::size_t>(digits) - fraction.size(), '0');
    if (digits == 0 && fraction.find_first_not_of('0') == std::string::npos) fraction.clear();
    return "'" + whole + (fraction.empty() ? "" : "." + fraction) + "'";
}

// b'101' (how MariaDB reports a BIT default) -> "5", as the models write it.
bool bit_literal(const std::string& text, std::string& out) {
    if (text.size() < 3 || (text[0] != 'b' && text[0] != 'B') || text[1] != '\'' || text.back() != '\'') return false;
    unsigned long long value = 0;
    for (std::size_t i = 2; i + 1 < text.size(); ++i) {
        if (text[i] != '0' && text[i] != '1') return false;
        value = value * 2 + static_cast<unsigned>(text[i] - '0');
    }
    out = std::to_string(value);
    return true;
}

std::string mysql_default(const std::string& type, std::string text) {
    TypeParts p = split_type(type);
    std::string bits;
    if (p.base == "BIT" && bit_literal(text, bits)) return bits;
    bool numeric = is_integer_type(p.base) || p.base == "BOOLEAN" || p.base == "DECIMAL" || p.base == "DOUBLE" ||
                   p.base == "FLOAT";
    if (numeric) {
        std::string inner = is_quoted(text) ? text.substr(1, text.size() - 2) : text;
        if (!is_number(inner)) return text;
        return p.base == "DECIMAL" ? at_scale(inner, decimal_scale(p)) : inner;
    }
    if ((is_time_type(p.base) || p.base == "DATE") && is_quoted(text)) {
        return time_default(text.substr(1, text.size() - 2), p);
    }
    if (is_quoted(text)) {
        // MariaDB may escape a quote with a backslash; SQL doubles it.
        for (std::size_t i = text.find("\\'"); i != std::string::npos; i = text.find("\\'", i + 2)) text[i] = '\'';
    }
    return text;
}

bool is_current_timestamp(const std::string& text) {
    std::string u = upper(text);
    return u == "CURRENT_TIMESTAMP" || u == "CURRENT_TIMESTAMP()" || u == "NOW()" ||
           (u.rfind("CURRENT_TIMESTAMP(", 0) == 0 && u.back() == ')');
}

}  // namespace

std::string canonical_type(Engine engine, std::string_view type) {
    std::string normal = normalise_spelling(type);
    return engine == Engine::Mysql ? mysql_type(normal) : normal;
}

std::optional<std::string> canonical_default(Engine engine, const std::string& type,
                                             std::optional<std::string> text) {
    if (!text) return std::nullopt;
    std::string value(trim(*text));
    if (upper(value) == "NULL") return std::nullopt;
    if (is_current_timestamp(value)) return std::string("CURRENT_TIMESTAMP");
    if (engine == Engine::Mysql) return mysql_default(type, std::move(value));
    return value;
}

}  // namespace tsy::migrate

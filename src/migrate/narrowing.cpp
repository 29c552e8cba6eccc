// Whether a column type change may lose data. Types are canonical (upper
// case, no blanks: "VARCHAR(64)", "DECIMAL(10,2)", "BIGINT"); each is read
// as a family and a capacity, and a change is narrowing when the family
// changes or the capacity shrinks in any dimension. A type this file does
// not know is narrowing whenever its text changes: losing data silently is
// worse than asking for allowDestructive once too often.
#include "diff.hpp"

#include <charconv>
#include <vector>

namespace tsy::migrate {
namespace {

enum class Family { Integer, Decimal, Float, Text, Binary, Temporal, Other };

struct Shape {
    Family family = Family::Other;
    unsigned long long capacity = 0;  // bytes of an integer or float, characters or bytes of text
    long long digits = 0;             // DECIMAL: digits left of the point
    long long scale = 0;              // DECIMAL: digits right of the point; temporal: fractional seconds
    bool is_unsigned = false;
    bool is_long_text = false;        // TEXT and BLOB kinds (no length of their own)
    int temporal_rank = 0;            // DATE 1 < TIMESTAMP 2 < DATETIME 3; TIME, YEAR: their own
};

struct Parsed {
    std::string_view name;
    std::vector<long long> args;
    bool is_unsigned = false;
};

Parsed parse_type(std::string_view type) {
    Parsed p;
    if (type.ends_with("ZEROFILL")) type.remove_suffix(8);
    if (type.ends_with("UNSIGNED")) {
        type.remove_suffix(8);
        p.is_unsigned = true;
    }
    std::size_t open = type.find('(');
    p.name = type.substr(0, open);
    if (open == std::string_view::npos) return p;
    std::string_view rest = type.substr(open + 1);
    while (!rest.empty() && rest.front() != ')') {
        long long value = 0;
        auto [end, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), value);
        if (ec != std::errc()) break;
        p.args.push_back(value);
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
        if (!rest.empty() && rest.front() == ',') rest.remove_prefix(1);
    }
    return p;
}

long long arg(const Parsed& p, std::size_t i, long long otherwise) {
    return i < p.args.size() ? p.args[i] : otherwise;
}

struct Sized {
    std::string_view name;
    unsigned long long size;
};

constexpr Sized kIntegers[] = {{"TINYINT", 1}, {"BOOL", 1}, {"BOOLEAN", 1}, {"SMALLINT", 2}, {"MEDIUMINT", 3},
                               {"INT", 4}, {"INTEGER", 4}, {"BIGINT", 8}};
constexpr Sized kFloats[] = {{"FLOAT", 4}, {"REAL", 8}, {"DOUBLE", 8}, {"DOUBLEPRECISION", 8}};
constexpr Sized kLongTexts[] = {{"TINYTEXT", 255}, {"TEXT", 65535}, {"MEDIUMTEXT", 16777215},
                                {"LONGTEXT", 4294967295ULL}, {"CLOB", 4294967295ULL}};
constexpr Sized kLongBinaries[] = {{"TINYBLOB", 255}, {"BLOB", 65535}, {"MEDIUMBLOB", 16777215},
                                   {"LONGBLOB", 4294967295ULL}};
// A CHAR or VARCHAR without a length (SQLite takes them): any length.
constexpr unsigned long long kUnbounded = 4294967295ULL;

template <std::size_t N>
const Sized* lookup(const Sized (&table)[N], std::string_view name) {
    for (const Sized& s : table) if (s.name == name) return &s;
    return nullptr;
}

Shape shape_of(std::string_view type) {
    Parsed p = parse_type(type);
    Shape s;
    s.is_unsigned = p.is_unsigned;
    if (const Sized* i = lookup(kIntegers, p.name)) {
        s.family = Family::Integer;
        s.capacity = i->size;
    } else if (p.name == "DECIMAL" || p.name == "NUMERIC" || p.name == "DEC" || p.name == "FIXED") {
        s.family = Family::Decimal;
        s.scale = arg(p, 1, 0);
        s.digits = arg(p, 0, 10) - s.scale;
    } else if (const Sized* f = lookup(kFloats, p.name)) {
        s.family = Family::Float;
        s.capacity = p.name == "FLOAT" && arg(p, 0, 0) > 24 ? 8 : f->size;
    } else if (p.name == "CHAR" || p.name == "VARCHAR" || p.name == "NCHAR" || p.name == "NVARCHAR" ||
               p.name == "CHARACTER") {
        s.family = Family::Text;
        bool variable = p.name == "VARCHAR" || p.name == "NVARCHAR";
        s.capacity = p.args.empty() ? (variable ? kUnbounded : 1) : static_cast<unsigned long long>(p.args[0]);
    } else if (const Sized* t = lookup(kLongTexts, p.name)) {
        s.family = Family::Text;
        s.capacity = p.args.empty() ? t->size : static_cast<unsigned long long>(p.args[0]);
        s.is_long_text = true;
    } else if (p.name == "BINARY" || p.name == "VARBINARY") {
        s.family = Family::Binary;
        s.capacity = static_cast<unsigned long long>(arg(p, 0, 1));
    } else if (const Sized* b = lookup(kLongBinaries, p.name)) {
        s.family = Family::Binary;
        s.capacity = p.args.empty() ? b->size : static_cast<unsigned long long>(p.args[0]);
        s.is_long_text = true;
    } else if (p.name == "DATE" || p.name == "TIMESTAMP" || p.name == "DATETIME") {
        s.family = Family::Temporal;
        s.temporal_rank = p.name == "DATE" ? 1 : p.name == "TIMESTAMP" ? 2 : 3;
        s.scale = arg(p, 0, 0);
    }
    return s;
}

}  // namespace

bool narrows(std::string_view before, std::string_view after) noexcept {
    if (before == after) return false;
    Shape was = shape_of(before), now = shape_of(after);
    if (was.family != now.family || was.family == Family::Other) return true;
    if (was.is_unsigned != now.is_unsigned) {
        // An unsigned integer fits a signed one of twice its size.
        return !(was.is_unsigned && was.family == Family::Integer && now.capacity > was.capacity);
    }
    switch (was.family) {
    case Family::Integer:
    case Family::Float:
        return now.capacity < was.capacity;
    case Family::Decimal:
        return now.digits < was.digits || now.scale < was.scale;
    case Family::Text:
    case Family::Binary:
        return now.capacity < was.capacity || (was.is_long_text && !now.is_long_text);
    case Family::Temporal:
        return now.temporal_rank < was.temporal_rank || now.scale < was.scale;
    case Family::Other:
        break;
    }
    return true;
}

}  // namespace tsy::migrate

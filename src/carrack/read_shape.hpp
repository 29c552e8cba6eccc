// How the rows of count, exists, aggregate and values become their results
// (read_shape.cpp): each selected item has a key in the result dicts and a
// conversion of its driver value, decided once per call, applied per row.
#pragma once

#include "carrack.hpp"

#include <vector>

namespace tsy::exec::reads {

enum class Conversion {
    AS_IS,          // the driver's value
    TO_INT,         // COUNT, and SUM of an integer column (MariaDB sums to DECIMAL)
    KIND,           // the column's ValueKind conversion
    BY_COLUMN,      // what the column declares: a DECIMAL's scale, an enum's members, UUIDs
    BY_METHOD,      // the column's own fromDBValue (a JSON column, a Python override)
};

struct Item {
    Ref key;     // str: the column name or the alias
    Ref column;  // the column property whose conversion applies, or empty
    int kind = 0;
    Conversion how = Conversion::AS_IS;
};

enum class Shape {
    COUNT,    // the one value, an int
    EXISTS,   // whether a row came back
    ONE_ROW,  // the one row as a dict (aggregate)
    ROWS,     // every row as a dict (values)
};

struct Plan {
    Shape shape = Shape::COUNT;
    std::vector<Item> items;
};

// The item of a selected column property: its name, converted as the column
// converts what it reads.
bool column_item(PyObject* col, Item& out) noexcept;
// The item of a function call or expression selected under `key`: COUNT
// gives an int, SUM of an integer column an int, MIN and MAX of a column its
// column's value; anything else as the driver gives it.
bool computed_item(PyObject* source, PyObject* key, Item& out) noexcept;

// The result of `rows` (the driver's list of rows) under `plan`.
Ref shape_rows(const Plan& plan, PyObject* rows) noexcept;

}  // namespace tsy::exec::reads

// Arithmetic on columns: `User.visits + 1`, `1 + User.visits`, `User.a * User.b`
// give an Expression of the statement builder, which renders it in place
// wherever a generator is embedded. The builder module imports this one, so
// its Expression class is looked up at the first use, not at import.
#include "internal.hpp"

namespace tsy::model {
namespace {

// Tessary.DB.Generator.Expression, owned for the life of the process.
PyObject* expression_class() noexcept {
    static PyObject* cls = nullptr;
    if (!cls) cls = import_attr("Tessary.DB.Generator", "Expression").release();
    return cls;
}

// Either side may be the column (`1 + col` reaches the column's slot with
// the value first); the Expression judges both operands and converts a value
// beside a column with the column's toDBValue.
PyObject* arithmetic(PyObject* a, PyObject* b, const char* op) noexcept {
    PyObject* column = is_property(a) ? a : b;
    if (as_property(column)->name == Py_None) {
        return fail(PyExc_TypeError, "arithmetic on a column that belongs to no model class");
    }
    PyObject* cls = expression_class();
    if (!cls) return nullptr;
    Ref op_text = steal(PyUnicode_FromString(op));
    if (!op_text) return nullptr;
    return call(cls, a, op_text.get(), b).release();
}

PyObject* add(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, "+"); }
PyObject* subtract(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, "-"); }
PyObject* multiply(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, "*"); }
PyObject* divide(PyObject* a, PyObject* b) noexcept { return arithmetic(a, b, "/"); }

}  // namespace

PyNumberMethods property_number_methods = {
    .nb_add = add,
    .nb_subtract = subtract,
    .nb_multiply = multiply,
    .nb_true_divide = divide,
};

}  // namespace tsy::model

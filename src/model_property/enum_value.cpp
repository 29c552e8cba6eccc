// EnumProperty: a column of the members of one enum.Enum class, stored as
// their values. A class whose values are all str makes a VARCHAR as wide as
// its longest value; one whose values are all int an INT. Writing takes a
// member, or a value of one (as forms and query strings give them); anything
// else is refused naming the column and the class before any statement is
// made, so no row ever holds a value the class does not know. Reading gives
// the member back.
#include "internal.hpp"

#include <algorithm>

namespace tsy::model {

struct EnumPropertyObject {
    PropertyObject base;
    PyObject* enumClass;  // the enum.Enum subclass; NULL until __init__ ran
    PyObject* members;    // dict: each member's value -> the member
};

namespace {

PyObject* EnumBase = nullptr;  // enum.Enum, owned for the life of the process

EnumPropertyObject* as_enum(PyObject* o) noexcept { return reinterpret_cast<EnumPropertyObject*>(o); }

PyObject* value_name() noexcept {
    static PyObject* name = intern("value");
    return name;
}

// A column made by __new__ alone has no class to convert with.
Failure never_initialised(PyObject* prop) noexcept {
    Ref label = column_label(prop);
    if (!label) return {};
    return fail(PyExc_TypeError, "%U was never initialised with an enum class", label.get());
}

// "EnumProperty 'status' takes members of Status or their values: got 'x'".
Failure refuse_value(PyObject* prop, PyObject* value) noexcept {
    Ref label = column_label(prop);
    Ref enum_name = steal(PyType_GetName(reinterpret_cast<PyTypeObject*>(as_enum(prop)->enumClass)));
    if (!label || !enum_name) return {};
    return fail(PyExc_ValueError, "%U takes members of %U or their values: got %R", label.get(), enum_name.get(),
                value);
}

// What a class's members are valued with decides the column's type.
struct MemberValues {
    Ref by_value = steal(PyDict_New());
    Py_ssize_t count = 0;
    Py_ssize_t text = 0;      // values that are str
    Py_ssize_t integer = 0;   // values that are int and not bool
    Py_ssize_t longest = 0;   // characters of the longest str value
};

bool read_members(PyObject* cls, MemberValues& out) noexcept {
    if (!out.by_value) return false;
    Ref members = steal(PyObject_GetIter(cls));
    if (!members) return false;
    while (Ref member = steal(PyIter_Next(members.get()))) {
        Ref value = attr(member.get(), value_name());
        if (!value) return false;
        ++out.count;
        if (PyUnicode_Check(value.get())) {
            ++out.text;
            out.longest = std::max(out.longest, PyUnicode_GET_LENGTH(value.get()));
        } else if (PyLong_Check(value.get()) && !PyBool_Check(value.get())) {
            ++out.integer;
        } else {
            continue;  // refused below, once the class is read
        }
        if (PyDict_SetItem(out.by_value.get(), value.get(), member.get()) < 0) return false;
    }
    return !PyErr_Occurred();
}

// The class as EnumProperty's first argument: an enum.Enum subclass with
// members all valued with str or all with int.
bool check_enum_class(PyObject* cls, const MemberValues& values) noexcept {
    if (values.count == 0) {
        fail(PyExc_ValueError, "EnumProperty: %R has no members", cls);
        return false;
    }
    if (values.text != values.count && values.integer != values.count) {
        fail(PyExc_TypeError, "EnumProperty: the members of %R must all have str values or all int values", cls);
        return false;
    }
    return true;
}

int is_enum_class(PyObject* cls) noexcept {
    if (!PyType_Check(cls)) return 0;
    return PyObject_IsSubclass(cls, EnumBase);
}

PyObject* enum_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    Ref self = steal(BasePropertyType.tp_new(type, args, kwargs));
    if (!self) return nullptr;
    Ref sql_type = steal(PyUnicode_FromString("VARCHAR"));
    if (!sql_type) return nullptr;
    set_field(as_property(self.get())->targetType, sql_type.get());
    as_property(self.get())->kind = KIND_ENUM;
    return self.release();
}

// EnumProperty(enumClass, *typeArgs, **keywords): the keywords are
// BaseProperty's; typeArgs replace the width a str-valued class gets.
int enum_init(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) < 1) {
        return fail(PyExc_TypeError, "EnumProperty() takes the enum class as its first argument");
    }
    PyObject* cls = PyTuple_GET_ITEM(args, 0);
    int is_enum = is_enum_class(cls);
    if (is_enum < 0) return -1;
    if (!is_enum) {
        return fail(PyExc_TypeError, "EnumProperty(): the first argument must be an enum.Enum subclass, not %R", cls);
    }
    MemberValues values;
    if (!read_members(cls, values) || !check_enum_class(cls, values)) return -1;
    Ref type_args = steal(PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args)));
    if (!type_args || BasePropertyType.tp_init(self, type_args.get(), kwargs) < 0) return -1;
    bool text = values.text == values.count;
    if (text && PyTuple_GET_SIZE(type_args.get()) == 0) {
        // VARCHAR(0) holds only '': a class whose one value is '' still gets a width.
        Ref width = steal(Py_BuildValue("(n)", std::max<Py_ssize_t>(values.longest, 1)));
        if (!width) return -1;
        set_field(as_property(self)->typeArgs, width.get());
    }
    Ref sql_type = steal(PyUnicode_FromString(text ? "VARCHAR" : "INT"));
    if (!sql_type) return -1;
    set_field(as_property(self)->targetType, sql_type.get());
    set_field(as_enum(self)->enumClass, cls);
    set_field(as_enum(self)->members, values.by_value.get());
    return 0;
}

int enum_traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(as_enum(self)->enumClass);
    Py_VISIT(as_enum(self)->members);
    return BasePropertyType.tp_traverse(self, visit, arg);
}

int enum_clear(PyObject* self) noexcept {
    Py_CLEAR(as_enum(self)->enumClass);
    Py_CLEAR(as_enum(self)->members);
    return BasePropertyType.tp_clear(self);
}

void enum_dealloc(PyObject* self) noexcept {
    PyObject_GC_UnTrack(self);
    enum_clear(self);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_enum(PyObject* self, void*) noexcept {
    PyObject* cls = as_enum(self)->enumClass;
    if (!cls) return fail(PyExc_AttributeError, "this EnumProperty was never initialised with an enum class");
    return Py_NewRef(cls);
}

PyGetSetDef enum_getset[] = {
    {"enum", get_enum, nullptr, "The enum.Enum class whose members the column holds.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// EnumProperty.__signature__: BaseProperty's, after the enum class
// (positional only). Built on each read from a class (inspect is imported by
// then); an instance has none, as for the other columns.
PyObject* signature_get(PyObject*, PyObject* obj, PyObject*) noexcept {
    if (obj && obj != Py_None) return fail(PyExc_AttributeError, "a column property has no __signature__");
    Ref base = attr(reinterpret_cast<PyObject*>(&BasePropertyType), "__signature__");
    Ref parameter = import_attr("inspect", "Parameter");
    if (!base || !parameter) return nullptr;
    Ref positional = attr(parameter.get(), "POSITIONAL_ONLY");
    Ref base_parameters = attr(base.get(), "parameters");
    Ref name = steal(PyUnicode_FromString("enumClass"));
    if (!positional || !base_parameters || !name) return nullptr;
    Ref first = call(parameter.get(), name.get(), positional.get());
    Ref rest = steal(PyMapping_Values(base_parameters.get()));
    if (!first || !rest || PyList_Insert(rest.get(), 0, first.get()) < 0) return nullptr;
    Ref replace = attr(base.get(), "replace");
    Ref no_args = steal(PyTuple_New(0));
    Ref kwargs = steal(Py_BuildValue("{sO}", "parameters", rest.get()));
    if (!replace || !no_args || !kwargs) return nullptr;
    return PyObject_Call(replace.get(), no_args.get(), kwargs.get());
}

PyTypeObject SignatureSlotType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty._EnumSignatureSlot",
    .tp_basicsize = sizeof(PyObject),
    .tp_flags = Py_TPFLAGS_DEFAULT,
    .tp_doc = "EnumProperty.__signature__, built on each read.",
    .tp_descr_get = signature_get,
};

}  // namespace

PyTypeObject EnumPropertyType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "Tessary.Model.ModelProperty.EnumProperty",
    .tp_basicsize = sizeof(EnumPropertyObject),
    .tp_dealloc = enum_dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = "EnumProperty(enumClass, /, *typeArgs, isPrimaryKey=False, nullable=False, default=NullDefault, "
              "extra='')\n"
              "A column of the members of an enum.Enum class, stored as their values: VARCHAR as wide as the "
              "longest value when the values are str, INT when they are int. Takes members or their values; "
              "reads back members.",
    .tp_traverse = enum_traverse,
    .tp_clear = enum_clear,
    .tp_getset = enum_getset,
    .tp_init = enum_init,
    .tp_new = enum_new,
};

namespace {

bool is_enum_property(PyObject* prop) noexcept { return PyObject_TypeCheck(prop, &EnumPropertyType); }

// The member whose value is `value`, borrowed; NULL (no error) when none is.
PyObject* member_of(PyObject* members, PyObject* value) noexcept {
    PyObject* member = PyDict_GetItemWithError(members, value);
    if (!member && PyErr_Occurred()) PyErr_Clear();  // an unhashable value is no value of the class
    return member;
}

}  // namespace

void copy_column_state(PyObject* from, PyObject* to) noexcept {
    if (!is_enum_property(from) || !is_enum_property(to)) return;
    set_field(as_enum(to)->enumClass, as_enum(from)->enumClass);
    set_field(as_enum(to)->members, as_enum(from)->members);
}

// A member of the class gives its value; a value of one is taken as it is
// when it is a plain str or int (a bool, a float or another class's member
// is not one of this class's values, even when equal to one).
PyObject* enum_to_db(PyObject* prop, PyObject* value) noexcept {
    if (value == Py_None) return Py_NewRef(Py_None);
    EnumPropertyObject* e = as_enum(prop);
    if (!is_enum_property(prop) || !e->enumClass || !e->members) return never_initialised(prop);
    int member = PyObject_IsInstance(value, e->enumClass);
    if (member < 0) return nullptr;
    if (member) return PyObject_GetAttr(value, value_name());
    if ((PyUnicode_CheckExact(value) || PyLong_CheckExact(value)) && member_of(e->members, value)) {
        return Py_NewRef(value);
    }
    int fragment = is_sql_fragment(value);
    if (fragment < 0) return nullptr;
    if (fragment) return Py_NewRef(value);
    return refuse_value(prop, value);
}

// Bytes from a driver are the text of a str value. A value the table of
// values does not hold goes to the class itself, whose _missing_ may know it
// (a combination of Flag members); one it refuses too is an error naming the
// column and the class, worded for both uses: a row read back, and a value
// given to the model's constructor.
PyObject* enum_from_db(PyObject* prop, PyObject* value) noexcept {
    if (value == Py_None) return Py_NewRef(Py_None);
    EnumPropertyObject* e = as_enum(prop);
    if (!is_enum_property(prop) || !e->enumClass || !e->members) return never_initialised(prop);
    int member = PyObject_IsInstance(value, e->enumClass);
    if (member < 0) return nullptr;
    if (member) return Py_NewRef(value);
    Ref key = PyBytes_Check(value) ? steal(PyUnicode_FromEncodedObject(value, "utf-8", "strict")) : borrow(value);
    if (!key) return nullptr;
    if (PyObject* found = member_of(e->members, key.get())) return Py_NewRef(found);
    Ref made = call(e->enumClass, key.get());
    if (made || !PyErr_ExceptionMatches(PyExc_ValueError)) return made.release();
    PyErr_Clear();
    return refuse_value(prop, value);
}

int ready_enum_property(PyObject* module) noexcept {
    EnumBase = import_attr("enum", "Enum").release();
    if (!EnumBase) return -1;
    EnumPropertyType.tp_base = &BasePropertyType;
    if (add_type(module, &EnumPropertyType, "EnumProperty") < 0 || PyType_Ready(&SignatureSlotType) < 0) return -1;
    Ref slot = steal(PyType_GenericAlloc(&SignatureSlotType, 0));
    if (!slot || PyDict_SetItemString(EnumPropertyType.tp_dict, "__signature__", slot.get()) < 0) return -1;
    PyType_Modified(&EnumPropertyType);
    return 0;
}

}  // namespace tsy::model

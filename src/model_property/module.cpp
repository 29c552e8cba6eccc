// Tessary.Model.ModelProperty: column and relation properties, filter cells,
// the default markers, the ForeignType and Relationship enumerations, and
// the capsule the other modules bind to.
#include "internal.hpp"

#include <initializer_list>

namespace tsy::model {

PyObject* ForeignTypeEnum = nullptr;
PyObject* RelationshipEnum = nullptr;
Names names = {};

int ready_names() noexcept {
    names.isoformat = intern("isoformat");
    names.blank = intern(" ");
    names.toDBValue = intern("toDBValue");
    names.col = intern("col");
    names.name = intern("name");
    names.value = intern("value");
    return names.isoformat && names.blank && names.toDBValue && names.col && names.name && names.value ? 0 : -1;
}

namespace {

PropertyApi api = {
    {PROPERTY_API_VERSION, sizeof(PropertyApi)},
    &BasePropertyType,
    &FilterCellType,
    &ForeignKeyType,
    &NullDefaultType,
    &AutoIncrementType,
    add_cell,
    new_cell,
    property_to_db_value,
    from_db_value,
    clone_property,
    clone_foreign_key,
    insert_cell_of,
    settle_chain,
    column_from_db_value,
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.Model.ModelProperty",
    .m_doc = "Column and relation properties of model classes, and the filter cells their comparisons make.",
    .m_size = -1,
};

// IntEnum's functional form numbers space-separated members from 1; the
// codes start at 0, so the members are given as a mapping instead.
PyObject* make_enum(PyObject* module, const char* name, std::initializer_list<const char*> members) noexcept {
    Ref int_enum = import_attr("enum", "IntEnum");
    Ref mapping = steal(PyDict_New());
    if (!int_enum || !mapping) return nullptr;
    long code = 0;
    for (const char* member : members) {
        Ref value = steal(PyLong_FromLong(code++));
        if (!value || PyDict_SetItemString(mapping.get(), member, value.get()) < 0) return nullptr;
    }
    Ref args = steal(Py_BuildValue("(sO)", name, mapping.get()));
    Ref kwargs = steal(Py_BuildValue("{ss}", "module", "Tessary.Model.ModelProperty"));
    if (!args || !kwargs) return nullptr;
    Ref made = steal(PyObject_Call(int_enum.get(), args.get(), kwargs.get()));
    if (!made || PyModule_AddObjectRef(module, name, made.get()) < 0) return nullptr;
    return made.release();
}

int ready_enums(PyObject* module) noexcept {
    ForeignTypeEnum = make_enum(module, "ForeignType", {"ONE_TO_ONE", "ONE_TO_MANY", "MANY_TO_MANY"});
    if (!ForeignTypeEnum) return -1;
    RelationshipEnum = make_enum(module, "Relationship",
                                 {"AND", "OR", "EQUAL", "GREATER", "GREATER_EQUAL", "LESS", "LESS_EQUAL",
                                  "NOT_EQUAL", "NOT_RELATED", "LIKE"});
    return RelationshipEnum ? 0 : -1;
}

}  // namespace
}  // namespace tsy::model

TSY_EXPORT PyObject* PyInit_ModelProperty() {
    using namespace tsy::model;
    tsy::Ref module = tsy::steal(PyModule_Create(&module_def));
    if (!module) return nullptr;
    if (ready_names() < 0 || ready_conversions() < 0 || ready_json() < 0 || ready_markers(module.get()) < 0 ||
        ready_enums(module.get()) < 0 || ready_properties(module.get()) < 0 || ready_filter_cell(module.get()) < 0 ||
        ready_foreign_key(module.get()) < 0 || ready_index(module.get()) < 0) {
        return nullptr;
    }
    // The column classes with conversions of their own, after BaseProperty.
    if (ready_enum_property(module.get()) < 0 || ready_uuid_property(module.get()) < 0) return nullptr;
    if (tsy::export_api(module.get(), &api, PROPERTY_CAPSULE) < 0) return nullptr;
    return module.release();
}

// Tessary.DB.Generator: module state, the module tables and enumerations,
// and the capsule the executors and the pagination controller bind to.
#include "internal.hpp"

namespace tsy::gen {
namespace {

// ---------------------------------------------------------------------------
// Capsule functions: the boundary for other modules (no C++ exception leaves).
// ---------------------------------------------------------------------------

PyObject* api_build(PyObject* gen) { return virtual_build(gen).release(); }

PyObject* api_new_for(PyObject* model) {
    Ref self = new_builder();
    if (!self || !set_from(self.get(), model)) return nullptr;
    return self.release();
}

PyObject* api_build_where(PyObject* cell) { return build_where_pair(cell).release(); }
PyObject* api_build_join(PyObject* self) { return build_join_text(self).release(); }
PyObject* api_select(PyObject* self, PyObject* cols) { return do_select(self, cols).release(); }
PyObject* api_where(PyObject* self, PyObject* cell) { return do_where(self, cell).release(); }
PyObject* api_limit(PyObject* self, int count, int offset) { return do_limit(self, count, offset).release(); }
PyObject* api_order_by(PyObject* self, PyObject* items) { return do_order(self, items).release(); }

PyObject* api_from(PyObject* self, PyObject* target) {
    if (Py_IS_TYPE(self, &SqlGeneratorType) || !find_override(self, names.From, own.From)) {
        return set_from(self, target) ? Py_NewRef(self) : nullptr;
    }
    Ref result = call_method(self, names.From, target);
    if (result && !check_builder_result(result.get())) return nullptr;
    return result.release();
}

PyObject* api_insert(PyObject* self, PyObject* model) { return do_insert(self, model).release(); }
PyObject* api_update(PyObject* self, PyObject* target) { return call_update(self, target).release(); }
PyObject* api_delete(PyObject* self, PyObject* target) { return do_delete(self, target).release(); }

PyObject* api_values(PyObject* self, PyObject* entries) {
    if (!PyTuple_Check(entries)) return expected_kind("tuple", entries);
    Ref list = steal(PySequence_List(entries));
    return list ? do_values(self, list.get()).release() : nullptr;
}

PyObject* api_set(PyObject* self, PyObject* entries) {
    if (!PyTuple_Check(entries)) return expected_kind("tuple", entries);
    Ref list = steal(PySequence_List(entries));
    return list ? do_set(self, list.get()).release() : nullptr;
}

PyObject* api_join(PyObject* self, PyObject* fk, int type) { return call_join(self, fk, type).release(); }
PyObject* api_new_in(PyObject* others, PyObject* prop) { return new_in(others, prop).release(); }

PyObject* api_q(PyObject* query) {
    if (!check_arg(query, bound.prop->FilterListCell, "query")) return nullptr;
    return new_group_cell(query).release();
}

GeneratorApi api = {
    {GENERATOR_API_VERSION, sizeof(GeneratorApi)},
    &BaseSqlGeneratorType,
    &SqlGeneratorType,
    &QueryGroupType,
    &InOperatorGeneratorType,
    &CustomSqlGeneratorType,
    &FunctionCallType,
    &CustomColAnnounceType,
    &TableGeneratorType,
    &JoinCellType,
    entry<api_build>,
    entry<api_new_for>,
    entry<api_build_where>,
    entry<api_build_join>,
    entry<api_select>,
    entry<api_where>,
    entry<api_limit>,
    entry<api_order_by>,
    entry<api_from>,
    entry<api_insert>,
    entry<api_values>,
    entry<api_update>,
    entry<api_set>,
    entry<api_delete>,
    entry<api_join>,
    entry<api_new_in>,
    entry<api_q>,
};

// ---------------------------------------------------------------------------
// Module state
// ---------------------------------------------------------------------------

int bind_errors(PyObject* module) noexcept {
    Ref errors = steal(PyImport_ImportModule("Tessary.Error.SqlError"));
    if (!errors) return -1;
    // `from Tessary.Error.SqlError import *`: its public names become ours.
    Ref public_names = attr(errors.get(), "__all__");
    if (!public_names) return -1;
    Ref iter = steal(PyObject_GetIter(public_names.get()));
    if (!iter) return -1;
    while (Ref name = steal(PyIter_Next(iter.get()))) {
        Ref value = steal(PyObject_GetAttr(errors.get(), name.get()));
        if (!value || PyObject_SetAttr(module, name.get(), value.get()) < 0) return -1;
    }
    if (PyErr_Occurred()) return -1;
    struct Wanted {
        PyObject** slot;
        const char* name;
    };
    const Wanted wanted[] = {
        {&bound.SqlInStanceError, "SqlInStanceError"},
        {&bound.SetSQLError, "SetSQLError"},
        {&bound.WhereSQLError, "WhereSQLError"},
        {&bound.SqlMissingRelationshipError, "SqlMissingRelationshipError"},
    };
    for (const Wanted& w : wanted) {
        *w.slot = PyObject_GetAttrString(errors.get(), w.name);  // kept for the process
        if (!*w.slot) return -1;
    }
    return 0;
}

// Checks written as assertions run only when the interpreter runs them.
int read_assertion_mode() noexcept {
    PyObject* flags = PySys_GetObject("flags");  // borrowed
    if (!flags) return fail(PyExc_RuntimeError, "sys.flags is missing");
    Ref optimize = attr(flags, "optimize");
    if (!optimize) return -1;
    long level = PyLong_AsLong(optimize.get());
    if (level == -1 && PyErr_Occurred()) return -1;
    bound.assertions = level == 0;
    return 0;
}

int add_int_enum(PyObject* module, const char* name, std::initializer_list<std::pair<const char*, int>> members) {
    Ref int_enum = import_attr("enum", "IntEnum");
    if (!int_enum) return -1;
    Ref items = steal(PyList_New(0));
    if (!items) return -1;
    for (const auto& [member, value] : members) {
        Ref item = steal(Py_BuildValue("(si)", member, value));
        if (!item || PyList_Append(items.get(), item.get()) < 0) return -1;
    }
    Ref args = steal(Py_BuildValue("(sO)", name, items.get()));
    Ref kwargs = steal(Py_BuildValue("{ss}", "module", "Tessary.DB.Generator"));
    if (!args || !kwargs) return -1;
    Ref cls = steal(PyObject_Call(int_enum.get(), args.get(), kwargs.get()));
    if (!cls) return -1;
    return PyModule_AddObjectRef(module, name, cls.get());
}

int add_table(PyObject* module, const char* name, Ref map) {
    if (!map) return -1;
    // Read-only view: the renderers use their own constant texts, so a changed
    // table would only mislead.
    Ref view = steal(PyDictProxy_New(map.get()));
    if (!view) return -1;
    return PyModule_AddObjectRef(module, name, view.get());
}

int add_types(PyObject* module) noexcept {
    struct Named {
        PyTypeObject* type;
        const char* name;
    };
    const Named types[] = {
        {&BaseSqlGeneratorType, "BaseSqlGenerator"},
        {&SqlGeneratorType, "SqlGenerator"},
        {&JoinCellType, "JoinCell"},
        {&QueryGroupType, "QueryGroup"},
        {&InOperatorGeneratorType, "InOperatorGenerator"},
        {&CustomSqlGeneratorType, "CustomSqlGenerator"},
        {&FunctionCallType, "FunctionCall"},
        {&CustomColAnnounceType, "CustomColAnnounce"},
        {&TableGeneratorType, "TableGenerator"},
        {&ColumnAliasType, "ColumnAlias"},
        {&ColumnComparisonType, "ColumnComparison"},
        {&OrderTermType, "OrderTerm"},
        {&ExpressionType, "Expression"},
    };
    for (const Named& t : types) {
        if (PyModule_AddObjectRef(module, t.name, reinterpret_cast<PyObject*>(t.type)) < 0) return -1;
    }
    return 0;
}

int ready_types() noexcept {
    if (ready_base() < 0 || ready_sql_generator() < 0 || ready_where_types() < 0) return -1;
    if (ready_fragments() < 0 || ready_table() < 0 || ready_join_cell() < 0) return -1;
    if (ready_alias() < 0 || ready_conditions() < 0 || ready_order() < 0) return -1;
    if (ready_expression() < 0) return -1;
    return 0;
}

int fill_module(PyObject* module) {
    if (init_names() < 0) return -1;
    bound.prop = model::import_property_api();
    if (!bound.prop) return -1;
    if (bind_errors(module) < 0 || read_assertion_mode() < 0) return -1;
    if (ready_types() < 0 || add_types(module) < 0) return -1;
    if (add_int_enum(module, "sqlType",
                     {{"SELECT", SELECT}, {"INSERT", INSERT}, {"DELETE", DELETE}, {"UPDATE", UPDATE}, {"UNSET", UNSET}}) < 0)
        return -1;
    if (add_int_enum(module, "JoinType", {{"JOIN", JOIN}, {"LEFT", LEFT}, {"RIGHT", RIGHT}, {"INNER", INNER}}) < 0)
        return -1;
    if (add_table(module, "relationshipMap", make_relationship_map()) < 0) return -1;
    if (add_table(module, "joinTypeMap", make_join_type_map()) < 0) return -1;
    if (PyModule_AddFunctions(module, where_functions) < 0) return -1;
    if (PyModule_AddFunctions(module, condition_functions) < 0) return -1;
    if (PyModule_AddFunctions(module, table_functions) < 0) return -1;
    return export_api(module, &api, GENERATOR_CAPSULE);
}

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "Tessary.DB.Generator",
    .m_doc = "SQL generation: the statement builder and the SQL fragment generators.",
    .m_size = -1,
    .m_free = [](void*) { clear_shared_texts(); },
};

}  // namespace

int init_names() noexcept {
    const NameSlot all[] = {
        {&names.Build, "Build"},
        {&names.From, "From"},
        {&names.update, "update"},
        {&names.join, "join"},
        {&names.tableName, "tableName"},
        {&names.owner, "owner"},
        {&names.name, "name"},
        {&names.dbName, "dbName"},
        {&names.target, "target"},
        {&names.directTarget, "directTarget"},
        {&names.bindCol, "bindCol"},
        {&names.targetBindCol, "targetBindCol"},
        {&names.getOtherFkBy, "getOtherFkBy"},
        {&names.getInstance, "getInstance"},
        {&names._connector, "_connector"},
        {&names.connector, "connector"},
        {&names.con_type, "con_type"},
        {&names.autoFiledAnnounce, "autoFiledAnnounce"},
        {&names.object, "object"},
        {&names.pkName, "pkName"},
        {&names.col, "col"},
        {&names.pkCol, "pkCol"},
        {&names.value, "value"},
        {&names.targetType, "targetType"},
        {&names.hasDefault, "hasDefault"},
        {&names.toDBValue, "toDBValue"},
        {&names.DataModel, "DataModel"},
        {&names.ModelInstance, "ModelInstance"},
        {&names.DB, "DB"},
        {&names.mod_DataModel, "Tessary.Model.DataModel"},
        {&names.mod_DB, "Tessary.DB.DB"},
        {&names.empty, ""},
        {&names.blank, " "},
        {&names.func_name, "func_name"},
    };
    return intern_all(all);
}

}  // namespace tsy::gen

namespace {
PyObject* init_generator() {
    tsy::Ref module = tsy::steal(PyModule_Create(&tsy::gen::module_def));
    if (!module || tsy::gen::fill_module(module.get()) < 0) return nullptr;
    return module.release();
}
}  // namespace

TSY_EXPORT PyObject* PyInit_Generator() { return tsy::entry<init_generator>(); }

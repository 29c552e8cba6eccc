// Small operations on the builder, the model layer and the executor's
// attribute dictionary, shared by the executor files.
#include "carrack.hpp"

namespace tsy::exec {

Bound bound;

namespace {

Ref name_tuple(std::initializer_list<const char*> items) noexcept {
    Ref tuple = steal(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    if (!tuple) return {};
    Py_ssize_t i = 0;
    for (const char* item : items) {
        PyObject* s = intern(item);
        if (!s) return {};
        PyTuple_SET_ITEM(tuple.get(), i++, Py_NewRef(s));
    }
    return tuple;
}

Names& mutable_names() noexcept {
    static Names n;
    return n;
}

int intern_names(Names& n) noexcept {
    const NameSlot all[] = {
        {&n.reset, "reset"},
        {&n.execute, "execute"},
        {&n.findAllBy, "findAllBy"},
        {&n.find, "find"},
        {&n.By, "By"},
        {&n.findForeignKey, "findForeignKey"},
        {&n.save, "save"},
        {&n.update, "update"},
        {&n.delete_, "delete"},
        {&n._saveOTO, "_saveOTO"},
        {&n._saveOTM, "_saveOTM"},
        {&n._saveMTM, "_saveMTM"},
        {&n.instance, "instance"},
        {&n.col, "col"},
        {&n.fk, "fk"},
        {&n.pkName, "pkName"},
        {&n.pkCol, "pkCol"},
        {&n.tableName, "tableName"},
        {&n.name, "name"},
        {&n.get, "get"},
        {&n.select, "select"},
        {&n.where, "where"},
        {&n.Limit, "Limit"},
        {&n.insert, "insert"},
        {&n.values, "values"},
        {&n.set, "set"},
        {&n.join, "join"},
        {&n.insertCell, "insertCell"},
        {&n.updateCell, "updateCell"},
        {&n.getExecutor, "getExecutor"},
        {&n.getOtherFkBy, "getOtherFkBy"},
        {&n.object, "object"},
        {&n.Type, "Type"},
        {&n.target, "target"},
        {&n.bindCol, "bindCol"},
        {&n.targetBindCol, "targetBindCol"},
        {&n.directTarget, "directTarget"},
        {&n.middleModel, "middleModel"},
        {&n.owner, "owner"},
        {&n.info, "info"},
        {&n.getLogger, "getLogger"},
        {&n.Tessary, "Tessary"},
        {&n.append, "append"},
        {&n.ONE_TO_ONE, "ONE_TO_ONE"},
        {&n.ONE_TO_MANY, "ONE_TO_MANY"},
        {&n.MANY_TO_MANY, "MANY_TO_MANY"},
        {&n.ForeignType, "ForeignType"},
        {&n.mod_ModelProperty, "Tessary.Model.ModelProperty"},
        {&n._id, "_id"},
        {&n.con, "con"},
        {&n.sql, "sql"},
        {&n.value, "value"},
        {&n.con_type, "con_type"},
        {&n.DB, "DB"},
        {&n.mod_DB, "Tessary.DB.DB"},
        {&n.cache_hit_head, "当前外键"},
        {&n.cache_hit_tail, "已经查询过"},
    };
    constexpr std::size_t kKeywordTuples = 4;
    static_assert(sizeof(all) / sizeof(all[0]) + kKeywordTuples == sizeof(Names) / sizeof(PyObject*),
                  "every name has its text");
    return intern_all(all);
}

bool is_builder(PyObject* obj) noexcept { return PyObject_TypeCheck(obj, bound.generator->SqlGenerator); }

}  // namespace

const Names& names() noexcept { return mutable_names(); }

int init_names() noexcept {
    Names& n = mutable_names();
    if (intern_names(n) < 0) return -1;
    n.kw_executor = name_tuple({"executor"}).release();
    n.kw_executor_con = name_tuple({"executor", "con"}).release();
    n.kw_foreign_deep = name_tuple({"deep", "path", "clevel", "level"}).release();
    n.kw_foreign_before = name_tuple({"deep", "path", "clevel", "level", "before"}).release();
    bool ok = n.kw_executor && n.kw_executor_con && n.kw_foreign_deep && n.kw_foreign_before;
    return ok ? 0 : -1;
}

Ref call_method_kw(PyObject* obj, PyObject* name, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    Ref method = attr(obj, name);
    if (!method) return {};
    return steal(PyObject_Vectorcall(method.get(), args, static_cast<size_t>(nargs), kwnames));
}

Ref builder_select(PyObject* builder, PyObject* cols) noexcept {
    if (is_builder(builder)) return steal(bound.generator->select(builder, cols));
    Ref method = attr(builder, names().select);
    if (!method) return {};
    return steal(PyObject_Call(method.get(), cols, nullptr));
}

Ref builder_where(PyObject* builder, PyObject* cell) noexcept {
    if (is_builder(builder)) return steal(bound.generator->where(builder, cell));
    return call_method(builder, names().where, cell);
}

Ref builder_limit(PyObject* builder, int count, int offset) noexcept {
    if (is_builder(builder)) return steal(bound.generator->Limit(builder, count, offset));
    Ref c = steal(PyLong_FromLong(count));
    Ref o = steal(PyLong_FromLong(offset));
    if (!c || !o) return {};
    return call_method(builder, names().Limit, c.get(), o.get());
}

Ref new_cell(PyObject* value, PyObject* col) noexcept { return steal(bound.property->newCell(value, col)); }

Ref equals(PyObject* prop, PyObject* value) noexcept { return steal(PyObject_RichCompare(prop, value, Py_EQ)); }

Ref model_columns(PyObject* model) noexcept {
    Ref cols = attr(model, names().col);
    if (!cols) return {};
    return steal(PySequence_Tuple(cols.get()));
}

Ref column_name(PyObject* col) noexcept {
    if (!check_convert(col, bound.property->BaseProperty, false)) return {};
    PyObject* name = reinterpret_cast<model::PropertyObject*>(col)->name;
    return borrow(name ? name : Py_None);
}

Ref work_of(PyObject* self) noexcept {
    PyObject* work = as_executor(self)->work;
    return borrow(work ? work : Py_None);
}

Ref statement_connector(PyObject* model, PyObject* con) noexcept {
    return steal(bound.db->statementConnector(model, con));
}

PyObject* attributes(PyObject* self) noexcept {
    ExecutorObject* ex = as_executor(self);
    if (!ex->dict) ex->dict = PyDict_New();
    return ex->dict;
}

int remember_instance(PyObject* self, PyObject* instance) noexcept {
    PyObject* dict = attributes(self);
    if (!dict) return -1;
    return PyDict_SetItem(dict, names().instance, instance);
}

bool native_model_call(PyObject* model) noexcept { return Py_TYPE(model)->tp_call == bound.model->ModelMeta->tp_call; }

Ref make_instance(PyObject* model, PyObject* row) noexcept {
    const model::ModelApi* api = bound.model;
    if (!native_model_call(model)) return call(model, row);
    if (PyDict_Check(row)) return steal(api->fromMapping(model, row));
    return steal(api->fromRow(model, row));
}

Ref foreign_type(PyObject* member) noexcept {
    Ref type = module_attr(names().mod_ModelProperty, names().ForeignType);
    if (!type) return {};
    return attr(type.get(), member);
}

int is_kind(PyObject* kind, PyObject* member_value) noexcept {
    Ref equal = steal(PyObject_RichCompare(kind, member_value, Py_EQ));
    if (!equal) return -1;
    return truth(equal.get());
}

}  // namespace tsy::exec

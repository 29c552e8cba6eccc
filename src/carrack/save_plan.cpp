// The cached plan of ModelExecutor.save: for a model class and the set of
// columns an instance holds, the INSERT text the builder renders and which
// column converts each argument, kept so that a save of a new instance only
// reads its values, converts them, runs the text and stores the key.
//
// The plan stands for the general path, so it is used only where that path
// could not do anything else: an exact ModelExecutor (or AsyncModelExecutor)
// whose hooks no instance attribute hides, a builder of the package's own,
// the package's own handle and connector classes (the coroutine connectors
// for the coroutine executor), columns whose INSERT entry is BaseProperty's
// own, and a model class whose metaclass is ModelMeta itself. The class's version
// tag says whether it is unchanged since the plan was made: setting any
// attribute of the class or of a base (`col`, a column, `tableName`, `fk`)
// gives it a new tag, and tags are never handed out twice, so a class made
// later at the same address does not match either.
//
// What a planned save leaves differs from the general path's in one thing:
// the executor keeps the builder it had (the general path's reset would make
// a new one for the INSERT), marked executed, so the next operation's reset
// replaces it just the same.
//
// The coroutine executor takes the same plan in two halves around its
// awaited statement (prepare_planned_save, finish_planned_save); the
// synchronous save runs both halves with the statement between them.
#include "async.hpp"

#include <bit>
#include <cstdint>

namespace tsy::exec {
namespace {

constexpr Py_ssize_t kMaxColumns = 64;  // the column set is a bit mask
constexpr std::size_t kModels = 64;     // direct-mapped by class address: a collision costs a new plan
constexpr std::size_t kShapes = 4;      // column sets kept per class

// One statement of a model: its column set and the connector's quoting.
struct Shape {
    std::uint64_t columns = 0;  // bit i: column i is in the statement; 0: unused
    int con_type = 0;
    PyObject* text = nullptr;   // owned: the finished statement text
};

struct ModelPlan {
    PyObject* model = nullptr;  // identity only, meaningful with `tag`
    unsigned int tag = 0;       // the class's version tag when described; 0: nothing here
    // Borrowed from the class: alive and the same while the tag holds. A
    // save holds its own references before any Python code can run.
    PyObject* cols = nullptr;   // exact tuple of column properties
    PyObject* fks = nullptr;    // the relation properties
    PyObject* pk_name = nullptr;  // where the generated key goes (exact str, or None: nowhere)
    bool fks_native = false;    // exact tuple of exact ForeignKey: names read from the objects
    std::uint64_t general = 0;  // columns whose INSERT entry is not BaseProperty's own
    Shape shapes[kShapes];
    std::size_t next = 0;       // the shape replaced when all are taken
};

// Only touched with the GIL held; what a call that can run Python code may
// have changed (the builder rendering a new text) is checked again after it.
ModelPlan plans[kModels];

ModelPlan& plan_slot(PyObject* model) noexcept {
    auto address = reinterpret_cast<std::uintptr_t>(model);
    return plans[(address >> 4) % kModels];
}

void forget_shapes(ModelPlan& plan) noexcept {
    for (Shape& shape : plan.shapes) {
        shape.columns = 0;
        Py_CLEAR(shape.text);
    }
    plan.next = 0;
}

bool current(const ModelPlan& plan, PyObject* model) noexcept {
    return plan.model == model && plan.tag != 0 && plan.tag == reinterpret_cast<PyTypeObject*>(model)->tp_version_tag;
}

// A column whose INSERT entry the plan may make: an immutable class of the
// package (no Python override, no instance dictionary to hide a method)
// that keeps BaseProperty's own insertCell, which converts by toDBValue.
bool native_column(PyObject* col) noexcept {
    PyTypeObject* type = Py_TYPE(col);
    if (type->tp_flags & Py_TPFLAGS_HEAPTYPE || type->tp_dictoffset != 0) return false;
    return _PyType_Lookup(type, names().insertCell) == bound.native_insert_cell;
}

bool native_relations(PyObject* fks) noexcept {
    if (!PyTuple_CheckExact(fks)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks); ++i) {
        if (!Py_IS_TYPE(PyTuple_GET_ITEM(fks, i), bound.property->ForeignKey)) return false;
    }
    return true;
}

// Reads what the plan depends on from the class itself. No Python code runs:
// the entries are looked up in the class dicts without descriptors, and a
// `col` or `fk` that is not a plain value of the class leaves the model to
// the general path. False when the model cannot have a plan.
bool describe(ModelPlan& plan, PyObject* model) noexcept {
    auto* type = reinterpret_cast<PyTypeObject*>(model);
    forget_shapes(plan);
    plan.model = nullptr;
    plan.tag = 0;
    plan.cols = nullptr;
    if (!PyUnstable_Type_AssignVersionTag(type)) return false;  // a class changed too often has none
    // From here on a class without a plan is remembered as such (no `cols`)
    // until it changes.
    plan.model = model;
    plan.tag = type->tp_version_tag;
    // A junction model's INSERT leaves its instance as it is: the general path serves it.
    if (PyType_IsSubtype(type, bound.model->MiddleDataModel)) return false;
    PyObject* cols = _PyType_Lookup(type, names().col);
    PyObject* fks = _PyType_Lookup(type, names().fk);
    PyObject* pk_name = _PyType_Lookup(type, names().pkName);
    if (!cols || !fks || !PyTuple_CheckExact(cols) || PyTuple_GET_SIZE(cols) > kMaxColumns) return false;
    if (!pk_name || !(PyUnicode_CheckExact(pk_name) || pk_name == Py_None)) return false;
    std::uint64_t general = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        PyObject* col = PyTuple_GET_ITEM(cols, i);
        // Anything but a column makes the general path report it.
        if (!PyObject_TypeCheck(col, bound.property->BaseProperty)) return false;
        if (!native_column(col)) general |= std::uint64_t{1} << i;
    }
    plan.cols = cols;
    plan.fks = fks;
    plan.pk_name = pk_name;
    plan.fks_native = native_relations(fks);
    plan.general = general;
    return true;
}

// The INSERT entries the general path would hand the builder for these
// columns (their values do not shape the text).
Ref entries_for(PyObject* cols, std::uint64_t columns) noexcept {
    Ref entries = steal(PyTuple_New(std::popcount(columns)));
    if (!entries) return {};
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        if (!(columns >> i & 1)) continue;
        Ref cell = steal(PyDict_New());
        if (!cell || PyDict_SetItem(cell.get(), names().col, PyTuple_GET_ITEM(cols, i)) < 0 ||
            PyDict_SetItem(cell.get(), names().value, Py_None) < 0) {
            return {};
        }
        PyTuple_SET_ITEM(entries.get(), k++, cell.release());
    }
    return entries;
}

// The text, rendered once by the builder itself, so that it is the general
// path's to the byte: insert(model).values(*entries).Build().
Ref render_text(PyObject* model, PyObject* cols, std::uint64_t columns) noexcept {
    const gen::GeneratorApi* g = bound.generator;
    Ref entries = entries_for(cols, columns);
    Ref builder = entries ? steal(g->newFor(model)) : Ref();
    Ref inserting = builder ? steal(g->insert(builder.get(), model)) : Ref();
    Ref valued = inserting ? steal(g->values(builder.get(), entries.get())) : Ref();
    Ref built = valued ? steal(g->Build(builder.get())) : Ref();
    if (!built) return {};
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) != 2) return borrow(Py_None);
    PyObject* text = PyTuple_GET_ITEM(built.get(), 0);
    return borrow(PyUnicode_CheckExact(text) ? text : Py_None);
}

// The values of the columns the instance holds with a value other than None,
// as the general path reads them (one dict lookup each), and their mask.
struct Values {
    PyObject* items[kMaxColumns];  // owned, in column order
    Py_ssize_t count = 0;
    std::uint64_t columns = 0;
    Values() = default;
    Values(const Values&) = delete;
    Values& operator=(const Values&) = delete;
    ~Values() {
        for (Py_ssize_t k = 0; k < count; ++k) Py_DECREF(items[k]);
    }
};

// Instances made by keyword or from rows hold the very name objects of the
// columns (both interned): one pass over the instance's entries finds every
// value. Any other key, or a column name equal but not identical, and the
// columns are looked up one by one instead.
bool values_by_identity(PyObject* cols, PyObject* instance, Values& out) noexcept {
    Py_ssize_t ncols = PyTuple_GET_SIZE(cols);
    if (PyDict_GET_SIZE(instance) > ncols) return false;
    PyObject* found[kMaxColumns] = {};
    Py_ssize_t pos = 0, start = 0;
    PyObject *key, *value;
    while (PyDict_Next(instance, &pos, &key, &value)) {
        Py_ssize_t i = start;  // entries usually follow the column order
        while (i < ncols && reinterpret_cast<model::PropertyObject*>(PyTuple_GET_ITEM(cols, i))->name != key) ++i;
        if (i == ncols) {
            for (i = 0; i < start && reinterpret_cast<model::PropertyObject*>(PyTuple_GET_ITEM(cols, i))->name != key; ++i) {
            }
            if (i == start) return false;
        }
        found[i] = value;
        start = i + 1 < ncols ? i + 1 : 0;
    }
    // No Python code ran: the borrowed values are still the instance's.
    for (Py_ssize_t i = 0; i < ncols; ++i) {
        if (!found[i] || found[i] == Py_None) continue;
        out.items[out.count++] = Py_NewRef(found[i]);
        out.columns |= std::uint64_t{1} << i;
    }
    return true;
}

bool read_values(PyObject* cols, PyObject* instance, Values& out) noexcept {
    if (values_by_identity(cols, instance, out)) return true;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(cols); ++i) {
        PyObject* name = reinterpret_cast<model::PropertyObject*>(PyTuple_GET_ITEM(cols, i))->name;
        PyObject* found = nullptr;
        if (PyDict_GetItemRef(instance, name ? name : Py_None, &found) < 0) return false;
        if (!found) continue;
        if (found == Py_None) {
            Py_DECREF(found);
            continue;
        }
        out.items[out.count++] = found;
        out.columns |= std::uint64_t{1} << i;
    }
    return true;
}

// The argument tuple: each value through its column's toDBValue.
Ref convert(PyObject* cols, const Values& values) noexcept {
    Ref args = steal(PyTuple_New(values.count));
    if (!args) return {};
    Py_ssize_t k = 0;
    for (Py_ssize_t i = 0; k < values.count; ++i) {
        if (!(values.columns >> i & 1)) continue;
        PyObject* stored = bound.property->toDBValue(PyTuple_GET_ITEM(cols, i), values.items[k]);
        if (!stored) return {};
        PyTuple_SET_ITEM(args.get(), k++, stored);
    }
    return args;
}

// The attribute dictionary of an executor that saves: nothing but the
// instance it remembers and the record of the walk it takes part in (read
// without hashing).
bool only_remembered_instance(PyObject* dict) noexcept {
    if (!dict || PyDict_GET_SIZE(dict) == 0) return true;
    if (PyDict_GET_SIZE(dict) > 2) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(dict, &pos, &key, &value)) {
        if (key != names().instance && key != walk_key()) return false;
    }
    return true;
}

// The executor and connector classes a plan stands for: the synchronous
// ones, or the coroutine ones.
struct Flavour {
    PyTypeObject* executor;
    PyTypeObject* connectors[2];
};

Flavour flavour_of(bool coroutine) noexcept {
    const db::ConnectorApi* c = bound.connector;
    if (coroutine) return {&AsyncModelExecutorType, {c->AioSqliteConnector, c->AioMysqlConnector}};
    return {&ModelExecutorType, {c->Sqlite3Connector, c->MysqlConnector}};
}

// 1 when every step the general save would take through attribute lookup is
// the package's own: the executor's class and hooks, its builder, its
// database handle. 0 when one may not be, -1 on error.
int own_steps(PyObject* self, const Flavour& flavour) noexcept {
    if (!Py_IS_TYPE(self, flavour.executor)) return 0;
    ExecutorObject* ex = as_executor(self);
    if (!only_remembered_instance(ex->dict)) {
        for (PyObject* hook : {names().reset, names().execute}) {
            int hidden = in_instance_dict(self, hook);
            if (hidden != 0) return hidden < 0 ? -1 : 0;
        }
    }
    // An executed statement is replaced by a fresh builder; a pending one
    // must be a builder of nothing yet, or insert() would refuse it.
    PyObject* builder = ex->sql;
    if (!ex->executed && !(Py_IS_TYPE(builder, bound.generator->SqlGenerator) &&
                           reinterpret_cast<gen::BaseGeneratorObject*>(builder)->currentType == gen::UNSET)) {
        return 0;
    }
    if (!Py_IS_TYPE(ex->db, bound.db->DB)) return 0;
    int hidden = in_instance_dict(ex->db, names().execute);
    return hidden < 0 ? -1 : !hidden;
}

// The con_type of an exact connector class, read natively.
bool insert_style(PyObject* connector, int* con_type) noexcept {
    db::Dialect dialect{};
    if (bound.connector->dialect(connector, nullptr, db::DIALECT_NO_SERVER, &dialect) < 0) return false;
    *con_type = dialect.insert_style;
    return true;
}

// The connector the statement runs on (the one of the executor's connection,
// else its model's) and its con_type, when the builder would read the same
// (it asks the module's DB class) and nothing of the connector is Python
// code: NULL without an error otherwise.
Ref own_connector(PyObject* self, const Flavour& flavour, int* con_type) noexcept {
    Ref db_class = module_attr(names().mod_DB, names().DB);
    if (!db_class) return {};
    if (db_class.get() != reinterpret_cast<PyObject*>(bound.db->DB)) return {};
    Ref work = work_of(self);
    int bound_to_connection = truth(work.get());
    if (bound_to_connection < 0) return {};
    Ref connector = statement_connector(as_executor(self)->model, bound_to_connection ? work.get() : nullptr);
    if (!connector) return {};
    PyTypeObject* type = Py_TYPE(connector.get());
    if (type != flavour.connectors[0] && type != flavour.connectors[1]) return {};
    // The exact classes' con_type is the field their attribute reads; the
    // capsule reads it without the attribute lookup (a coroutine
    // connector's attribute read also starts its pool's setup, which
    // running its statement does too) and asks no connection.
    if (!insert_style(connector.get(), con_type)) return {};
    return connector;
}

// The shape's text, rendered when this column set is new. NULL without an
// error when the plan changed while the builder ran (then the general path
// saves).
Ref shape_text(PyObject* model, PyObject* cols, std::uint64_t columns, int con_type,
               PyObject* connector) noexcept {
    ModelPlan& plan = plan_slot(model);
    // Reading the values may have run Python code (a key's __eq__) that changed the class.
    if (!current(plan, model) || plan.cols != cols) return {};
    for (const Shape& shape : plan.shapes) {
        if (shape.columns == columns && shape.con_type == con_type) return borrow(shape.text);
    }
    Ref text;
    {
        db::RenderingOn rendering(bound.db, connector);
        text = render_text(model, cols, columns);
    }
    if (!text) return {};
    if (text.get() == Py_None || !current(plan, model) || plan.cols != cols) return {};
    // The builder read the connector's quoting itself: it must have met the same.
    int rendered_for = -1;
    if (!insert_style(connector, &rendered_for)) return {};
    if (rendered_for != con_type) return {};
    Shape& slot = plan.shapes[plan.next];
    plan.next = (plan.next + 1) % kShapes;
    slot.columns = columns;
    slot.con_type = con_type;
    Py_XSETREF(slot.text, Py_NewRef(text.get()));
    return text;
}

// processInsert for a model that is no junction and whose pkName the plan
// read: the stored instance (what the executor remembers) gets the generated
// key unless it holds a true key already. The driver's own int is stored
// when it is an exact int (the general path stores an equal new one).
Ref store_key(PyObject* self, PyObject* pk_name, PyObject* generated) noexcept {
    long long lastrowid = 0;
    int overflow = 0;
    // The engines give an exact int; anything else converts as the general path converts it.
    if (PyLong_CheckExact(generated)) lastrowid = PyLong_AsLongLongAndOverflow(generated, &overflow);
    if ((!PyLong_CheckExact(generated) || overflow) && !generated_key(generated, &lastrowid)) return {};
    PyObject* dict = as_executor(self)->dict;
    Ref stored = borrow(dict ? PyDict_GetItemWithError(dict, names().instance) : nullptr);
    if (!stored || !plain_mapping(stored.get())) {
        if (PyErr_Occurred()) return {};
        return steal(processInsert(self, lastrowid));
    }
    as_executor(self)->rowcount = 1;
    model::forget_assigned(bound.model, stored.get());
    PyObject* found = nullptr;
    if (PyDict_GetItemRef(stored.get(), pk_name, &found) < 0) return {};
    Ref current = steal(found);
    int has_key = current ? truth(current.get()) : 0;
    if (has_key < 0) return {};
    if (has_key || lastrowid == 0) return stored;
    Ref key = PyLong_CheckExact(generated) ? borrow(generated) : steal(PyLong_FromLongLong(lastrowid));
    // The dict's own store: exact dicts and instances have no other.
    if (!key || PyDict_SetItem(stored.get(), pk_name, key.get()) < 0) return {};
    return stored;
}

// 1 when the instance holds a key of one of the model's relations (the
// relation step has work to do), 0 when none, -1 on error.
int carries_related(PyObject* fks, bool fks_native, PyObject* instance) noexcept {
    if (!fks_native) return 1;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(fks); ++i) {
        PyObject* name = reinterpret_cast<model::ForeignKeyObject*>(PyTuple_GET_ITEM(fks, i))->name;
        int present = PyDict_Contains(instance, name ? name : Py_None);
        if (present != 0) return present;
    }
    return 0;
}

}  // namespace

// The planned saves whose statement is running (the GIL is released around
// the engine, the statement log calls Python handlers, and a coroutine's
// statement is awaited while other tasks run). The general path marks its
// run with a builder of its own, which any later operation of the same
// executor replaces (its reset), and then fails the first save with "builder
// replaced"; a planned save keeps the builder, so a save of the same
// executor that starts meanwhile marks the running one instead.
struct FlightSlot {
    PyObject* executor = nullptr;  // identity only
    bool overtaken = false;
};

namespace {

constexpr std::size_t kFlights = 64;
FlightSlot flights[kFlights];
std::size_t flying = 0;  // slots taken: with none, a save has nothing to look for

void overtake(PyObject* executor) noexcept {
    if (!flying) return;
    for (FlightSlot& slot : flights) {
        if (slot.executor == executor) slot.overtaken = true;
    }
}

FlightSlot* board(PyObject* executor) noexcept {
    for (FlightSlot& candidate : flights) {
        if (candidate.executor) continue;
        candidate = {executor, false};
        ++flying;
        return &candidate;
    }
    return nullptr;
}

// The first half, for either executor: every field of `out` set when `ready`.
Prepared prepare(PyObject* self, PyObject* instance, bool coroutine, PlannedInsert& out) noexcept {
    overtake(self);  // whichever path this save takes, the general one would replace the builder
    if (!plain_mapping(instance)) return Prepared::general;
    Flavour flavour = flavour_of(coroutine);
    int own = own_steps(self, flavour);
    if (own <= 0) return own < 0 ? Prepared::failed : Prepared::general;
    Ref model = borrow(as_executor(self)->model);
    if (!Py_IS_TYPE(model.get(), bound.model->ModelMeta)) return Prepared::general;
    ModelPlan& plan = plan_slot(model.get());
    if (!current(plan, model.get()) && !describe(plan, model.get())) return Prepared::general;
    if (!plan.cols) return Prepared::general;
    int con_type = 0;
    Ref connector = own_connector(self, flavour, &con_type);
    if (!connector) return PyErr_Occurred() ? Prepared::failed : Prepared::general;
    // Only an import of the handle's module (when something removed it) could have run Python code.
    if (!current(plan, model.get()) || !plan.cols) return Prepared::general;
    Ref cols = borrow(plan.cols);
    Ref fks = borrow(plan.fks);
    Ref pk_name = borrow(plan.pk_name);
    bool fks_native = plan.fks_native;
    std::uint64_t general = plan.general;
    Values values;
    if (!read_values(cols.get(), instance, values)) return Prepared::failed;
    if (values.columns == 0 || values.columns & general) return Prepared::general;
    Ref text = shape_text(model.get(), cols.get(), values.columns, con_type, connector.get());
    if (!text) return PyErr_Occurred() ? Prepared::failed : Prepared::general;
    out.flight = board(self);
    if (!out.flight) return Prepared::general;  // too many at once to tell who overtakes whom
    if (remember_instance(self, instance) < 0) return Prepared::failed;
    out.args = convert(cols.get(), values);
    if (!out.args) return Prepared::failed;
    out.connector = std::move(connector);
    out.text = std::move(text);
    out.pk_name = std::move(pk_name);
    out.fks = std::move(fks);
    out.fks_native = fks_native;
    return Prepared::ready;
}

}  // namespace

PlannedInsert::~PlannedInsert() {
    if (!flight) return;
    *flight = {};
    --flying;
}

Prepared prepare_planned_save(PyObject* self, PyObject* instance, PlannedInsert& plan) noexcept {
    return prepare(self, instance, true, plan);
}

// What the handle's execute does with the statement, for this one text: the
// connector runs it on the executor's connection (or its own).
Ref start_planned_insert(PyObject* self, PlannedInsert& plan) noexcept {
    ExecutorObject* ex = as_executor(self);
    Ref work = work_of(self);
    int bound_to_connection = truth(work.get());
    if (bound_to_connection < 0) return {};
    ex->executed = 1;
    plan.builder = borrow(ex->sql);
    return steal(bound.connector->run(plan.connector.get(), bound_to_connection ? work.get() : nullptr,
                                      plan.text.get(), plan.args.get(), db::RUN_KEY));
}

Planned finish_planned_save(PyObject* self, PyObject* instance, PlannedInsert& plan, PyObject* key, Ref& row,
                            bool& relations) noexcept {
    if (!key) return Planned::statement_failed;
    if (as_executor(self)->sql != plan.builder.get() || plan.flight->overtaken) {
        fail(PyExc_RuntimeError, "%.200s's statement builder was replaced while its statement ran",
             _PyType_Name(Py_TYPE(self)));
        return Planned::statement_failed;
    }
    row = store_key(self, plan.pk_name.get(), key);
    if (!row) return Planned::statement_failed;
    int related = carries_related(plan.fks.get(), plan.fks_native, instance);
    if (related < 0) return Planned::failed;
    relations = related > 0;
    return Planned::saved;
}

Planned planned_save(PyObject* self, PyObject* instance, Ref& row, bool& relations) noexcept {
    PlannedInsert plan;
    switch (prepare(self, instance, false, plan)) {
        case Prepared::general: return Planned::general;
        case Prepared::failed: return Planned::failed;
        case Prepared::ready: break;
    }
    Ref key = start_planned_insert(self, plan);
    return finish_planned_save(self, instance, plan, key.get(), row, relations);
}

namespace {

// _savePlan(model): the statements cached for the model while its plan is
// current, as (text, con_type) pairs in the order they were made; for tests.
PyObject* save_plan_of(PyObject*, PyObject* model) noexcept {
    Ref shapes = steal(PyList_New(0));
    if (!shapes) return nullptr;
    ModelPlan& plan = plan_slot(model);
    if (!PyType_Check(model) || !current(plan, model)) return shapes.release();
    for (std::size_t k = 0; k < kShapes; ++k) {
        const Shape& shape = plan.shapes[(plan.next + k) % kShapes];
        if (!shape.columns) continue;
        Ref pair = steal(Py_BuildValue("(Oi)", shape.text, shape.con_type));
        if (!pair || PyList_Append(shapes.get(), pair.get()) < 0) return nullptr;
    }
    return shapes.release();
}

PyObject* clear_save_plans_function(PyObject*, PyObject*) noexcept {
    clear_save_plans();
    Py_RETURN_NONE;
}

}  // namespace

PyMethodDef save_plan_functions[] = {
    {"_savePlan", entry<save_plan_of>, METH_O,
     "_savePlan(model, /)\n--\n\nThe INSERT texts save has cached for the model, with their con_type."},
    {"_clearSavePlans", entry<clear_save_plans_function>, METH_NOARGS,
     "_clearSavePlans($module, /)\n--\n\nForget every cached save plan."},
    {nullptr, nullptr, 0, nullptr},
};

void clear_save_plans() noexcept {
    for (ModelPlan& plan : plans) {
        forget_shapes(plan);
        plan.model = nullptr;
        plan.tag = 0;
    }
}

}  // namespace tsy::exec

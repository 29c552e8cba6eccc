// The handle's createTables: each model's CREATE TABLE statement, as
// TableGenerator(model).Build() writes it, run in the order given. Every
// model is checked and every text rendered before the first statement runs,
// so a wrong argument or a model that cannot be rendered creates nothing.
#include "handle.hpp"

#include "tessary/coro.hpp"
#include "tessary/generator.hpp"
#include "tessary/model.hpp"

namespace tsy::db {
namespace {

// Bound at the first call: the model and generator modules import this one.
struct Bindings {
    const model::ModelApi* model = nullptr;
    const gen::GeneratorApi* generator = nullptr;
    const ConnectorApi* connector = nullptr;
};

const Bindings* bindings() noexcept {
    static Bindings b;
    if (!b.connector && !(b.connector = import_connector_api())) return nullptr;
    if (!b.model && !(b.model = model::import_model_api())) return nullptr;
    if (!b.generator && !(b.generator = gen::import_generator_api())) return nullptr;
    return &b;
}

bool check_models(const Bindings& b, PyObject* const* models, Py_ssize_t count) noexcept {
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* m = models[i];
        if (PyObject_TypeCheck(m, b.model->ModelMeta)) continue;
        if (PyType_Check(m)) {
            fail(PyExc_TypeError, "createTables() argument %zd must be a model class, not the class %.200s", i + 1,
                 reinterpret_cast<PyTypeObject*>(m)->tp_name);
        } else {
            fail(PyExc_TypeError, "createTables() argument %zd must be a model class, not %.200s", i + 1,
                 type_name(m));
        }
        return false;
    }
    return true;
}

// "CREATE TABLE IF NOT EXISTS " in place of the statement's "CREATE TABLE ".
Ref if_not_exists(PyObject* text) noexcept {
    static constexpr Py_ssize_t kCreateLength = 13;  // "CREATE TABLE "
    Ref create = steal(PyUnicode_FromString("CREATE TABLE "));
    if (!create) return {};
    Py_ssize_t starts = PyUnicode_Tailmatch(text, create.get(), 0, kCreateLength, -1);
    if (starts < 0) return {};
    if (!starts) return fail(PyExc_ValueError, "TableGenerator's text does not start with \"CREATE TABLE \"");
    Ref rest = steal(PyUnicode_Substring(text, kCreateLength, PyUnicode_GET_LENGTH(text)));
    Ref guarded = steal(PyUnicode_FromString("CREATE TABLE IF NOT EXISTS "));
    if (!rest || !guarded) return {};
    return steal(PyUnicode_Concat(guarded.get(), rest.get()));
}

// The statement text of one model.
Ref render(const Bindings& b, PyObject* model, bool guarded) noexcept {
    Ref generator = call(reinterpret_cast<PyObject*>(b.generator->TableGenerator), model);
    if (!generator) return {};
    Ref built = steal(b.generator->Build(generator.get()));
    if (!built) return {};
    if (!PyTuple_Check(built.get()) || PyTuple_GET_SIZE(built.get()) < 1) return expected_kind("tuple", built.get());
    PyObject* text = PyTuple_GET_ITEM(built.get(), 0);
    if (!PyUnicode_Check(text)) return expected_kind("str", text);
    return guarded ? if_not_exists(text) : borrow(text);
}

// Every statement text, in the order of the models (a tuple).
Ref render_all(const Bindings& b, PyObject* const* models, Py_ssize_t count, bool guarded) noexcept {
    Ref texts = steal(PyTuple_New(count));
    if (!texts) return {};
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref text = render(b, models[i], guarded);
        if (!text) return {};
        PyTuple_SET_ITEM(texts.get(), i, text.release());
    }
    return texts;
}

bool is_coroutine_connector(const Bindings& b, PyObject* connector) noexcept {
    return PyObject_TypeCheck(connector, b.connector->AioSqliteConnector) ||
           PyObject_TypeCheck(connector, b.connector->AioMysqlConnector);
}

// One statement after the other: the next starts once the last has completed.
coro::Task run_in_order(Ref connector, Ref texts) {
    const Bindings* b = bindings();
    if (!b) co_return nullptr;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(texts.get()); ++i) {
        Ref pending = steal(b->connector->run(connector.get(), nullptr, PyTuple_GET_ITEM(texts.get(), i), Py_None,
                                              RUN_NONE));
        Ref done = co_await coro::await(std::move(pending));
        if (!done) co_return nullptr;
    }
    co_return borrow(Py_None);
}

}  // namespace

PyObject* create_tables(PyObject* const* models, Py_ssize_t count, bool guarded) noexcept {
    const Bindings* b = bindings();
    if (!b || !check_models(*b, models, count)) return nullptr;
    Ref connector = steal(current_connector());
    if (!connector) return nullptr;
    Ref texts = render_all(*b, models, count, guarded);
    if (!texts) return nullptr;
    if (is_coroutine_connector(*b, connector.get())) {
        if (!coro::import_coro_api()) return nullptr;
        return coro::make_coroutine(run_in_order(std::move(connector), std::move(texts)), "createTables",
                                    "DB.createTables");
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref done = steal(b->connector->run(connector.get(), nullptr, PyTuple_GET_ITEM(texts.get(), i), Py_None,
                                           RUN_NONE));
        if (!done) return nullptr;
    }
    Py_RETURN_NONE;
}

}  // namespace tsy::db

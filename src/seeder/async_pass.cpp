// The asynchronous pass of the runner: waits for the connector, then runs the
// tasks one after another, each on a connection of its own that is committed
// once at the end of the task and always given back to the connector.
#include "tessary/coro.hpp"

#include "internal.hpp"

namespace tsy::seeder {
namespace {

// Awaits asyncio.sleep(0.3) until the connector reports ready. The handle and
// its connector are fetched anew on every test. 1: ready, -1: error.
coro::Task wait_until_ready() {
    for (;;) {
        Ref con = connector();
        Ref ready = con ? attr(con.get(), names.isReady) : Ref();
        int is_ready = ready ? truth(ready.get()) : -1;
        if (is_ready < 0) co_return nullptr;
        if (is_ready) co_return borrow(Py_True);
        Ref slept = co_await coro::await(call(bound.asyncio_sleep, names.poll_seconds));
        if (!slept) co_return nullptr;
    }
}

coro::Task run_task(Ref item, Ref connector_obj = nullptr, Ref con = nullptr, Ref executor = nullptr) {
    if (!PyObject_TypeCheck(item.get(), &RunnerTaskType)) {
        fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(item.get()), RunnerTaskType.tp_name);
        co_return nullptr;
    }
    auto* task = reinterpret_cast<RunnerTaskObject*>(item.get());
    // Each task on the connector of its model's database; a synchronous one
    // saves at once.
    Ref model = steal(task_model(task));
    connector_obj = model ? model_connector(model.get()) : Ref();
    int on_loop = connector_obj ? runs_on_loop(connector_obj.get()) : -1;
    if (on_loop < 0) co_return nullptr;
    if (!on_loop) co_return run_task_sync(task) ? borrow(Py_None) : Ref();
    con = co_await coro::await(call_method(connector_obj.get(), names.getCon));
    if (!con) co_return nullptr;
    executor = call_method(model.get(), names.getExecutor, con.get());
    bool ok = executor && check_convert(executor.get(), bound.carrack->AsyncModelExecutor);
    for (int time = 0; ok && time < task->count; ++time) {
        Ref instance = steal(generate(task, time + 1));
        if (!instance) {
            ok = false;
            break;
        }
        // Kept out of a conditional expression: g++ 12 mishandles the lifetime
        // of a co_await's temporaries there (the awaited coroutine was freed
        // while it ran).
        Ref saved = co_await coro::await(call_method(executor.get(), names.save, instance.get()));
        ok = static_cast<bool>(saved);
    }
    if (ok) ok = static_cast<bool>(co_await coro::await(call_method(con.get(), names.commit)));
    // The connection goes back to the connector whatever happened; a failure
    // of the task is what the caller sees, not one of the give-back.
    Ref failure = ok ? Ref() : steal(PyErr_GetRaisedException());
    Ref released = co_await coro::await(call_method(connector_obj.get(), names.releaseCon, con.get()));
    if (failure) {
        PyErr_Clear();
        PyErr_SetRaisedException(failure.release());
        co_return nullptr;
    }
    if (!released) co_return nullptr;
    co_return borrow(Py_None);
}

coro::Task run_all(Ref tasks) {
    Ref ready = co_await coro::await(steal(coro::make_coroutine(wait_until_ready(), "wait_until_ready")));
    if (!ready) co_return nullptr;
    Py_ssize_t n = PyList_GET_SIZE(tasks.get());
    for (Py_ssize_t i = 0; i < n && i < PyList_GET_SIZE(tasks.get()); ++i) {
        Ref item = borrow(PyList_GET_ITEM(tasks.get(), i));
        Ref done = co_await coro::await(steal(coro::make_coroutine(run_task(std::move(item)), "run_task")));
        if (!done) co_return nullptr;
    }
    co_return borrow(Py_None);
}

}  // namespace

PyObject* async_pass(PyObject* tasks) noexcept {
    return coro::make_coroutine(run_all(borrow(tasks)), "arun", "GeneratorRunner.arun");
}

}  // namespace tsy::seeder
